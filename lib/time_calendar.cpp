#include "lib/time_calendar.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <initializer_list>

namespace quevro {

namespace {

// Seconds of the first and last instants of the allowed years, with a day's margin on each side
// for zone offsets; anything beyond cannot become a time object and never reaches the C library.
constexpr int64_t EARLIEST_SECONDS = -2208988800 - 2 * SECONDS_PER_DAY;  // 1900-01-01 UTC
constexpr int64_t LATEST_SECONDS = 253402300800 + 2 * SECONDS_PER_DAY;   // 10000-01-01 UTC

void copy_zone(CivilTime* t, const char* name) {
  if (name == nullptr) name = "";
  std::strncpy(t->zone, name, sizeof t->zone - 1);
  t->zone[sizeof t->zone - 1] = '\0';
}

void set_utc_zone(CivilTime* t) {
  t->isdst = false;
  t->utc_offset = 0;
  copy_zone(t, "UTC");
}


bool same_wall_clock(const struct tm& a, const struct tm& b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
         a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

// mktime with the given daylight flag; false when the library cannot represent the result.
bool make_local(struct tm* tm, int isdst, int64_t* seconds) {
  tm->tm_isdst = isdst;
  errno = 0;
  time_t r = std::mktime(tm);
  if (r == static_cast<time_t>(-1) && errno != 0) return false;
  *seconds = static_cast<int64_t>(r);
  return true;
}

// The offset east of UTC of the local time at the instant, and its daylight flag.
bool zone_at(int64_t seconds, long* offset, bool* isdst = nullptr) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr) return false;
  *offset = tm.tm_gmtoff;
  if (isdst) *isdst = tm.tm_isdst > 0;
  return true;
}

// The C library's own conversion, for what the offsets around a time do not settle.
bool compose_with_library(const CivilTime& t, int64_t* seconds) {
  const struct tm wanted = wall_clock_of(t);
  int preferred = t.isdst ? 1 : 0;
  for (int isdst : {preferred, 1 - preferred}) {
    struct tm tm = wanted;
    // mktime rewrites tm as the local time of its result: equal fields with the asked flag mean
    // the wall clock time exists with that flag.
    if (make_local(&tm, isdst, seconds) && tm.tm_isdst == isdst && same_wall_clock(tm, wanted)) return true;
  }
  struct tm tm = wanted;
  return make_local(&tm, -1, seconds);
}

// The instants whose local time is the wall clock time `wall` (read as UTC) under one of the
// offsets: a candidate holds when the offset at its own instant is the one it assumed. Returns
// how many hold (two in the hour repeated when the offset goes back, none in the skipped one).
int instants_of_wall_clock(int64_t wall, const long offsets[2], int64_t instants[2], bool isdst[2]) {
  int found = 0;
  for (int i = 0; i < 2; ++i) {
    if (i == 1 && offsets[1] == offsets[0]) break;
    long offset;
    if (zone_at(wall - offsets[i], &offset, &isdst[found]) && offset == offsets[i]) instants[found++] = wall - offsets[i];
  }
  return found;
}

// The offsets a day before and a day after the wall clock time give the candidates, as zones
// change their offset at most once within two days. This needs no mktime, which looks at the
// zone file again on every call.
bool compose_local(const CivilTime& t, int64_t* seconds) {
  int64_t wall;
  compose(t, true, &wall);
  long offsets[2];
  if (!zone_at(wall - SECONDS_PER_DAY, &offsets[0]) || !zone_at(wall + SECONDS_PER_DAY, &offsets[1]))
    return compose_with_library(t, seconds);
  int64_t instants[2];
  bool isdst[2];
  switch (instants_of_wall_clock(wall, offsets, instants, isdst)) {
    case 2: *seconds = isdst[1] == t.isdst && isdst[0] != t.isdst ? instants[1] : instants[0]; return true;
    case 1: *seconds = instants[0]; return true;
    default:
      if (offsets[0] == offsets[1]) return compose_with_library(t, seconds);
      // The skipped hour: moved on by the length of the gap, as the C library does.
      *seconds = wall - offsets[0];
      return true;
  }
}

bool break_down_local(int64_t seconds, CivilTime* out) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr) return false;
  int64_t year = int64_t{tm.tm_year} + 1900;
  if (year < MIN_YEAR || year > MAX_YEAR) return false;
  out->year = static_cast<int>(year);
  out->month = tm.tm_mon + 1;
  out->day = tm.tm_mday;
  out->hour = tm.tm_hour;
  out->minute = tm.tm_min;
  // A leap second in the zone data shows as second 60; time objects have none.
  out->second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  out->dayofweek = tm.tm_wday;
  out->isdst = tm.tm_isdst > 0;
  out->utc_offset = tm.tm_gmtoff;
  copy_zone(out, tm.tm_zone);
  return true;
}

}  // namespace

struct tm wall_clock_of(const CivilTime& t) {
  struct tm tm {};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  return tm;
}

int days_in_month(int64_t year, int month) {
  static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 31;
  return month == 2 && is_leap_year(year) ? 29 : lengths[month - 1];
}

int64_t days_from_civil(int64_t year, int month, int64_t day) {
  int64_t m = month - 1;
  year += floor_div(m, 12);
  m -= floor_div(m, 12) * 12;  // 0 is January
  // Years counted from March, so that the leap day ends a year.
  int64_t y = m < 2 ? year - 1 : year;
  int64_t era = floor_div(y, 400);
  int64_t year_of_era = y - era * 400;
  int64_t month_from_march = m < 2 ? m + 10 : m - 2;
  int64_t day_of_year = (153 * month_from_march + 2) / 5 + day - 1;
  int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

void civil_from_days(int64_t days, int64_t* year, int* month, int* day) {
  int64_t z = days + 719468;
  int64_t era = floor_div(z, 146097);
  int64_t day_of_era = z - era * 146097;
  int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  int64_t month_from_march = (5 * day_of_year + 2) / 153;
  *day = static_cast<int>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  *month = static_cast<int>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
  *year = year_of_era + era * 400 + (*month <= 2 ? 1 : 0);
}

int weekday_of(int year, int month, int day) { return weekday_of_days(days_from_civil(year, month, day)); }

int day_of_year(int year, int month, int day) {
  return static_cast<int>(days_from_civil(year, month, day) - days_from_civil(year, 1, 1));
}

bool break_down(int64_t seconds, bool utc, CivilTime* out) {
  if (seconds < EARLIEST_SECONDS || seconds > LATEST_SECONDS) return false;
  if (!utc) return break_down_local(seconds, out);
  int64_t days = floor_div(seconds, SECONDS_PER_DAY);
  int64_t rest = seconds - days * SECONDS_PER_DAY;
  int64_t year;
  civil_from_days(days, &year, &out->month, &out->day);
  if (year < MIN_YEAR || year > MAX_YEAR) return false;
  out->year = static_cast<int>(year);
  out->hour = static_cast<int>(rest / 3600);
  out->minute = static_cast<int>(rest / 60 % 60);
  out->second = static_cast<int>(rest % 60);
  out->dayofweek = weekday_of_days(days);
  set_utc_zone(out);
  return true;
}

bool compose(const CivilTime& t, bool utc, int64_t* seconds) {
  if (!utc) return compose_local(t, seconds);
  *seconds = days_from_civil(t.year, t.month, t.day) * SECONDS_PER_DAY + int64_t{t.hour} * 3600 +
             int64_t{t.minute} * 60 + t.second;
  return true;
}

void resolve_zone(CivilTime* t, bool utc) {
  int64_t seconds;
  CivilTime local;
  if (utc || !compose(*t, false, &seconds) || !break_down_local(seconds, &local)) {
    if (utc) set_utc_zone(t);
    return;
  }
  t->isdst = local.isdst;
  t->utc_offset = local.utc_offset;
  std::memcpy(t->zone, local.zone, sizeof t->zone);
}

}  // namespace quevro
