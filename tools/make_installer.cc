// make-installer: writes an installer, which is the launcher image followed
// directly by a ZIP archive holding bundle.zip and, with --agent,
// InstallAgent.zip. The result is both an executable and an archive that
// unzip reads as it is. Members and offsets of 4 GiB or more get ZIP64
// records; --zip64 writes those records even for small inputs. Nothing is
// printed on success; a refusal prints one line and leaves no output behind.
//
//   make-installer [--zip64] [--agent AGENT_ZIP] LAUNCHER BUNDLE_ZIP OUTPUT

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/file_io.h"
#include "tools/zip_writer.h"

namespace packer {

namespace {

constexpr char usageLine[] =
    "usage: make-installer [--zip64] [--agent AGENT_ZIP] LAUNCHER BUNDLE_ZIP OUTPUT";
constexpr uint64_t endRecordSize = 22;
constexpr uint64_t longestArchiveComment = 0xFFFF;
constexpr mode_t installerMode = 0755;

// The command line, read but not yet checked against the file system.
struct Arguments {
  std::string launcher;
  std::string bundle;
  std::string output;
  std::optional<std::string> agent;
  bool zip64 = false;  // ZIP64 records even where plain ones would do
  bool help = false;
};

// Takes the option at argv[index] (and its value, moving `index` past it).
Error parseOption(int argc, char** argv, int& index, Arguments& arguments) {
  std::string option = argv[index];
  if (option == "--help" || option == "-h") {
    arguments.help = true;
    return {};
  }
  if (option == "--zip64") {
    arguments.zip64 = true;
    return {};
  }
  if (option != "--agent") return Error{"unknown option " + option};
  if (arguments.agent) return Error{"--agent given more than once"};
  if (index + 1 == argc) return Error{"--agent needs a file"};
  arguments.agent = argv[++index];
  return {};
}

// Fills `arguments` from the command line; an Error says what is wrong.
Error parseArguments(int argc, char** argv, Arguments& arguments) {
  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (int index = 1; index < argc; ++index) {
    std::string word = argv[index];
    if (word == "--" && !optionsEnded) {
      optionsEnded = true;
    } else if (optionsEnded || word.size() < 2 || word[0] != '-') {
      operands.push_back(word);
    } else if (Error error = parseOption(argc, argv, index, arguments)) {
      return error;
    }
  }
  if (arguments.help) return {};
  if (operands.size() != 3) return Error{"expected LAUNCHER BUNDLE_ZIP OUTPUT"};
  arguments.launcher = operands[0];
  arguments.bundle = operands[1];
  arguments.output = operands[2];
  return {};
}

// Sets `found` when an end-record signature lies within the last 22 + 65535
// bytes (the record plus the longest comment) with room for the record.
Error findEndRecord(const InputFile& input, bool& found) {
  uint64_t tail = std::min(input.size(), endRecordSize + longestArchiveComment);
  std::string bytes(tail, '\0');
  if (Error error = readExactly(input, input.size() - tail, bytes.data(), bytes.size()))
    return error;
  found = bytes.rfind("PK\5\6", tail - endRecordSize) != std::string::npos;
  return {};
}

// Refuses `input` unless it starts with a local header (or is exactly an
// empty archive's end record) and has an end record near its end.
Error checkZipArchive(const InputFile& input) {
  const Error notZip{input.path + ": not a ZIP archive"};
  if (input.size() < endRecordSize) return notZip;
  char head[4];
  if (Error error = readExactly(input, 0, head, sizeof head)) return error;
  bool emptyArchive = input.size() == endRecordSize && std::memcmp(head, "PK\5\6", 4) == 0;
  if (std::memcmp(head, "PK\3\4", 4) != 0 && !emptyArchive) return notZip;
  bool found = false;
  if (Error error = findEndRecord(input, found)) return error;
  return found ? Error{} : notZip;
}

// An input destined to be the archive member `name`.
struct Member {
  std::string name;
  InputFile file;
};

// Every input, opened and checked, in the order they are written.
struct Inputs {
  InputFile launcher;
  std::vector<Member> members;
};

// Opens `path` as member `name`; refuses a file that is not a ZIP archive.
Error openMember(const std::string& name, const std::string& path, Inputs& inputs) {
  Member member;
  member.name = name;
  if (Error error = openInput(path, member.file)) return error;
  if (Error error = checkZipArchive(member.file)) return error;
  inputs.members.push_back(std::move(member));
  return {};
}

// Opens every input named on the command line, members in archive order.
Error openInputs(const Arguments& arguments, Inputs& inputs) {
  if (Error error = openInput(arguments.launcher, inputs.launcher)) return error;
  if (Error error = openMember("bundle.zip", arguments.bundle, inputs)) return error;
  if (!arguments.agent) return {};
  return openMember("InstallAgent.zip", *arguments.agent, inputs);
}

// Writes the whole installer beside `output` and only then renames it into
// place, so `output` is either complete or as it was.
Error writeInstaller(const Inputs& inputs, const std::string& output, bool forceZip64) {
  PendingOutput file;
  if (Error error = file.create(output)) return error;
  ZipWriter writer(file.fd(), output, forceZip64);
  if (Error error = writer.addPrefix(inputs.launcher)) return error;
  for (const Member& member : inputs.members)
    if (Error error = writer.addStoredMember(member.name, member.file)) return error;
  if (Error error = writer.finish()) return error;
  return file.commit(installerMode);
}

// Reports `error` on standard error and gives the refusal exit status.
int refuse(const Error& error) {
  std::fprintf(stderr, "make-installer: %s\n", error.message.c_str());
  return 1;
}

// The whole tool: 0 when the installer was written, 1 when refused, 2 on
// a usage error.
int run(int argc, char** argv) {
  Arguments arguments;
  if (Error error = parseArguments(argc, argv, arguments)) {
    std::fprintf(stderr, "make-installer: %s\n%s\n", error.message.c_str(), usageLine);
    return 2;
  }
  if (arguments.help) return std::puts(usageLine) < 0 ? 1 : 0;
  Inputs inputs;
  if (Error error = openInputs(arguments, inputs)) return refuse(error);
  if (Error error = writeInstaller(inputs, arguments.output, arguments.zip64)) return refuse(error);
  return 0;
}

}  // namespace

}  // namespace packer

int main(int argc, char** argv) { return packer::run(argc, argv); }
