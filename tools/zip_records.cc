#include "tools/zip_records.h"

#include <time.h>

namespace packer {

namespace {

constexpr uint32_t localHeaderSignature = 0x04034b50;
constexpr uint32_t centralEntrySignature = 0x02014b50;
constexpr uint32_t endRecordSignature = 0x06054b50;
constexpr uint32_t zip64EndRecordSignature = 0x06064b50;
constexpr uint32_t zip64LocatorSignature = 0x07064b50;
constexpr uint16_t versionNeeded = 10;                  // 1.0: stored data, no extras required
constexpr uint16_t zip64VersionNeeded = 45;             // 4.5: ZIP64 fields
constexpr uint16_t versionMadeBy = (3 << 8) | 30;       // Unix, 3.0
constexpr uint16_t zip64VersionMadeBy = (3 << 8) | 45;  // Unix, 4.5
constexpr uint16_t entriesLimit = 0xFFFF;               // the plain entry counts' overflow marker
constexpr uint64_t zip64EndRecordRest = 44;             // its bytes after its own size field
constexpr uint32_t regularFile0644 = 0100644u << 16;
constexpr uint16_t zip64ExtraId = 0x0001;
constexpr uint16_t extendedTimestampId = 0x5455;
constexpr uint16_t unixOwnerId = 0x7875;
constexpr uint8_t modifiedAndAccessed = 0x03;  // flags: both times present locally

// Appenders for little-endian fields.
void put8(std::string& out, uint8_t value) { out += static_cast<char>(value); }

void put16(std::string& out, uint16_t value) {
  put8(out, static_cast<uint8_t>(value));
  put8(out, static_cast<uint8_t>(value >> 8));
}

void put32(std::string& out, uint32_t value) {
  put16(out, static_cast<uint16_t>(value));
  put16(out, static_cast<uint16_t>(value >> 16));
}

void put64(std::string& out, uint64_t value) {
  put32(out, static_cast<uint32_t>(value));
  put32(out, static_cast<uint32_t>(value >> 32));
}

// What a plain field whose all-ones `marker` means "in the ZIP64 record"
// holds for `value`: the value itself only when it fits and is not forced out.
uint64_t plainField(uint64_t value, uint64_t marker, bool forceZip64) {
  return forceZip64 || value >= marker ? marker : value;
}

// Which of a member's values its headers carry in a ZIP64 extra field.
struct Zip64Fields {
  bool sizes = false;   // uncompressed and compressed size
  bool offset = false;  // local header offset; the central entry's only

  bool any() const { return sizes || offset; }
};

// The values of `member` that overflow their plain fields or are forced out.
Zip64Fields zip64Fields(const ZipMember& member) {
  return {member.forceZip64 || member.size >= zipFieldLimit,
          member.forceZip64 || member.localHeaderOffset >= zipFieldLimit};
}

// The ZIP64 extended information extra field with the values `fields`
// marks, in the order readers expect; empty when none is marked.
std::string zip64Extra(const ZipMember& member, Zip64Fields fields) {
  std::string values;
  if (fields.sizes) {
    put64(values, member.size);  // uncompressed
    put64(values, member.size);  // compressed
  }
  if (fields.offset) put64(values, member.localHeaderOffset);
  if (values.empty()) return values;
  std::string out;
  put16(out, zip64ExtraId);
  put16(out, static_cast<uint16_t>(values.size()));
  return out + values;
}

// The 32-bit time the extended timestamp holds (wraps like Info-ZIP's).
uint32_t unixTime(int64_t seconds) { return static_cast<uint32_t>(seconds); }

// A time as the two 16-bit fields ZIP headers carry.
struct DosDateTime {
  uint16_t time;
  uint16_t date;
};

// Local time in DOS format, rounded up to an even second as Info-ZIP does
// (DOS time has two-second steps) and clamped to the years 1980-2107.
DosDateTime dosDateTime(int64_t seconds) {
  time_t even = static_cast<time_t>(seconds + (seconds & 1));
  struct tm local {};
  if (localtime_r(&even, &local) == nullptr || local.tm_year < 80) return {0, (1 << 5) | 1};
  if (local.tm_year > 207) return {(23 << 11) | (59 << 5) | 29, (127 << 9) | (12 << 5) | 31};
  return {static_cast<uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2)),
          static_cast<uint16_t>(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) |
                                local.tm_mday)};
}

// The fields local header and central entry share, from "version needed"
// through the extra field length. Both headers of a member that uses ZIP64
// anywhere say version 4.5, so they agree.
void putCommonFields(std::string& out, const ZipMember& member, size_t extraSize) {
  DosDateTime stamp = dosDateTime(member.stamp.modified);
  Zip64Fields zip64 = zip64Fields(member);
  auto size = static_cast<uint32_t>(plainField(member.size, zipFieldLimit, zip64.sizes));
  put16(out, zip64.any() ? zip64VersionNeeded : versionNeeded);
  put16(out, 0);  // general purpose flags
  put16(out, 0);  // method: stored
  put16(out, stamp.time);
  put16(out, stamp.date);
  put32(out, member.crc);
  put32(out, size);
  put32(out, size);
  put16(out, static_cast<uint16_t>(member.name.size()));
  put16(out, static_cast<uint16_t>(extraSize));
}

// The Unix uid/gid extra field with 4-byte ids, as zip 3.0 writes it.
void putUnixOwner(std::string& out, const FileStamp& stamp) {
  put16(out, unixOwnerId);
  put16(out, 11);
  put8(out, 1);  // version
  put8(out, 4);
  put32(out, stamp.uid);
  put8(out, 4);
  put32(out, stamp.gid);
}

// The ZIP64 end record, which starts right after the central directory, and
// the locator that leads readers to it from just before the plain record.
std::string zip64EndRecords(const DirectoryEnd& end) {
  std::string out;
  put32(out, zip64EndRecordSignature);
  put64(out, zip64EndRecordRest);
  put16(out, zip64VersionMadeBy);
  put16(out, zip64VersionNeeded);
  put32(out, 0);  // this disk
  put32(out, 0);  // disk with the central directory
  put64(out, end.entries);
  put64(out, end.entries);
  put64(out, end.directorySize);
  put64(out, end.directoryOffset);
  put32(out, zip64LocatorSignature);
  put32(out, 0);  // disk with the ZIP64 end record
  put64(out, end.directoryOffset + end.directorySize);
  put32(out, 1);  // disks in total
  return out;
}

}  // namespace

std::string localHeader(const ZipMember& member) {
  std::string extra = zip64Extra(member, {zip64Fields(member).sizes, false});
  put16(extra, extendedTimestampId);
  put16(extra, 9);
  put8(extra, modifiedAndAccessed);
  put32(extra, unixTime(member.stamp.modified));
  put32(extra, unixTime(member.stamp.accessed));
  putUnixOwner(extra, member.stamp);
  std::string out;
  put32(out, localHeaderSignature);
  putCommonFields(out, member, extra.size());
  return out + member.name + extra;
}

std::string centralEntry(const ZipMember& member) {
  Zip64Fields zip64 = zip64Fields(member);
  std::string extra = zip64Extra(member, zip64);
  // The central copy carries only the modification time, yet keeps the
  // flags saying which times the local header holds.
  put16(extra, extendedTimestampId);
  put16(extra, 5);
  put8(extra, modifiedAndAccessed);
  put32(extra, unixTime(member.stamp.modified));
  putUnixOwner(extra, member.stamp);
  std::string out;
  put32(out, centralEntrySignature);
  put16(out, versionMadeBy);
  putCommonFields(out, member, extra.size());
  put16(out, 0);  // comment length
  put16(out, 0);  // disk number start
  put16(out, 0);  // internal attributes
  put32(out, regularFile0644);
  put32(out,
        static_cast<uint32_t>(plainField(member.localHeaderOffset, zipFieldLimit, zip64.offset)));
  return out + member.name + extra;
}

std::string directoryEnd(const DirectoryEnd& end) {
  auto entries = static_cast<uint16_t>(plainField(end.entries, entriesLimit, end.forceZip64));
  auto size = static_cast<uint32_t>(plainField(end.directorySize, zipFieldLimit, end.forceZip64));
  auto offset =
      static_cast<uint32_t>(plainField(end.directoryOffset, zipFieldLimit, end.forceZip64));
  bool zip64 = entries == entriesLimit || size == zipFieldLimit || offset == zipFieldLimit;
  std::string out = zip64 ? zip64EndRecords(end) : std::string();
  put32(out, endRecordSignature);
  put16(out, 0);  // this disk
  put16(out, 0);  // disk with the central directory
  put16(out, entries);
  put16(out, entries);
  put32(out, size);
  put32(out, offset);
  put16(out, 0);  // comment length
  return out;
}

}  // namespace packer
