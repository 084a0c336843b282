// The automation date (DATE): a double counting days from midnight of 1899-12-30. The whole
// part is the day and the fraction the time of day; before that midnight the whole part counts
// back while the fraction still counts forward in magnitude, so -1.25 is 1899-12-29 06:00.
// Dates run from year 100 to year 9999; times are kept to the second, as Windows does.
#pragma once

#include "com/variant.h"

namespace quevro::com {

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// The first and the last day; every time of both days is in range, and before the epoch the
// times of a day lie below its number (-657434.5 is noon of 0100-01-01).
inline constexpr DATE earliest_date = -657434.0;  // 0100-01-01
inline constexpr DATE latest_date = 2958465.0;    // 9999-12-31

// The fields of an automation date, rounded to the nearest second (milliseconds are 0). False
// for NaN and dates outside the range.
bool VariantTimeToSystemTime(DATE date, SYSTEMTIME* out);
// The automation date of the fields (milliseconds and the weekday are ignored). False when a
// field is out of its range.
bool SystemTimeToVariantTime(const SYSTEMTIME* time, DATE* out);

// Days from 1899-12-30 to the given day of the proleptic Gregorian calendar.
int64_t ole_day_number(int year, int month, int day);
bool is_valid_ole_date(DATE date);

}  // namespace quevro::com
