#include "launcher/builtin/builtin_tools.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "launcher/builtin/tree_removal.h"
#include "launcher/builtin/unique_fd.h"
#include "launcher/builtin/zip_unpacking.h"

namespace {

int exitStatus(int code) { return code << 8; }

// An option word made of the letters in `allowed` only, such as -qq or -rf.
bool isOptionOf(std::string_view word, std::string_view allowed) {
  return word.size() > 1 && word[0] == '-' && word != "--" &&
         word.find_first_not_of(allowed, 1) == std::string_view::npos;
}

// The outcome of an unpacking as the stand-in gives it: a failure's line
// names the archive, the member when there is one, and the problem; a
// warning passes in silence.
ToolOutcome outcomeOf(const UnzipProblem& problem, const std::string& archive) {
  ToolOutcome outcome{exitStatus(static_cast<int>(problem.result)), ""};
  if (problem.result > UnzipResult::warning) {
    outcome.complaint = archive + ": ";
    if (!problem.member.empty()) outcome.complaint.append(problem.member).append(": ");
    outcome.complaint.append(problem.what);
  }
  return outcome;
}

ToolOutcome unzipFile(const std::string& archive, const std::string& directory,
                      const HeldFile& held) {
  if (archive == held.path && held.fd >= 0)
    return outcomeOf(unpackZipArchive(held.fd, directory), archive);
  UniqueFd file(open(archive.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file)
    return outcomeOf(problemWith(UnzipResult::notAnArchive, "", std::strerror(errno)), archive);
  return outcomeOf(unpackZipArchive(file.get(), directory), archive);
}

ToolOutcome unzip(const std::vector<std::string>& words, const HeldFile& held) {
  size_t at = 1;
  while (at < words.size() && isOptionOf(words[at], "qo")) ++at;
  if (words.size() - at != 3 || words[at + 1] != "-d")
    return {exitStatus(static_cast<int>(UnzipResult::badUsage)), ""};
  return unzipFile(words[at], words[at + 2], held);
}

// rm refuses these, whatever the options say.
bool isProtected(std::string_view path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string_view::npos) return true;  // "/" or "//"
  std::string_view name = path.substr(0, end + 1);
  name = name.substr(name.find_last_of('/') + 1);  // npos + 1 == 0
  return name == "." || name == "..";
}

ToolOutcome remove(const std::vector<std::string>& words) {
  size_t at = 1;
  while (at < words.size() && isOptionOf(words[at], "rRf")) ++at;
  if (at < words.size() && words[at] == "--") ++at;
  for (; at < words.size(); ++at) {
    if (!isProtected(words[at])) removeTree(words[at].c_str());
  }
  return {exitStatus(0), ""};
}

}  // namespace

std::optional<ToolOutcome> runBuiltinTool(const std::vector<std::string>& words,
                                          const HeldFile& held) {
  if (words.empty()) return std::nullopt;
  if (words[0] == "unzip") return unzip(words, held);
  if (words[0] == "rm") return remove(words);
  return std::nullopt;
}
