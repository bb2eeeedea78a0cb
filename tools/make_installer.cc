// make-installer: the launcher image followed by a ZIP archive of stored
// members, bundle.zip and (with --agent) InstallAgent.zip, with offsets from
// the start of the file: an executable that unzip reads as it is. Silent on
// success; a refusal prints one line and leaves no output behind.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/file_io.h"
#include "tools/zip_records.h"

namespace packer {
namespace {

constexpr char usageLine[] =
    "usage: make-installer [--zip64] [--agent AGENT_ZIP] LAUNCHER BUNDLE_ZIP OUTPUT";

struct Arguments {
  std::vector<std::string> operands;  // LAUNCHER BUNDLE_ZIP OUTPUT
  std::optional<std::string> agent;
  bool zip64 = false, help = false;  // zip64: ZIP64 records even where plain ones do
};

// Reads the command line, options anywhere; an Error says why it cannot be
// used. An option's value is never empty nor a word that looks like an option.
Error parseArguments(int argc, char** argv, Arguments& arguments) {
  bool optionsEnded = false;
  const std::map<std::string, bool*> switches{{"--", &optionsEnded},
                                              {"--zip64", &arguments.zip64},
                                              {"--help", &arguments.help},
                                              {"-h", &arguments.help}};
  for (int index = 1; index < argc; ++index) {
    std::string word = argv[index], value = index + 1 < argc ? argv[index + 1] : "";
    if (optionsEnded || word.size() < 2 || word[0] != '-')
      arguments.operands.push_back(word);
    else if (switches.contains(word))
      *switches.at(word) = true;
    else if (word != "--agent")
      return Error{"unknown option " + word};
    else if (arguments.agent)
      return Error{"--agent given more than once"};
    else if (value.empty() || value[0] == '-')
      return Error{"--agent needs a file"};
    else
      arguments.agent = argv[++index];
  }
  if (!arguments.help && arguments.operands.size() != 3)
    return Error{"expected LAUNCHER BUNDLE_ZIP OUTPUT"};
  return {};
}

// Opens `path` and refuses it unless it is a ZIP archive.
Error openArchive(const std::string& path, InputFile& input) {
  if (Error error = input.open(path)) return error;
  std::string head(std::min<uint64_t>(input.size(), 4), '\0');
  std::string tail(std::min(input.size(), endRecordSearch), '\0');
  if (Error error = input.readAt(0, head)) return error;
  if (Error error = input.readAt(input.size() - tail.size(), tail)) return error;
  return looksLikeZipArchive(head, tail) ? Error{} : Error{path + ": not a ZIP archive"};
}

// Appends exactly the size `input` had when it was opened, so the sizes in
// the headers match the bytes written, and gives their CRC-32.
Error appendCopy(PendingOutput& out, const InputFile& input, uint32_t& crc) {
  std::string buffer;
  uLong running = crc32(0, Z_NULL, 0);
  for (uint64_t done = 0; done < input.size(); done += buffer.size()) {
    buffer.resize(std::min<uint64_t>(1 << 20, input.size() - done));
    if (Error error = input.readAt(done, buffer)) return error;
    running = crc32(running, reinterpret_cast<const Bytef*>(buffer.data()), buffer.size());
    if (Error error = out.append(buffer)) return error;
  }
  crc = static_cast<uint32_t>(running);
  return {};
}

// Streams `input` as the stored `member`, given its size, offset, times and
// owner, then fills its CRC into the local header already written.
Error appendMember(PendingOutput& out, ZipMember& member, const InputFile& input) {
  const struct stat& info = input.info;
  member.size = input.size(), member.localHeaderOffset = out.size();
  member.modified = info.st_mtim.tv_sec, member.accessed = info.st_atim.tv_sec;
  member.uid = info.st_uid, member.gid = info.st_gid;
  if (Error error = out.append(localHeader(member))) return error;
  if (Error error = appendCopy(out, input, member.crc)) return error;
  return out.writeAt(member.localHeaderOffset + localHeaderCrcOffset, crcField(member.crc));
}

// Checks every input, then writes the installer beside the output and only
// then renames it into place: the output is either whole or as it was.
Error writeInstaller(const Arguments& arguments) {
  InputFile launcher, bundle, agent;
  if (Error error = launcher.open(arguments.operands[0])) return error;
  if (Error error = openArchive(arguments.operands[1], bundle)) return error;
  if (Error error = arguments.agent ? openArchive(*arguments.agent, agent) : Error{}) return error;
  PendingOutput out(arguments.operands[2]);
  uint32_t unused = 0;
  if (Error error = out.create()) return error;
  if (Error error = appendCopy(out, launcher, unused)) return error;
  std::vector<std::pair<std::string, const InputFile*>> members = {{"bundle.zip", &bundle}};
  if (arguments.agent) members.emplace_back("InstallAgent.zip", &agent);
  std::string directory;
  for (const auto& [name, input] : members) {
    ZipMember member{.name = name, .forceZip64 = arguments.zip64};
    if (Error error = appendMember(out, member, *input)) return error;
    directory += centralEntry(member);
  }
  directory += directoryEnd(members.size(), directory.size(), out.size(), arguments.zip64);
  if (Error error = out.append(directory)) return error;
  return out.commit(0755);
}

// 0 when the installer was written, 1 when refused, 2 on a usage error.
int run(int argc, char** argv) {
  Arguments arguments;
  if (Error error = parseArguments(argc, argv, arguments)) {
    std::fprintf(stderr, "make-installer: %s\n%s\n", error.message.c_str(), usageLine);
    return 2;
  }
  if (arguments.help) return std::puts(usageLine) < 0 ? 1 : 0;
  Error error = writeInstaller(arguments);
  if (error) std::fprintf(stderr, "make-installer: %s\n", error.message.c_str());
  return error ? 1 : 0;
}

}  // namespace
}  // namespace packer

int main(int argc, char** argv) { return packer::run(argc, argv); }
