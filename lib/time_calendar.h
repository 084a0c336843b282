// Calendar times and their conversion to and from seconds since 1970-01-01 00:00:00 UTC, either
// as UTC or as local time of the system's zone database (the TZ variable is honoured).
#pragma once

#include <cstdint>
#include <ctime>

namespace quevro {

// The years a time object may hold; outside them a time cannot be computed.
constexpr int MIN_YEAR = 1900;
constexpr int MAX_YEAR = 9999;

constexpr int64_t SECONDS_PER_DAY = 86400;

struct CivilTime {
  int year = 1970;
  int month = 1;  // 1 to 12
  int day = 1;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;
  int dayofweek = 4;  // 0 is Sunday
  bool isdst = false;
  long utc_offset = 0;  // seconds east of UTC of the zone in effect
  char zone[16] = "UTC";  // the zone's abbreviation
};

// Division rounding toward negative infinity (for instants before 1970).
inline int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

inline bool is_leap_year(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }
int days_in_month(int64_t year, int month);

// Days since 1970-01-01 of a proleptic Gregorian date; month and day may lie outside their
// ranges (they carry into the next month and year like the C library's normalisation).
int64_t days_from_civil(int64_t year, int month, int64_t day);
void civil_from_days(int64_t days, int64_t* year, int* month, int* day);
inline int weekday_of_days(int64_t days) { return static_cast<int>(((days % 7) + 11) % 7); }
int weekday_of(int year, int month, int day);
int day_of_year(int year, int month, int day);  // 0 for January 1

// The C library's broken-down form of the date and wall-clock time (other fields zero).
struct tm wall_clock_of(const CivilTime& t);

// Fields from seconds, as UTC or local time; false when the result lies outside MIN_YEAR to
// MAX_YEAR or the zone database cannot compute it.
bool break_down(int64_t seconds, bool utc, CivilTime* out);

// Seconds from the date and time fields (milliseconds aside), as UTC or local time. A local wall
// clock time that occurs twice (the hour repeated when daylight time ends) is taken as the
// daylight one only when isdst says so; one that does not occur (skipped when daylight time
// begins) moves forward like the C library's normalisation.
bool compose(const CivilTime& t, bool utc, int64_t* seconds);

// Fills the zone fields (isdst, offset, abbreviation) of t for the instant its fields name.
void resolve_zone(CivilTime* t, bool utc);

}  // namespace quevro
