#include "launcher/zip_unpacking.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>

#include "launcher/message_reporter.h"
#include "launcher/zip_host_attributes.h"

namespace {

// Large reads for large stored members: as many system calls as a copy.
constexpr size_t readBlockSize = 128 * 1024;

constexpr int writeFlags = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_UNLINK |
                           ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                           ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;

struct ReaderFree {
  void operator()(archive* reader) const { archive_read_free(reader); }
};
struct WriterFree {
  void operator()(archive* writer) const { archive_write_free(writer); }
};
using Reader = std::unique_ptr<archive, ReaderFree>;
using Writer = std::unique_ptr<archive, WriterFree>;

// While it lives, the process works in another directory; the one it left is
// its working directory again afterwards. Archive names are then resolved
// below the target alone, so that a symbolic link on the way to the target
// (a home directory reached through one) does not count as one in the archive.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& directory) {
    previous_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (previous_ < 0) previous_ = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    entered_ = previous_ >= 0 && chdir(directory.c_str()) == 0;
  }
  ~WorkingDirectory() {
    if (entered_) (void)!fchdir(previous_);
    if (previous_ >= 0) close(previous_);
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  bool entered() const { return entered_; }

 private:
  int previous_ = -1;
  bool entered_ = false;
};

// unzip -d makes the target and any missing directory above it.
void makeDirectories(const std::string& path) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
    mkdir(path.substr(0, at).c_str(), 0777);
  mkdir(path.c_str(), 0777);
}

// One line naming the archive, the member when there is one, and the problem.
void complain(const std::string& archiveName, std::string_view member, const char* problem) {
  std::string line = archiveName + ": ";
  if (!member.empty()) line.append(member).append(": ");
  reportToConsole(line + (problem != nullptr ? problem : "unreadable"), true);
}

// Names in archives are UTF-8 or raw bytes; the C locale would turn every
// byte above 127 of a UTF-8 name into a failure. C.UTF-8 is built into the C
// library, so no locale file is read.
void useUtf8Names() {
  static bool done = false;
  if (!done) setlocale(LC_CTYPE, "C.UTF-8");
  done = true;
}

// What unzip's permissions of a member depend on beside the member itself.
struct PermissionRules {
  std::map<std::string, ZipHostAttributes> members;
  unsigned umask;
};

unsigned currentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Makes a member what the disk gets: devices, FIFOs and sockets become plain
// files, as unzip makes them, and the permissions are the ones unzip gives
// (from the Unix mode of a member made on Unix, from its MS-DOS attributes
// otherwise), without set-ID and sticky bits. False for a member that cannot
// be unpacked as unzip would.
bool tameEntry(archive_entry* entry, const PermissionRules& rules) {
  const std::string name = archive_entry_pathname(entry);
  auto found = rules.members.find(name);
  mode_t type = archive_entry_filetype(entry);
  // unzip makes a directory of a name that ends in "/" and of nothing else;
  // libarchive also of a name with the MS-DOS directory bit, to which it adds
  // the "/".
  if (found == rules.members.end() && type == AE_IFDIR && name.size() > 1 && name.back() == '/') {
    auto plain = rules.members.find(name.substr(0, name.size() - 1));
    if (plain != rules.members.end()) {
      // libarchive hands no data for what it takes for a directory, so only an
      // empty file can be made as unzip makes it.
      if (archive_entry_size(entry) > 0) return false;
      archive_entry_copy_pathname(entry, plain->first.c_str());
      found = plain, type = AE_IFREG;
    }
  }
  if (type != AE_IFDIR && type != AE_IFLNK) type = AE_IFREG;
  archive_entry_set_filetype(entry, type);
  unsigned permissions = found == rules.members.end()
                             ? archive_entry_perm(entry) & 0777
                             : unzipPermissions(found->second, type == AE_IFDIR, rules.umask);
  archive_entry_set_perm(entry, permissions);
  archive_entry_set_rdev(entry, 0);
  return true;
}

// Copies the data of the current member; its CRC-32 is checked once all of
// it has been read, and a mismatch comes back as a warning.
UnzipResult copyData(archive* reader, archive* writer, const std::string& archiveName,
                     std::string_view member) {
  const void* block;
  size_t size;
  la_int64_t offset;
  int status;
  while ((status = archive_read_data_block(reader, &block, &size, &offset)) == ARCHIVE_OK) {
    if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_OK) {
      complain(archiveName, member, archive_error_string(writer));
      return UnzipResult::cannotWrite;
    }
  }
  if (status == ARCHIVE_EOF) return UnzipResult::unpacked;
  complain(archiveName, member, archive_error_string(reader));
  return UnzipResult::damagedMember;
}

UnzipResult unpackMember(archive* reader, archive* writer, archive_entry* entry,
                         const std::string& archiveName, const PermissionRules& rules) {
  std::string member = archive_entry_pathname(entry);
  if (!tameEntry(entry, rules)) {
    complain(archiveName, member, "a file marked as a directory holds data");
    return UnzipResult::damagedMember;
  }
  if (archive_write_header(writer, entry) < ARCHIVE_WARN) {
    complain(archiveName, member, archive_error_string(writer));
    return errno == ENOSPC || errno == EDQUOT ? UnzipResult::cannotWrite
                                              : UnzipResult::refusedMember;
  }
  UnzipResult result = copyData(reader, writer, archiveName, member);
  if (result == UnzipResult::unpacked && archive_write_finish_entry(writer) < ARCHIVE_WARN) {
    complain(archiveName, member, archive_error_string(writer));
    result = UnzipResult::cannotWrite;
  }
  return result;
}

UnzipResult unpackAll(archive* reader, archive* writer, const std::string& archiveName,
                      const PermissionRules& rules) {
  archive_entry* entry;
  int status;
  while ((status = archive_read_next_header(reader, &entry)) >= ARCHIVE_WARN) {
    if (status == ARCHIVE_EOF) break;
    if (archive_entry_pathname(entry) == nullptr) {
      complain(archiveName, "", "a member's name is not valid");
      return UnzipResult::refusedMember;
    }
    UnzipResult result = unpackMember(reader, writer, entry, archiveName, rules);
    if (result != UnzipResult::unpacked) return result;
  }
  if (status != ARCHIVE_EOF) {
    complain(archiveName, "", archive_error_string(reader));
    return UnzipResult::damagedMember;
  }
  // Directories get their modes and times now that nothing more goes in.
  if (archive_write_close(writer) != ARCHIVE_OK) {
    complain(archiveName, "", archive_error_string(writer));
    return UnzipResult::cannotWrite;
  }
  return UnzipResult::unpacked;
}

}  // namespace

UnzipResult unpackZipArchive(int archive, const std::string& archiveName,
                             const std::string& targetDirectory) {
  useUtf8Names();
  Reader reader(archive_read_new());
  Writer writer(archive_write_disk_new());
  if (!reader || !writer) return UnzipResult::cannotWrite;
  archive_read_support_format_zip_seekable(reader.get());
  PermissionRules rules{readZipHostAttributes(archive), currentUmask()};
  if (lseek(archive, 0, SEEK_SET) != 0 || archive_read_open_fd(reader.get(), archive, readBlockSize) != ARCHIVE_OK) {
    complain(archiveName, "", archive_error_string(reader.get()));
    return UnzipResult::notAnArchive;
  }
  archive_write_disk_set_options(writer.get(), writeFlags);
  makeDirectories(targetDirectory);
  WorkingDirectory inTarget(targetDirectory);
  if (!inTarget.entered()) {
    complain(archiveName, "", ("cannot enter " + targetDirectory).c_str());
    return UnzipResult::cannotWrite;
  }
  return unpackAll(reader.get(), writer.get(), archiveName, rules);
}
