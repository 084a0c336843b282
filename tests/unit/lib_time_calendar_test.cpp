#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "lib/time_calendar.h"

namespace quevro {
namespace {

// Walks every day a time may hold, one day at a time by the plain rules of the calendar, and
// checks the day numbers and weekdays against it.
TEST(TimeCalendar, EveryDayFrom1900To9999MapsToItsNumberAndBack) {
  int year = 1900, month = 1, day = 1, weekday = 1;  // 1900-01-01 was a Monday
  int64_t number = days_from_civil(year, month, day);
  EXPECT_EQ(number, -25567);
  int mismatches = 0;
  while (year <= MAX_YEAR) {
    int64_t y;
    int m, d;
    civil_from_days(number, &y, &m, &d);
    if (days_from_civil(year, month, day) != number || y != year || m != month || d != day ||
        weekday_of_days(number) != weekday)
      ++mismatches;
    if (++day > days_in_month(year, month)) {
      day = 1;
      if (++month > 12) {
        month = 1;
        ++year;
      }
    }
    weekday = (weekday + 1) % 7;
    ++number;
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(number, days_from_civil(10000, 1, 1));
}

TEST(TimeCalendar, LeapYearsAndMonthLengths) {
  EXPECT_TRUE(is_leap_year(2024));
  EXPECT_TRUE(is_leap_year(2000));
  EXPECT_FALSE(is_leap_year(1900));
  EXPECT_FALSE(is_leap_year(2100));
  EXPECT_FALSE(is_leap_year(2023));
  EXPECT_EQ(days_in_month(2024, 2), 29);
  EXPECT_EQ(days_in_month(2023, 2), 28);
  EXPECT_EQ(days_in_month(2000, 2), 29);
  EXPECT_EQ(days_in_month(1900, 2), 28);
  EXPECT_EQ(days_in_month(2023, 4), 30);
  EXPECT_EQ(days_in_month(2023, 12), 31);
}

TEST(TimeCalendar, MonthsAndDaysOutsideTheirRangesCarry) {
  EXPECT_EQ(days_from_civil(2024, 13, 1), days_from_civil(2025, 1, 1));
  EXPECT_EQ(days_from_civil(2024, 0, 31), days_from_civil(2023, 12, 31));
  EXPECT_EQ(days_from_civil(2024, -11, 1), days_from_civil(2023, 1, 1));
  EXPECT_EQ(days_from_civil(2023, 2, 31), days_from_civil(2023, 3, 3));
  EXPECT_EQ(days_from_civil(2024, 3, 0), days_from_civil(2024, 2, 29));
  EXPECT_EQ(day_of_year(2024, 12, 31), 365);
  EXPECT_EQ(day_of_year(2023, 12, 31), 364);
  EXPECT_EQ(day_of_year(2024, 3, 1), 60);
}

TEST(TimeCalendar, UtcSecondsBreakDownAndComposeWithinTheAllowedYears) {
  for (int64_t s : {int64_t{0}, int64_t{-1}, int64_t{951782400}, int64_t{-2208988800}, int64_t{253402300799},
                    int64_t{1709211909}}) {
    CivilTime t;
    ASSERT_TRUE(break_down(s, true, &t)) << s;
    int64_t back;
    ASSERT_TRUE(compose(t, true, &back));
    EXPECT_EQ(back, s);
    EXPECT_FALSE(t.isdst);
    EXPECT_STREQ(t.zone, "UTC");
  }
  CivilTime t;
  ASSERT_TRUE(break_down(-1, true, &t));
  EXPECT_EQ(t.year, 1969);
  EXPECT_EQ(t.second, 59);
  EXPECT_EQ(t.dayofweek, 3);
  EXPECT_FALSE(break_down(-2208988801, true, &t));
  EXPECT_FALSE(break_down(253402300800, true, &t));
  EXPECT_FALSE(break_down(INT64_MAX, false, &t));
  EXPECT_FALSE(break_down(INT64_MIN, false, &t));
}

// Local time in a zone with daylight saving time; the zone is restored afterwards.
class LocalTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* zone = std::getenv("TZ");
    had_zone_ = zone != nullptr;
    if (had_zone_) saved_zone_ = zone;
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  void TearDown() override {
    if (had_zone_)
      setenv("TZ", saved_zone_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

  static CivilTime wall(int year, int month, int day, int hour, int minute, bool isdst = false) {
    CivilTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = 0;
    t.isdst = isdst;
    return t;
  }

 private:
  bool had_zone_ = false;
  std::string saved_zone_;
};

TEST_F(LocalTimeTest, SummerAndWinterOffsets) {
  int64_t s;
  ASSERT_TRUE(compose(wall(2024, 1, 15, 12, 0), false, &s));
  EXPECT_EQ(s, 1705316400);  // 11:00 UTC
  ASSERT_TRUE(compose(wall(2024, 7, 15, 12, 0), false, &s));
  EXPECT_EQ(s, 1721037600);  // 10:00 UTC
  CivilTime t;
  ASSERT_TRUE(break_down(1721037600, false, &t));
  EXPECT_EQ(t.hour, 12);
  EXPECT_TRUE(t.isdst);
  EXPECT_EQ(t.utc_offset, 7200);
  EXPECT_STREQ(t.zone, "CEST");
}

TEST_F(LocalTimeTest, TheSkippedHourMovesForwardAndTheRepeatedHourFollowsIsdst) {
  int64_t s;
  ASSERT_TRUE(compose(wall(2024, 3, 31, 2, 30), false, &s));
  EXPECT_EQ(s, 1711848600);  // 01:30 UTC, shown as 03:30 summer time
  ASSERT_TRUE(compose(wall(2024, 10, 27, 2, 30), false, &s));
  EXPECT_EQ(s, 1729992600);  // the second 02:30, standard time
  ASSERT_TRUE(compose(wall(2024, 10, 27, 2, 30, true), false, &s));
  EXPECT_EQ(s, 1729989000);  // the first 02:30, summer time
  ASSERT_TRUE(compose(wall(2024, 10, 27, 1, 30, false), false, &s));
  EXPECT_EQ(s, 1729985400);  // 01:30 occurs once, in summer time, whatever isdst says
}

TEST_F(LocalTimeTest, EveryQuarterHourOfAYearRoundTrips) {
  int mismatches = 0;
  for (int64_t s = 1704067200; s < 1735689600; s += 900) {
    CivilTime t;
    int64_t back;
    if (!break_down(s, false, &t) || !compose(t, false, &back) || back != s) ++mismatches;
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace quevro
