#include "agent/local_agent_archive.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>

#include "launcher/core/build_constants.h"
#include "launcher/core/paths.h"

namespace {

constexpr std::string_view variantPrefix = "InstallAgent_";
constexpr std::string_view variantSuffix = ".zip";

struct DirectoryCloser {
  void operator()(DIR* directory) const { closedir(directory); }
};

bool isVariantName(std::string_view name) {
  return name.size() >= variantPrefix.size() + variantSuffix.size() &&
         name.substr(0, variantPrefix.size()) == variantPrefix &&
         name.substr(name.size() - variantSuffix.size()) == variantSuffix;
}

std::string findVariantArchive(const std::string& parent) {
  std::unique_ptr<DIR, DirectoryCloser> directory(opendir(parent.c_str()));
  if (!directory) return "";
  while (const dirent* entry = readdir(directory.get())) {
    if (isVariantName(entry->d_name)) return joinAlways(parent, entry->d_name);
  }
  return "";
}

}  // namespace

std::string findLocalAgentArchive(const std::string& extractionDirectory) {
  std::string exact = joinOnce(extractionDirectory, agentArchiveName);
  struct stat status;
  if (stat(exact.c_str(), &status) == 0) return exact;

  // The directory is the candidate up to its last separator.
  return findVariantArchive(directoryPart(exact));
}
