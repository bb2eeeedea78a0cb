// What a ZIP archive's central directory says about each member's origin:
// the system that made it and its external attributes. libarchive keeps
// these to itself, and unzip decides a member's permissions by them.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct ZipHostAttributes {
  uint8_t madeBy = 3;  // the high byte of "version made by": 0 MS-DOS, 3 Unix, ...
  uint32_t external = 0;
};

// Each member's attributes by name, read from the open, seekable archive;
// empty when its central directory cannot be found (libarchive then reports
// the archive as damaged anyway).
std::map<std::string, ZipHostAttributes> readZipHostAttributes(int archive);

// The permission bits Info-ZIP's unzip gives a member (set-ID and sticky bits
// dropped), under the process's `umask`; `isDirectory` for a member that is
// one, whatever its attributes say.
unsigned unzipPermissions(const ZipHostAttributes& attributes, bool isDirectory, unsigned umask);
