#include "com/ole_date.h"

#include <cmath>

namespace quevro::com {

namespace {

// Days from 1970-01-01 to y-m-d (proleptic Gregorian), the era-based method that needs no
// tables and is exact for every year.
int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t* year, int* month, int* day) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (*month <= 2);
}

const int64_t epoch_offset = days_from_civil(1899, 12, 30);

int days_in_month(int year, int month) {
  static constexpr int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : lengths[month - 1];
}

}  // namespace

int64_t ole_day_number(int year, int month, int day) {
  return days_from_civil(year, month, day) - epoch_offset;
}

bool is_valid_ole_date(DATE date) {
  return !std::isnan(date) && date > earliest_date - 1.0 && date < latest_date + 1.0;
}

bool VariantTimeToSystemTime(DATE date, SYSTEMTIME* out) {
  if (!out || !is_valid_ole_date(date)) return false;
  double whole = std::trunc(date);
  int64_t day = static_cast<int64_t>(whole);
  int64_t seconds = std::llround(std::fabs(date - whole) * 86400.0);
  // Before the epoch the time still counts forward from the start of the day named by the
  // whole part (day -1 with fraction .25 is 06:00 of 1899-12-29), so a time rounded up to
  // midnight always moves to the following day.
  if (seconds >= 86400) {
    seconds -= 86400;
    day += 1;
  }
  int64_t year;
  int month, mday;
  civil_from_days(day + epoch_offset, &year, &month, &mday);
  if (year > 9999 || year < 100) return false;
  int64_t weekday = (day + epoch_offset + 4) % 7;  // 1970-01-01 was a Thursday
  if (weekday < 0) weekday += 7;
  out->wYear = static_cast<WORD>(year);
  out->wMonth = static_cast<WORD>(month);
  out->wDayOfWeek = static_cast<WORD>(weekday);
  out->wDay = static_cast<WORD>(mday);
  out->wHour = static_cast<WORD>(seconds / 3600);
  out->wMinute = static_cast<WORD>(seconds / 60 % 60);
  out->wSecond = static_cast<WORD>(seconds % 60);
  out->wMilliseconds = 0;
  return true;
}

bool SystemTimeToVariantTime(const SYSTEMTIME* time, DATE* out) {
  if (!time || !out) return false;
  const SYSTEMTIME& t = *time;
  if (t.wYear < 100 || t.wYear > 9999 || t.wMonth < 1 || t.wMonth > 12) return false;
  if (t.wDay < 1 || t.wDay > days_in_month(t.wYear, t.wMonth)) return false;
  if (t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59) return false;
  int64_t day = ole_day_number(t.wYear, t.wMonth, t.wDay);
  double fraction = (t.wHour * 3600.0 + t.wMinute * 60.0 + t.wSecond) / 86400.0;
  // Before the epoch the fraction is stored with the day's sign: -1.25 is day -1 at 06:00.
  *out = day < 0 ? static_cast<double>(day) - fraction : static_cast<double>(day) + fraction;
  return true;
}

}  // namespace quevro::com
