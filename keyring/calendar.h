// calendar.h -- conversion between the key ring's 32-bit time stamp and CalendarTime.
//
// The calendar starts in 1970 and counts every year divisible by 4 as a leap
// year (2100 included), so it is Gregorian up to 28 February 2100 and one day
// early from there on. The two conversions are exact inverses over every
// 32-bit time stamp.
#pragma once

#include <cstdint>

#include "keyring/orvak32.h"

namespace orvak {

CalendarTime timeToCalendar(uint32_t timestamp);

// A year below 70 gives 0. A month outside 1 to 12 is carried into the year
// (month 13 of 1999 is January 2000, month 0 December of the year before);
// other fields are taken as they stand; the result is taken modulo 2^32.
uint32_t calendarToTime(const CalendarTime& time);

}  // namespace orvak
