// The byte layout of the ZIP records make-installer writes: stored members
// with the Unix extra fields Info-ZIP zip 3.0 writes, and a comment-free end
// record. Every multi-byte field is little-endian.
#pragma once

#include <cstdint>
#include <string>

namespace packer {

// The times and owner a member's headers record, taken from its source file.
struct FileStamp {
  int64_t modified = 0;  // seconds since the epoch
  int64_t accessed = 0;  // seconds since the epoch
  uint32_t uid = 0;
  uint32_t gid = 0;
};

// One stored member as its headers describe it.
struct ZipMember {
  std::string name;
  uint32_t size = 0;  // compressed and uncompressed: the member is stored
  uint32_t crc = 0;
  uint32_t localHeaderOffset = 0;  // counted from the start of the whole file
  FileStamp stamp;
};

// Sizes and offsets must stay below this: it is the largest value a plain
// 32-bit field holds, and ZIP reserves it to mean "look in the ZIP64 record".
constexpr uint64_t zipFieldLimit = 0xFFFFFFFFu;

// Where the CRC-32 sits in a local header, so it can be filled in once the
// member's data has been streamed.
constexpr uint64_t localHeaderCrcOffset = 14;

// The length of the localHeader() of a member called `name`.
uint64_t localHeaderSize(const std::string& name);

// Local file header plus extra fields (extended timestamp with modification
// and access times, Unix uid/gid) for a stored member.
std::string localHeader(const ZipMember& member);

// Central directory entry for a stored member: made by Unix, mode 0644,
// extended timestamp with the modification time, Unix uid/gid.
std::string centralEntry(const ZipMember& member);

// End-of-central-directory record for a single-disk archive without comment.
std::string endRecord(uint16_t entries, uint32_t directorySize, uint32_t directoryOffset);

}  // namespace packer
