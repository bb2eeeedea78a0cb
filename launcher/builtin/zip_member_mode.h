// The mode Info-ZIP's unzip gives a member on Unix, from the system that made
// it and the attributes its central entry carries.
#pragma once

#include <cstdint>
#include <string_view>

struct MemberMode {
  unsigned attributes = 0;  // a Unix mode, its file type bits included when known
  bool link = false;        // a symbolic link from a system whose links unzip makes
};

// Unix-like systems give their mode as it is (an ASi block stands in for a
// missing one); MS-DOS and the others give read-only and directory bits,
// expanded to rwx for all and masked by `umask`, unless a Unix mode beside
// them agrees with them (PKZip for Unix); Amiga gives its own rwe bits.
// `nameEndsInSlash` marks a directory that lacks the MS-DOS directory bit.
MemberMode unzipMemberMode(uint8_t hostSystem, uint32_t externalAttributes,
                           std::string_view centralExtraField, bool nameEndsInSlash,
                           unsigned umask);

// The permission bits a file or directory gets from `mode`: set-user-ID,
// set-group-ID and sticky bits are dropped.
inline unsigned permissionBits(const MemberMode& mode) { return mode.attributes & 0777; }
