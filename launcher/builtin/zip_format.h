// The ZIP records as they lie on disk: signatures, sizes and the place of
// each field, and little-endian reads of them. The unpacker and the packer
// both take the layout from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zipformat {

inline constexpr uint32_t localHeaderSignature = 0x04034b50;
inline constexpr uint32_t centralEntrySignature = 0x02014b50;
inline constexpr uint32_t endRecordSignature = 0x06054b50;
inline constexpr uint32_t zip64EndRecordSignature = 0x06064b50;
inline constexpr uint32_t zip64LocatorSignature = 0x07064b50;

// A plain size or offset field holds this, a count 0xFFFF: "see ZIP64".
inline constexpr uint32_t fieldLimit = 0xFFFFFFFFu;
inline constexpr uint16_t countLimit = 0xFFFF;

// Local header: fixed part, then name and extra field, then the data.
namespace local {
inline constexpr size_t size = 30;
inline constexpr size_t versionNeeded = 4, flags = 6, method = 8, dosTime = 10, crc = 14,
                        compressedSize = 18, size32 = 22, nameLength = 26, extraLength = 28;
}  // namespace local

// Central directory entry: fixed part, then name, extra field and comment.
namespace central {
inline constexpr size_t size = 46;
inline constexpr size_t versionMadeBy = 4, versionNeeded = 6, flags = 8, method = 10, dosTime = 12,
                        crc = 16, compressedSize = 20, size32 = 24, nameLength = 28,
                        extraLength = 30, commentLength = 32, diskStart = 34,
                        externalAttributes = 38, localHeaderOffset = 42;
}  // namespace central

// End of central directory record: the last record of an archive, before
// its comment.
namespace end {
inline constexpr size_t size = 22;
inline constexpr size_t thisDisk = 4, directoryDisk = 6, entriesOnDisk = 8, entries = 10,
                        directorySize = 12, directoryOffset = 16, commentLength = 20;
// How far from the end of a file its end record may start: the record and
// the longest comment.
inline constexpr size_t search = size + 0xFFFF;
}  // namespace end

// ZIP64 end of central directory locator, right before the end record.
namespace locator {
inline constexpr size_t size = 20;
inline constexpr size_t recordDisk = 4, recordOffset = 8, totalDisks = 16;
}  // namespace locator

// ZIP64 end of central directory record (its fixed part).
namespace end64 {
inline constexpr size_t size = 56;
inline constexpr size_t recordSize = 4, thisDisk = 16, directoryDisk = 20, entriesOnDisk = 24,
                        entries = 32, directorySize = 40, directoryOffset = 48;
// The record size field counts the bytes after itself.
inline constexpr size_t sizeFieldEnd = 12;
}  // namespace end64

// General purpose flags.
inline constexpr uint16_t encryptedFlag = 1 << 0;
inline constexpr uint16_t dataDescriptorFlag = 1 << 3;
inline constexpr uint16_t utf8NameFlag = 1 << 11;

// Compression methods.
inline constexpr uint16_t storedMethod = 0, deflatedMethod = 8, bzip2Method = 12;

// Extra field blocks: a 2-byte id and a 2-byte length before each.
inline constexpr size_t extraHeaderSize = 4;
inline constexpr uint16_t zip64ExtraId = 0x0001;
inline constexpr uint16_t pkVmsExtraId = 0x000c;
inline constexpr uint16_t pkUnixExtraId = 0x000d;
inline constexpr uint16_t extendedTimestampId = 0x5455;  // "UT"
inline constexpr uint16_t infoZipUnixOldId = 0x5855;     // "UX"
inline constexpr uint16_t infoZipUnix2Id = 0x7855;       // "Ux"
inline constexpr uint16_t infoZipUnix3Id = 0x7875;       // "ux"
inline constexpr uint16_t unicodePathId = 0x7075;        // "up"
inline constexpr uint16_t asiUnixId = 0x756e;            // "nu"

// The systems in the high byte of "version made by".
enum HostSystem : uint8_t {
  msDos = 0,
  amiga = 1,
  vms = 2,
  unixHost = 3,
  atari = 5,
  hpfs = 6,
  macintosh = 7,
  tops20 = 10,
  ntfs = 11,
  qdos = 12,
  acorn = 13,
  beos = 16,
  tandem = 17,
  theos = 18,
  atheos = 30,
};

// The unsigned little-endian value of `count` bytes at `bytes`.
inline uint64_t little(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = count; i-- > 0;) value = value << 8 | bytes[i];
  return value;
}
inline uint16_t little16(const unsigned char* bytes) {
  return static_cast<uint16_t>(little(bytes, 2));
}
inline uint32_t little32(const unsigned char* bytes) {
  return static_cast<uint32_t>(little(bytes, 4));
}
inline uint64_t little64(const unsigned char* bytes) { return little(bytes, 8); }

}  // namespace zipformat
