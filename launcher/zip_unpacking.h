// Unpacks a ZIP archive into a directory through libarchive, as Info-ZIP's
// "unzip -qq -o" would: the same names, files, directories and symbolic
// links, the permission bits unzip gives (a Unix member's own, not masked by
// the umask; an MS-DOS member's from its read-only and directory bits, masked;
// set-user-ID, set-group-ID and sticky bits dropped), modification times from
// the archive, files owned by the caller. Every member's CRC-32 is checked.
#pragma once

#include <string>

// The outcome of an unpacking, as unzip's exit codes say it.
enum class UnzipResult : int {
  unpacked = 0,
  damagedMember = 2,  // bad CRC, truncated data, encryption, unknown method
  refusedMember = 3,  // a name or link that would reach outside the target
  badUsage = 10,
  notAnArchive = 9,   // missing, unreadable, or no ZIP central directory
  cannotWrite = 50,
};

// Unpacks the archive read from the open, seekable `archive` (offsets count
// from the start of that file, so an archive appended to a program works)
// into `targetDirectory`, which is made when missing. Existing files are
// replaced. Nothing is written outside the target: no absolute name, no ".."
// component, nothing through a symbolic link, no device or FIFO. On failure
// one line on standard error names `archiveName` and what is wrong.
UnzipResult unpackZipArchive(int archive, const std::string& archiveName,
                             const std::string& targetDirectory);
