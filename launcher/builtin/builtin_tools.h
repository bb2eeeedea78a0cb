// The launcher's own stand-ins for "unzip" and "rm -rf", so that a run needs
// neither tool on the host: they take the words of the command lines the
// launcher composes and give the raw statuses those tools would.
#pragma once

#include <optional>
#include <string>
#include <vector>

// A file the stand-ins read through a descriptor held open, in place of
// whatever its name holds by now: the installer that runs.
struct HeldFile {
  std::string path;
  int fd = -1;
};

// What a stand-in made of its words: the raw status (a wait status: the exit
// code times 256), and for a failure the one line that tells why.
struct ToolOutcome {
  int rawStatus = 0;
  std::string complaint;
};

// When `words` call unzip or rm, carries them out in this process; otherwise
// nothing.
//   unzip [-q|-qq|-o]... ARCHIVE -d DIRECTORY   unpacks ARCHIVE, replacing
//       existing files; ARCHIVE named as `held` is read from its descriptor.
//       A failure's line names the archive, the member and the problem; a
//       warning (exit code 1) has none.
//   rm [-r|-f|-rf]... [--] PATH...              removes each PATH like rm -rf
//       and exits 0; "/", "." and ".." are left alone.
std::optional<ToolOutcome> runBuiltinTool(const std::vector<std::string>& words,
                                          const HeldFile& held);
