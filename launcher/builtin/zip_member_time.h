// The times a member's file gets, read as Info-ZIP's unzip reads them on
// Unix: from the Unix time blocks of the member's local extra field, else
// from its MS-DOS date and time, which is local time.
#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>

struct MemberTimes {
  time_t modified = 0;
  time_t accessed = 0;
};

// The extended timestamp (or an older Unix block) of `localExtraField` gives
// the times; one whose 32-bit time has the high bit set counts only when
// the MS-DOS time says 2038-01-18 or later (a time after 2038, unsigned),
// and is ignored otherwise. Without them `dosDateTime` (date in the high 16
// bits) gives both.
MemberTimes memberTimes(std::string_view localExtraField, uint32_t dosDateTime);
