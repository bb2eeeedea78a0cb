#include "launcher/builtin/zip_unpacking.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "launcher/builtin/file_window.h"
#include "launcher/builtin/unpack_target.h"
#include "launcher/builtin/zip_directory.h"
#include "launcher/builtin/zip_format.h"
#include "launcher/builtin/zip_local_header.h"
#include "launcher/builtin/zip_member_data.h"
#include "launcher/builtin/zip_member_mode.h"
#include "launcher/builtin/zip_member_name.h"

namespace {

// Everything known of a member before anything is written.
struct Member {
  const CentralEntry* entry = nullptr;
  std::string name;  // as unzip names it, for messages
  MemberPath path;
  MemberMode mode;
  LocalHeader local;
};

// A link is made once everything else is unpacked, in place of the file that
// holds its target; when a later member wrote other bytes there, that file
// stays instead, as with unzip.
struct PendingLink {
  PathComponents path;
  std::string target;
  MemberTimes times;
};

// A directory this archive made gets its mode and times last, deepest first.
struct PendingDirectory {
  PathComponents path;
  unsigned mode;
  MemberTimes times;
};

unsigned currentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Reads the directory and every local header, and checks that no two parts
// of the archive overlap: unzip's defence against archives whose members
// share their data, which unpack to far more than their size.
UnzipProblem surveyArchive(int archive, uint64_t fileSize, const ZipDirectory& directory,
                           std::vector<Member>* members, UnzipProblem* warning) {
  std::vector<FileSpan> spans = directory.reserved;
  unsigned mask = currentUmask();
  for (const CentralEntry& entry : directory.entries) {
    Member member;
    member.entry = &entry;
    member.name =
        memberName(entry.rawName, entry.extraField, entry.flags & zipformat::utf8NameFlag);
    if (UnzipProblem problem = checkDecodable(entry)) return problem;
    if (UnzipProblem problem = splitMemberName(member.name, entry.hostSystem, &member.path)) {
      problem.member = member.name;
      return problem;
    }
    if (member.path.backslashes && !*warning)
      *warning = problemWith(UnzipResult::warning, member.name, "\"\\\" read as \"/\"");
    member.mode = unzipMemberMode(entry.hostSystem, entry.externalAttributes, entry.extraField,
                                  !member.name.empty() && member.name.back() == '/', mask);
    if (UnzipProblem problem = readLocalHeader(archive, fileSize, entry, &member.local))
      return problem;
    spans.push_back({entry.localHeaderOffset, member.local.dataOffset + entry.compressedSize});
    members->push_back(std::move(member));
  }
  std::sort(spans.begin(), spans.end(),
            [](const FileSpan& a, const FileSpan& b) { return a.begin < b.begin; });
  for (size_t i = 1; i < spans.size(); ++i)
    if (spans[i].begin < spans[i - 1].end)
      return problemWith(UnzipResult::overlapped, "",
                         "parts of the archive overlap (a possible zip bomb)");
  return {};
}

// Writes all of `data` to `fd`; 0, or the errno of the failure.
int writeAll(int fd, const unsigned char* data, size_t count) {
  while (count > 0) {
    ssize_t written = write(fd, data, count);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    data += written, count -= static_cast<size_t>(written);
  }
  return 0;
}

// Access and modification times, as utimensat and futimens take them.
struct TimePair {
  explicit TimePair(const MemberTimes& times) : both{{times.accessed, 0}, {times.modified, 0}} {}
  struct timespec both[2];
};

class Unpacker {
 public:
  Unpacker(int archive, UnpackTarget& target) : archive_(archive), target_(target) {}

  UnzipProblem unpack(const Member& member) {
    if (member.path.components.empty()) return {};  // the target itself is left alone
    if (member.path.directory) return makeDirectory(member);
    return writeFile(member);
  }

  // Makes the links and gives the directories their modes and times.
  void finish() {
    for (const PendingLink& link : links_) makeLink(link);
    std::sort(directories_.begin(), directories_.end(),
              [](const PendingDirectory& a, const PendingDirectory& b) { return b.path < a.path; });
    for (const PendingDirectory& directory : directories_) settleDirectory(directory);
  }

 private:
  UnzipProblem makeDirectory(const Member& member) {
    bool created = false;
    if (UnzipProblem problem = target_.makeDirectory(member.path.components, member.name, &created))
      return problem;
    if (!created) return {};  // one that exists already keeps its mode and times
    int parent = target_.existingParent(member.path.components);
    const char* name = member.path.components.back().c_str();
    struct stat status;
    // A new directory keeps the set-group-ID bit it inherits.
    unsigned inherited =
        fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0 ? status.st_mode & S_ISGID : 0;
    unsigned mode = permissionBits(member.mode) | inherited;
    fchmodat(parent, name, mode | S_IRWXU, 0);  // writable until everything is in
    directories_.push_back({member.path.components, mode, member.local.times});
    return {};
  }

  UnzipProblem writeFile(const Member& member) {
    const CentralEntry& entry = *member.entry;
    bool link = member.mode.link && entry.size > 0;
    if (link && entry.size >= PATH_MAX)
      return problemWith(UnzipResult::damaged, member.name, "its link target is too long");
    UniqueFd file;
    if (UnzipProblem problem = target_.createFile(member.path.components, member.name, &file))
      return problem;
    std::string target;
    DataSink sink = [&](const unsigned char* bytes, size_t count) {
      if (link) target.append(reinterpret_cast<const char*>(bytes), count);
      return writeAll(file.get(), bytes, count);
    };
    if (UnzipProblem problem = decoder_.decode(archive_, entry, member.local.dataOffset, sink))
      return problem;
    if (link && target.find('\0') != std::string::npos)
      return problemWith(UnzipResult::damaged, member.name, "its link target holds a NUL byte");
    fchmod(file.get(), permissionBits(member.mode));
    futimens(file.get(), TimePair(member.local.times).both);
    if (link) links_.push_back({member.path.components, std::move(target), member.local.times});
    return {};
  }

  // Whether `name` in `parent` is a plain file holding exactly `target`.
  static bool holdsTarget(int parent, const char* name, const std::string& target) {
    UniqueFd file(openat(parent, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat status;
    if (!file || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<uint64_t>(status.st_size) != target.size())
      return false;
    std::string content(target.size(), '\0');
    return readFully(file.get(), 0, content.data(), content.size()) && content == target;
  }

  void makeLink(const PendingLink& link) {
    int parent = target_.existingParent(link.path);
    const char* name = link.path.back().c_str();
    if (parent < 0 || !holdsTarget(parent, name, link.target)) return;
    if (unlinkat(parent, name, 0) != 0 || symlinkat(link.target.c_str(), parent, name) != 0) return;
    utimensat(parent, name, TimePair(link.times).both, AT_SYMLINK_NOFOLLOW);
  }

  void settleDirectory(const PendingDirectory& directory) {
    int parent = target_.existingParent(directory.path);
    const char* name = directory.path.back().c_str();
    struct stat status;
    if (parent < 0 || fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(status.st_mode))
      return;
    utimensat(parent, name, TimePair(directory.times).both, AT_SYMLINK_NOFOLLOW);
    fchmodat(parent, name, directory.mode, 0);
  }

  int archive_;
  UnpackTarget& target_;
  MemberDecoder decoder_;
  std::vector<PendingLink> links_;
  std::vector<PendingDirectory> directories_;
};

}  // namespace

UnzipProblem unpackZipArchive(int archive, const std::string& targetDirectory) {
  struct stat status;
  if (fstat(archive, &status) != 0 || !S_ISREG(status.st_mode))
    return problemWith(UnzipResult::notAnArchive, "", "not a regular file");
  uint64_t fileSize = static_cast<uint64_t>(status.st_size);
  ZipDirectory directory;
  if (UnzipProblem problem = readZipDirectory(archive, fileSize, &directory)) return problem;
  std::vector<Member> members;
  UnzipProblem warning = directory.warning;
  if (UnzipProblem problem = surveyArchive(archive, fileSize, directory, &members, &warning))
    return problem;
  UnpackTarget target;
  if (UnzipProblem problem = target.open(targetDirectory)) return problem;
  Unpacker unpacker(archive, target);
  for (const Member& member : members) {
    if (UnzipProblem problem = unpacker.unpack(member)) return problem;
  }
  unpacker.finish();
  return warning;
}
