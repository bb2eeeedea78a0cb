#include "tools/zip_records.h"

#include <time.h>

#include <concepts>

#include "launcher/builtin/zip_format.h"

namespace packer {
namespace {

using namespace zipformat;

constexpr uint16_t versionNeeded = 10;                  // 1.0: stored data
constexpr uint16_t zip64VersionNeeded = 45;             // 4.5: ZIP64 fields
constexpr uint16_t versionMadeBy = (3 << 8) | 30;       // Unix, 3.0
constexpr uint16_t zip64VersionMadeBy = (3 << 8) | 45;  // Unix, 4.5
// The ZIP64 end record's bytes after its own size field.
constexpr uint64_t zip64EndRecordRest = end64::size - end64::sizeFieldEnd;
constexpr uint32_t regularFile0644 = 0100644u << 16;
constexpr uint8_t modifiedAndAccessed = 0x03;  // the flags: both times in the local copy
constexpr uint16_t zero16 = 0;
constexpr uint32_t zero32 = 0;

// Each value little-endian, in its own width.
template <std::unsigned_integral... Values>
std::string bytes(Values... values) {
  std::string out;
  auto one = [&out](auto v) {
    for (size_t i = 0; i < sizeof v; ++i) out += static_cast<char>(v >> (8 * i));
  };
  (one(values), ...);
  return out;
}

// The plain field for `value`: the value when it fits and is not forced out,
// else the all-ones `marker` that sends readers to the ZIP64 record.
template <std::unsigned_integral Field>
Field plainField(uint64_t value, Field marker, bool forceZip64) {
  return forceZip64 || value >= marker ? marker : static_cast<Field>(value);
}

bool sizesNeedZip64(const ZipMember& m) { return m.forceZip64 || m.size >= fieldLimit; }
bool offsetNeedsZip64(const ZipMember& m) {
  return m.forceZip64 || m.localHeaderOffset >= fieldLimit;
}

// The ZIP64 extra field with the sizes that need it and, in the central
// entry, the offset; empty when nothing goes in it.
std::string zip64Extra(const ZipMember& member, bool central) {
  bool sizes = sizesNeedZip64(member), offset = central && offsetNeedsZip64(member);
  if (!sizes && !offset) return "";
  return bytes(zip64ExtraId, static_cast<uint16_t>(16 * sizes + 8 * offset)) +
         (sizes ? bytes(member.size, member.size) : "") +
         (offset ? bytes(member.localHeaderOffset) : "");
}

// The extended timestamp with 32-bit times (wrapping as Info-ZIP's do), the
// access time only in the local copy, and the Unix uid/gid extra with 4-byte
// ids, as zip 3.0 writes them.
std::string unixExtras(const ZipMember& member, bool local) {
  return bytes(extendedTimestampId, static_cast<uint16_t>(local ? 9 : 5), modifiedAndAccessed,
               static_cast<uint32_t>(member.modified)) +
         (local ? bytes(static_cast<uint32_t>(member.accessed)) : "") +
         bytes(infoZipUnix3Id, uint16_t{11}, uint8_t{1}, uint8_t{4}, member.uid, uint8_t{4},
               member.gid);
}

// The modification time as DOS's local time and date: truncated to its
// two-second step, so that the date, hour and minute are the file's own, and
// clamped to the years 1980-2107 that the format holds.
std::string dosTime(int64_t seconds) {
  time_t time = static_cast<time_t>(seconds);
  struct tm t {};
  if (localtime_r(&time, &t) == nullptr || t.tm_year < 80)
    return bytes(zero16, uint16_t{1 << 5 | 1});  // 1980-01-01 00:00:00
  if (t.tm_year > 207)                           // 2107-12-31 23:59:58
    return bytes(uint16_t{23 << 11 | 59 << 5 | 29}, uint16_t{127 << 9 | 12 << 5 | 31});
  return bytes(static_cast<uint16_t>(t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec / 2),
               static_cast<uint16_t>((t.tm_year - 80) << 9 | (t.tm_mon + 1) << 5 | t.tm_mday));
}

// The fields both headers share, from "version needed" to the extra length:
// no flags, stored.
std::string commonFields(const ZipMember& member, size_t extraSize) {
  bool zip64 = sizesNeedZip64(member) || offsetNeedsZip64(member);
  uint32_t size = plainField(member.size, fieldLimit, sizesNeedZip64(member));
  return bytes(zip64 ? zip64VersionNeeded : versionNeeded, zero16, zero16) +
         dosTime(member.modified) +
         bytes(member.crc, size, size, static_cast<uint16_t>(member.name.size()),
               static_cast<uint16_t>(extraSize));
}

}  // namespace

std::string localHeader(const ZipMember& member) {
  std::string extra = zip64Extra(member, false) + unixExtras(member, true);
  return bytes(localHeaderSignature) + commonFields(member, extra.size()) + member.name + extra;
}

std::string centralEntry(const ZipMember& member) {
  std::string extra = zip64Extra(member, true) + unixExtras(member, false);
  uint32_t offset = plainField(member.localHeaderOffset, fieldLimit, offsetNeedsZip64(member));
  // No comment, disk 0, no internal attributes.
  return bytes(centralEntrySignature, versionMadeBy) + commonFields(member, extra.size()) +
         bytes(zero16, zero16, zero16, regularFile0644, offset) + member.name + extra;
}

std::string directoryEnd(uint64_t entries, uint64_t size, uint64_t offset, bool forceZip64) {
  uint16_t plainEntries = plainField(entries, countLimit, forceZip64);
  uint32_t plainSize = plainField(size, fieldLimit, forceZip64);
  uint32_t plainOffset = plainField(offset, fieldLimit, forceZip64);
  std::string out;
  if (plainEntries == countLimit || plainSize == fieldLimit || plainOffset == fieldLimit)
    out = bytes(zip64EndRecordSignature, zip64EndRecordRest, zip64VersionMadeBy, zip64VersionNeeded,
                zero32, zero32, entries, entries, size, offset) +
          bytes(zip64LocatorSignature, zero32, offset + size, uint32_t{1});
  return out + bytes(endRecordSignature, zero16, zero16, plainEntries, plainEntries, plainSize,
                     plainOffset, zero16);
}

std::string crcField(uint32_t crc) { return bytes(crc); }

bool looksLikeZipArchive(std::string_view head, std::string_view tail) {
  std::string local = bytes(localHeaderSignature), end = bytes(endRecordSignature);
  bool emptyArchive = tail.size() == end::size && head.starts_with(end);
  if (tail.size() < end::size || !(head.starts_with(local) || emptyArchive)) return false;
  return tail.rfind(end, tail.size() - end::size) != std::string_view::npos;
}

}  // namespace packer
