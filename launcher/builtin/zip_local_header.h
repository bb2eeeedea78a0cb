// The local header in front of each member's data, checked against the
// member's central entry: the central directory says what a member is, and a
// local header that says otherwise means a damaged or forged archive.
#pragma once

#include <cstdint>

#include "launcher/builtin/unzip_problem.h"
#include "launcher/builtin/zip_directory.h"
#include "launcher/builtin/zip_member_time.h"

struct LocalHeader {
  uint64_t dataOffset = 0;  // where the member's data starts in the file
  MemberTimes times;        // from the local extra field, as unzip takes them
};

// Reads the local header of `entry` from `archive` (`fileSize` bytes) and
// checks its signature, name (and the Unicode path that renames it), method,
// flags, and, unless a data descriptor follows the data, CRC-32 and sizes.
// The data must lie within the file, and stored data must be as long as
// the member.
UnzipProblem readLocalHeader(int archive, uint64_t fileSize, const CentralEntry& entry,
                             LocalHeader* header);
