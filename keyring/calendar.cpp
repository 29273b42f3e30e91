// calendar.cpp -- time stamp to CalendarTime and back.
#include "keyring/calendar.h"

namespace orvak {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kDaysPerFourYears = 4 * 365 + 1;
// Days before each month in a common year.
constexpr int32_t kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

bool isLeap(int64_t yearsSince1900) { return yearsSince1900 % 4 == 0; }

}  // namespace

CalendarTime timeToCalendar(uint32_t timestamp) {
  CalendarTime t{};
  int64_t days = timestamp / kSecondsPerDay;
  const int64_t rest = timestamp % kSecondsPerDay;
  t.hour = static_cast<int32_t>(rest / 3600);
  t.minute = static_cast<int32_t>(rest % 3600 / 60);
  t.second = static_cast<int32_t>(rest % 60);

  // Four-year cycles from 1970: 1970, 1971 common, 1972 leap, 1973 common.
  int64_t year = 70 + 4 * (days / kDaysPerFourYears);
  days %= kDaysPerFourYears;
  for (;;) {
    const int64_t length = isLeap(year) ? 366 : 365;
    if (days < length) break;
    days -= length;
    ++year;
  }
  int32_t month = 12;
  while (month > 1) {
    int64_t before = kDaysBeforeMonth[month - 1];
    if (month >= 3 && isLeap(year)) ++before;
    if (days >= before) {
      days -= before;
      break;
    }
    --month;
  }
  t.year = static_cast<int32_t>(year);
  t.month = month;
  t.day = static_cast<int32_t>(days + 1);
  return t;
}

uint32_t calendarToTime(const CalendarTime& time) {
  // Carry a month outside 1..12 into the year, so the table is never indexed outside.
  int64_t year = time.year;
  int64_t monthIndex = static_cast<int64_t>(time.month) - 1;
  year += monthIndex / 12;
  monthIndex %= 12;
  if (monthIndex < 0) {
    monthIndex += 12;
    year -= 1;
  }
  if (year < 70) return 0;
  const int64_t y = year - 70;
  int64_t days = 365 * y + (y + 1) / 4 + kDaysBeforeMonth[monthIndex] + (static_cast<int64_t>(time.day) - 1);
  if (isLeap(year) && monthIndex >= 2) ++days;
  const int64_t seconds = kSecondsPerDay * days + 3600 * static_cast<int64_t>(time.hour) +
                          60 * static_cast<int64_t>(time.minute) + time.second;
  return static_cast<uint32_t>(static_cast<uint64_t>(seconds));
}

}  // namespace orvak
