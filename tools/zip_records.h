// The byte layout of the ZIP records make-installer writes: stored members
// with the Unix extra fields Info-ZIP zip 3.0 writes, and a comment-free end
// record. Sizes and offsets that do not fit 32 bits go into ZIP64 records,
// which Info-ZIP unzip 6.0 reads; everything that fits is laid out exactly as
// a plain archive. Every multi-byte field is little-endian.
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
  uint64_t size = 0;  // compressed and uncompressed: the member is stored
  uint32_t crc = 0;
  uint64_t localHeaderOffset = 0;  // counted from the start of the whole file
  FileStamp stamp;
  bool forceZip64 = false;  // ZIP64 fields for the sizes and offset even if they fit
};

// Sizes and offsets below this go into plain 32-bit fields; from it on, the
// field holds this value, which means "look in the ZIP64 extra or record".
constexpr uint64_t zipFieldLimit = 0xFFFFFFFFu;

// Where the CRC-32 sits in a local header, so it can be filled in once the
// member's data has been streamed.
constexpr uint64_t localHeaderCrcOffset = 14;

// Local file header plus extra fields (extended timestamp with modification
// and access times, Unix uid/gid) for a stored member. A size from
// zipFieldLimit on (or forceZip64) puts both sizes in a ZIP64 extra field
// ahead of the others; like the central entry, it says version 4.5 whenever
// the member uses ZIP64 at all.
std::string localHeader(const ZipMember& member);

// Central directory entry for a stored member: made by Unix, mode 0644,
// extended timestamp with the modification time, Unix uid/gid. A size or
// offset from zipFieldLimit on (or forceZip64) makes it version 4.5 with the
// overflowing values in a ZIP64 extra field ahead of the others.
std::string centralEntry(const ZipMember& member);

// Where and how large the central directory is, counted from the start of
// the whole file; the end records begin right after it.
struct DirectoryEnd {
  uint64_t entries = 0;
  uint64_t directorySize = 0;
  uint64_t directoryOffset = 0;
  bool forceZip64 = false;  // ZIP64 end records and only markers in the plain one
};

// The records that end a single-disk archive without comment. When a value
// overflows its plain field (or forceZip64), the ZIP64 end record and its
// locator come first and the plain record holds the overflow marker in that
// field. The plain record is always the last 22 bytes.
std::string directoryEnd(const DirectoryEnd& end);

}  // namespace packer
