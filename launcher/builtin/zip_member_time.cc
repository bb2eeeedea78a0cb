#include "launcher/builtin/zip_member_time.h"

#include "launcher/builtin/zip_extra_field.h"
#include "launcher/builtin/zip_format.h"

using namespace zipformat;

namespace {

constexpr uint32_t dosTime2038 = 0x74320000;  // 2038-01-18 00:00:00
constexpr unsigned modifiedFlag = 1 << 0, accessedFlag = 1 << 1;

// Days before each month of a common year; what unzip adds for the months
// out of range, by the table it reads them from.
int daysBeforeMonth(int month) {
  static constexpr int table[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};
  return month >= 1 && month <= 13 ? table[month - 1] : 0;
}

bool isLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

// Days from 1970-01-01 to the first day of `year`.
int64_t daysBeforeYear(int year) {
  int64_t y = year - 1;
  return 365 * (y - 1969) + (y / 4 - 492) - (y / 100 - 19) + (y / 400 - 4);
}

// What the time blocks say, in the order unzip reads them: the last
// extended timestamp wins, and an older Unix block counts only before any
// newer one.
struct TimeBlocks {
  unsigned flags = 0;
  bool newType = false;
  bool unsignedHighBit = false;  // a time with the high bit set is one after 2038
  MemberTimes times;
};

// A 32-bit time; false when its high bit is set and the MS-DOS time does not
// say it lies after 2038.
bool takeTime(uint32_t raw, bool unsignedHighBit, time_t* time) {
  if ((raw & 0x80000000u) != 0 && !unsignedHighBit) return false;
  *time = static_cast<time_t>(raw);
  return true;
}

void readExtendedTimestamp(std::string_view data, uint32_t dosDateTime, TimeBlocks* blocks) {
  blocks->flags &= ~0xffu;
  blocks->newType = true;
  if (data.empty()) return;
  auto bytes = reinterpret_cast<const unsigned char*>(data.data());
  blocks->flags |= bytes[0];
  size_t at = 1;
  if (blocks->flags & modifiedFlag) {
    if (at + 4 > data.size()) {
      blocks->flags &= ~modifiedFlag;
    } else {
      uint32_t raw = little32(bytes + at);
      at += 4;
      blocks->unsignedHighBit = (raw & 0x80000000u) != 0 && dosDateTime >= dosTime2038;
      if (!takeTime(raw, blocks->unsignedHighBit, &blocks->times.modified)) {
        blocks->flags &= ~0xffu;  // the sign is unknown: the block tells nothing
        return;
      }
    }
  }
  if (blocks->flags & accessedFlag) {
    if (at + 4 > data.size() ||
        !takeTime(little32(bytes + at), blocks->unsignedHighBit, &blocks->times.accessed))
      blocks->flags &= ~accessedFlag;
  }
}

// Info-ZIP's first Unix block and PKWARE's: access time, then modification time.
void readOldUnixBlock(std::string_view data, uint32_t dosDateTime, TimeBlocks* blocks) {
  if (data.size() < 8 || blocks->newType) return;
  auto bytes = reinterpret_cast<const unsigned char*>(data.data());
  blocks->flags |= modifiedFlag | accessedFlag;
  uint32_t modified = little32(bytes + 4), accessed = little32(bytes);
  blocks->unsignedHighBit = (modified & 0x80000000u) != 0 && dosDateTime >= dosTime2038;
  blocks->times.modified = static_cast<time_t>(modified);
  if (!takeTime(modified, blocks->unsignedHighBit, &blocks->times.modified)) {
    blocks->flags &= ~0xffu;
    return;
  }
  if (!takeTime(accessed, blocks->unsignedHighBit, &blocks->times.accessed))
    blocks->flags &= ~accessedFlag;
}

// An MS-DOS date and time as the time it names in the local time zone. Out
// of range fields are taken as unzip takes them: hours, minutes and seconds
// simply add up; day 0 is the day before the 1st; months 0, 14 and 15 count
// as January and 13 as a month after December.
time_t dosTimeToUnix(uint32_t dosDateTime) {
  int year = static_cast<int>(dosDateTime >> 25 & 0x7f) + 1980;
  int month = static_cast<int>(dosDateTime >> 21 & 0x0f);
  int day = static_cast<int>(dosDateTime >> 16 & 0x1f);
  int64_t days = daysBeforeYear(year) + daysBeforeMonth(month) + day - 1;
  if (month > 2 && isLeapYear(year)) ++days;
  int64_t seconds = static_cast<int64_t>(dosDateTime >> 11 & 0x1f) * 3600 +
                    (dosDateTime >> 5 & 0x3f) * 60 + (dosDateTime & 0x1f) * 2;
  time_t local = static_cast<time_t>(days * 86400 + seconds);
  // From local standard time to UTC, then an hour less in summer time.
  tzset();
  time_t utc = local + timezone;
  struct tm broken;
  if (localtime_r(&utc, &broken) != nullptr && broken.tm_isdst > 0) utc -= 3600;
  return utc;
}

}  // namespace

MemberTimes memberTimes(std::string_view localExtraField, uint32_t dosDateTime) {
  TimeBlocks blocks;
  forEachExtraBlock(localExtraField, [&](uint16_t id, std::string_view data) {
    if (id == extendedTimestampId)
      readExtendedTimestamp(data, dosDateTime, &blocks);
    else if (id == infoZipUnix2Id || id == infoZipUnix3Id)
      blocks.newType = true;
    else if (id == infoZipUnixOldId || id == pkUnixExtraId)
      readOldUnixBlock(data, dosDateTime, &blocks);
  });
  MemberTimes times;
  times.modified = blocks.flags & modifiedFlag ? blocks.times.modified : dosTimeToUnix(dosDateTime);
  times.accessed = blocks.flags & accessedFlag ? blocks.times.accessed : times.modified;
  return times;
}
