#include "tools/zip_records.h"

#include <time.h>

namespace packer {

namespace {

constexpr uint32_t localHeaderSignature = 0x04034b50;
constexpr uint32_t centralEntrySignature = 0x02014b50;
constexpr uint32_t endRecordSignature = 0x06054b50;
constexpr uint16_t versionNeeded = 10;             // 1.0: stored data, no extras required
constexpr uint16_t versionMadeBy = (3 << 8) | 30;  // Unix, 3.0
constexpr uint32_t regularFile0644 = 0100644u << 16;
constexpr uint16_t extendedTimestampId = 0x5455;
constexpr uint16_t unixOwnerId = 0x7875;
constexpr uint8_t modifiedAndAccessed = 0x03;  // flags: both times present locally
constexpr size_t localHeaderFixedSize = 30;
constexpr size_t localExtraSize = 4 + 9 + 4 + 11;
constexpr size_t centralExtraSize = 4 + 5 + 4 + 11;

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
// through the extra field length.
void putCommonFields(std::string& out, const ZipMember& member, size_t extraSize) {
  DosDateTime stamp = dosDateTime(member.stamp.modified);
  put16(out, versionNeeded);
  put16(out, 0);  // general purpose flags
  put16(out, 0);  // method: stored
  put16(out, stamp.time);
  put16(out, stamp.date);
  put32(out, member.crc);
  put32(out, member.size);
  put32(out, member.size);
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

}  // namespace

uint64_t localHeaderSize(const std::string& name) {
  return localHeaderFixedSize + name.size() + localExtraSize;
}

std::string localHeader(const ZipMember& member) {
  std::string out;
  put32(out, localHeaderSignature);
  putCommonFields(out, member, localExtraSize);
  out += member.name;
  put16(out, extendedTimestampId);
  put16(out, 9);
  put8(out, modifiedAndAccessed);
  put32(out, unixTime(member.stamp.modified));
  put32(out, unixTime(member.stamp.accessed));
  putUnixOwner(out, member.stamp);
  return out;
}

std::string centralEntry(const ZipMember& member) {
  std::string out;
  put32(out, centralEntrySignature);
  put16(out, versionMadeBy);
  putCommonFields(out, member, centralExtraSize);
  put16(out, 0);  // comment length
  put16(out, 0);  // disk number start
  put16(out, 0);  // internal attributes
  put32(out, regularFile0644);
  put32(out, member.localHeaderOffset);
  out += member.name;
  // The central copy carries only the modification time, yet keeps the
  // flags saying which times the local header holds.
  put16(out, extendedTimestampId);
  put16(out, 5);
  put8(out, modifiedAndAccessed);
  put32(out, unixTime(member.stamp.modified));
  putUnixOwner(out, member.stamp);
  return out;
}

std::string endRecord(uint16_t entries, uint32_t directorySize, uint32_t directoryOffset) {
  std::string out;
  put32(out, endRecordSignature);
  put16(out, 0);  // this disk
  put16(out, 0);  // disk with the central directory
  put16(out, entries);
  put16(out, entries);
  put32(out, directorySize);
  put32(out, directoryOffset);
  put16(out, 0);  // comment length
  return out;
}

}  // namespace packer
