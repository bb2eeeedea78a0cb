// The launcher's own stand-ins for "unzip" and "rm -rf", so that a run needs
// neither tool on the host: they take the words of the command lines the
// launcher composes and give the raw statuses those tools would.
#pragma once

#include <optional>
#include <string>
#include <vector>

// When `words` call unzip or rm, carries them out in this process and returns
// the raw status (a wait status: the exit code times 256); otherwise nothing.
//   unzip [-q|-qq|-o]... ARCHIVE -d DIRECTORY   unpacks ARCHIVE, replacing
//       existing files; the running installer is read from the descriptor
//       held since the start, whatever is at its path now.
//   rm [-r|-f|-rf]... [--] PATH...              removes each PATH like rm -rf
//       and exits 0; "/", "." and ".." are left alone.
std::optional<int> runBuiltinTool(const std::vector<std::string>& words);
