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
#include <string_view>
#include <vector>

#include "launcher/builtin/zip_format.h"
#include "tools/file_io.h"
#include "tools/zip_records.h"

namespace packer {
namespace {

constexpr char usageLine[] =
    "usage: make-installer [--zip64] [--agent AGENT_ZIP] LAUNCHER BUNDLE_ZIP OUTPUT";
constexpr char helpText[] =
    "LAUNCHER is the launcher built for the users' machines: an ELF executable for\n"
    "x86-64 or arm64 (aarch64). BUNDLE_ZIP and AGENT_ZIP are ZIP archives.";

struct Arguments {
  std::vector<std::string> operands;  // LAUNCHER BUNDLE_ZIP OUTPUT
  std::optional<std::string> agent;
  bool zip64 = false, help = false;  // zip64: ZIP64 records even where plain ones do
};

// Reads the command line, options anywhere; an Failure says why it cannot be
// used. An option's value is never empty nor a word that looks like an option.
Failure parseArguments(int argc, char** argv, Arguments& arguments) {
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
      return Failure("unknown option " + word);
    else if (arguments.agent)
      return Failure("--agent given more than once");
    else if (value.empty() || value[0] == '-')
      return Failure("--agent needs a file");
    else
      arguments.agent = argv[++index];
  }
  if (!arguments.help && arguments.operands.size() != 3)
    return Failure("expected LAUNCHER BUNDLE_ZIP OUTPUT");
  return {};
}

// Opens `path` and refuses it unless it is a ZIP archive.
Failure openArchive(const std::string& path, InputFile& input) {
  if (Failure error = input.open(path)) return error;
  std::string head(std::min<uint64_t>(input.size(), 4), '\0');
  std::string tail(std::min(input.size(), uint64_t{zipformat::end::search}), '\0');
  if (Failure error = input.readAt(0, head)) return error;
  if (Failure error = input.readAt(input.size() - tail.size(), tail)) return error;
  return looksLikeZipArchive(head, tail) ? Failure() : Failure(path + ": not a ZIP archive");
}

// Whether `header`, a file's first bytes, opens a 64-bit little-endian ELF
// executable (fixed or position-independent) for x86-64 or arm64, the
// machines the launcher is built for: an installer made of anything else
// would never start on a user's machine.
bool isLauncherImage(const std::string& header) {
  constexpr unsigned machineX8664 = 62, machineAarch64 = 183, typeExecutable = 2, typeShared = 3;
  // "\177ELF", then 64-bit (2) and little-endian (1).
  constexpr std::string_view elf64LittleEndian = "\177ELF\2\1";
  if (header.size() < 20 || !header.starts_with(elf64LittleEndian)) return false;
  auto half = [&](size_t at) {
    return static_cast<unsigned>(static_cast<uint8_t>(header[at]) |
                                 static_cast<uint8_t>(header[at + 1]) << 8);
  };
  return (half(16) == typeExecutable || half(16) == typeShared) &&
         (half(18) == machineX8664 || half(18) == machineAarch64);
}

// Opens the launcher; `wrongKind` is set when it opens but is no launcher image.
Failure openLauncher(const std::string& path, InputFile& input, bool& wrongKind) {
  if (Failure error = input.open(path)) return error;
  std::string header(std::min<uint64_t>(input.size(), 20), '\0');
  if (Failure error = input.readAt(0, header)) return error;
  wrongKind = !isLauncherImage(header);
  return wrongKind ? Failure(path + ": not an ELF executable for x86-64 or arm64") : Failure();
}

// Appends exactly the size `input` had when it was opened, so the sizes in
// the headers match the bytes written, and gives their CRC-32.
Failure appendCopy(PendingOutput& out, const InputFile& input, uint32_t& crc) {
  std::string buffer;
  uLong running = crc32(0, Z_NULL, 0);
  for (uint64_t done = 0; done < input.size(); done += buffer.size()) {
    buffer.resize(std::min<uint64_t>(1 << 20, input.size() - done));
    if (Failure error = input.readAt(done, buffer)) return error;
    running = crc32(running, reinterpret_cast<const Bytef*>(buffer.data()), buffer.size());
    if (Failure error = out.append(buffer)) return error;
  }
  crc = static_cast<uint32_t>(running);
  return {};
}

// Streams `input` as the stored `member`, given its size, offset, times and
// owner, then fills its CRC into the local header already written.
Failure appendMember(PendingOutput& out, ZipMember& member, const InputFile& input) {
  const struct stat& info = input.info;
  member.size = input.size(), member.localHeaderOffset = out.size();
  member.modified = info.st_mtim.tv_sec, member.accessed = info.st_atim.tv_sec;
  member.uid = info.st_uid, member.gid = info.st_gid;
  if (Failure error = out.append(localHeader(member))) return error;
  if (Failure error = appendCopy(out, input, member.crc)) return error;
  return out.writeAt(member.localHeaderOffset + zipformat::local::crc, crcField(member.crc));
}

// Checks every input, then writes the installer beside the output and only
// then renames it into place: the output is either whole or as it was.
Failure writeInstaller(const Arguments& arguments, bool& wrongLauncher) {
  InputFile launcher, bundle, agent;
  if (Failure error = openLauncher(arguments.operands[0], launcher, wrongLauncher)) return error;
  if (Failure error = openArchive(arguments.operands[1], bundle)) return error;
  if (Failure error = arguments.agent ? openArchive(*arguments.agent, agent) : Failure())
    return error;
  PendingOutput out(arguments.operands[2]);
  uint32_t unused = 0;
  if (Failure error = out.create()) return error;
  if (Failure error = appendCopy(out, launcher, unused)) return error;
  std::vector<std::pair<std::string, const InputFile*>> members = {{"bundle.zip", &bundle}};
  if (arguments.agent) members.emplace_back("InstallAgent.zip", &agent);
  std::string directory;
  for (const auto& [name, input] : members) {
    ZipMember member{.name = name, .forceZip64 = arguments.zip64};
    if (Failure error = appendMember(out, member, *input)) return error;
    directory += centralEntry(member);
  }
  directory += directoryEnd(members.size(), directory.size(), out.size(), arguments.zip64);
  if (Failure error = out.append(directory)) return error;
  return out.commit(0755);
}

// 0 when the installer was written, 1 when refused, 2 on a usage error (a
// launcher of the wrong kind among them).
int run(int argc, char** argv) {
  Arguments arguments;
  if (Failure error = parseArguments(argc, argv, arguments)) {
    std::fprintf(stderr, "make-installer: %s\n%s\n", error.lines().front().c_str(), usageLine);
    return 2;
  }
  if (arguments.help) return std::printf("%s\n%s\n", usageLine, helpText) < 0 ? 1 : 0;
  bool wrongLauncher = false;
  Failure error = writeInstaller(arguments, wrongLauncher);
  if (error)
    std::fprintf(stderr, "make-installer: %s\n%s", error.lines().front().c_str(),
                 wrongLauncher ? (std::string(usageLine) + "\n").c_str() : "");
  return wrongLauncher ? 2 : error ? 1 : 0;
}

}  // namespace
}  // namespace packer

int main(int argc, char** argv) { return packer::run(argc, argv); }
