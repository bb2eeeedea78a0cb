// The ZIP records make-installer writes and recognises, encoded with the
// layout the unpacker reads. Members are stored, with the Unix extra
// fields Info-ZIP zip 3.0 writes; values that do not fit 32 bits go into
// ZIP64 records, and everything that fits is laid out as in a plain archive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace packer {

// One stored member, with the times and owner of its source file.
struct ZipMember {
  std::string name;
  uint64_t size = 0;  // compressed and uncompressed alike
  uint32_t crc = 0;
  uint64_t localHeaderOffset = 0;      // from the start of the whole file
  int64_t modified = 0, accessed = 0;  // seconds since the epoch
  uint32_t uid = 0, gid = 0;
  bool forceZip64 = false;  // ZIP64 fields for the sizes and offset even when they fit
};

// The local header: extended timestamp (modification and access time) and
// Unix uid/gid extras, after a ZIP64 extra with both sizes when they need it.
std::string localHeader(const ZipMember& member);
// The central entry: made by Unix, mode 0644, extended timestamp
// (modification time) and uid/gid extras, after a ZIP64 extra with the sizes
// and the offset that need it. A member using ZIP64 says version 4.5 in both.
std::string centralEntry(const ZipMember& member);
// The records after a central directory of `size` bytes at `offset`: the
// ZIP64 end record and locator when a value overflows its plain field (or
// forceZip64), then the plain end record, always the last 22 bytes.
std::string directoryEnd(uint64_t entries, uint64_t size, uint64_t offset, bool forceZip64);
// The CRC-32 as its four bytes in the local header.
std::string crcField(uint32_t crc);

// Whether a file that begins with `head` and ends with `tail` (its last
// zipformat::end::search bytes, or all of it) is a ZIP archive: a local header or,
// for an empty archive, the end record first, and an end record at the end
// followed by no more than a comment.
bool looksLikeZipArchive(std::string_view head, std::string_view tail);

}  // namespace packer
