#include <gtest/gtest.h>

#include <cmath>

#include "com/ole_date.h"

using namespace quevro::com;

namespace {

SYSTEMTIME fields(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0) {
  return SYSTEMTIME{y, mo, 0, d, h, mi, s, 0};
}

void expect_fields(DATE date, WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
  SYSTEMTIME t;
  ASSERT_TRUE(VariantTimeToSystemTime(date, &t)) << date;
  EXPECT_EQ(t.wYear, y) << date;
  EXPECT_EQ(t.wMonth, mo) << date;
  EXPECT_EQ(t.wDay, d) << date;
  EXPECT_EQ(t.wHour, h) << date;
  EXPECT_EQ(t.wMinute, mi) << date;
  EXPECT_EQ(t.wSecond, s) << date;
  EXPECT_EQ(t.wMilliseconds, 0) << date;
}

TEST(ComOleDate, DayZeroIsTheLastDaysOf1899) {
  expect_fields(0.0, 1899, 12, 30, 0, 0, 0);
  expect_fields(1.0, 1899, 12, 31, 0, 0, 0);
  expect_fields(2.0, 1900, 1, 1, 0, 0, 0);
  // 1900 is not a leap year: day 61 is March 1st.
  expect_fields(61.0, 1900, 3, 1, 0, 0, 0);
  expect_fields(36526.0, 2000, 1, 1, 0, 0, 0);
}

TEST(ComOleDate, FractionsAreTimesOfDay) {
  expect_fields(2.5, 1900, 1, 1, 12, 0, 0);
  expect_fields(36526.75, 2000, 1, 1, 18, 0, 0);
  expect_fields(0.25 + 1.0 / 86400, 1899, 12, 30, 6, 0, 1);
  // Rounded to the second, up into the next day when it must.
  expect_fields(1.0 - 0.1 / 86400, 1899, 12, 31, 0, 0, 0);
}

TEST(ComOleDate, NegativeDatesCountBackWithForwardTimes) {
  expect_fields(-1.0, 1899, 12, 29, 0, 0, 0);
  expect_fields(-1.25, 1899, 12, 29, 6, 0, 0);
  expect_fields(-0.5, 1899, 12, 30, 12, 0, 0);
  expect_fields(-2.75, 1899, 12, 28, 18, 0, 0);
  // 23:59:59.9 of 1899-12-29 rounds forward to the midnight after it.
  expect_fields(-1.0 - (1.0 - 0.1 / 86400), 1899, 12, 30, 0, 0, 0);
  DATE d;
  SYSTEMTIME t = fields(1899, 12, 29, 6);
  ASSERT_TRUE(SystemTimeToVariantTime(&t, &d));
  EXPECT_EQ(d, -1.25);
}

TEST(ComOleDate, WeekdaysFollowTheCalendar) {
  SYSTEMTIME t;
  ASSERT_TRUE(VariantTimeToSystemTime(0.0, &t));
  EXPECT_EQ(t.wDayOfWeek, 6);  // 1899-12-30 was a Saturday
  ASSERT_TRUE(VariantTimeToSystemTime(36526.0, &t));
  EXPECT_EQ(t.wDayOfWeek, 6);  // so was 2000-01-01
  ASSERT_TRUE(VariantTimeToSystemTime(-1.0, &t));
  EXPECT_EQ(t.wDayOfWeek, 5);
}

TEST(ComOleDate, RoundTripsOverTheWholeRange) {
  for (DATE day : {-657434.0, -500000.0, -1.0, 0.0, 59.0, 60.0, 43831.0, 2958465.0}) {
    for (double seconds : {0.0, 1.0, 43200.0, 86399.0}) {
      DATE date = day < 0 ? day - seconds / 86400 : day + seconds / 86400;
      SYSTEMTIME t;
      ASSERT_TRUE(VariantTimeToSystemTime(date, &t)) << date;
      DATE back;
      ASSERT_TRUE(SystemTimeToVariantTime(&t, &back)) << date;
      EXPECT_NEAR(back, date, 0.5 / 86400) << date;
    }
  }
}

TEST(ComOleDate, RejectsOutOfRangeValuesAndFields) {
  SYSTEMTIME t;
  EXPECT_FALSE(VariantTimeToSystemTime(-657435.0, &t));
  EXPECT_TRUE(VariantTimeToSystemTime(-657434.5, &t));  // noon of 0100-01-01
  EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &t));
  EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &t));
  EXPECT_FALSE(VariantTimeToSystemTime(std::nan(""), &t));
  EXPECT_FALSE(VariantTimeToSystemTime(1.0, nullptr));
  DATE d = 123;
  for (SYSTEMTIME bad : {fields(99, 1, 1), fields(10000, 1, 1), fields(2000, 0, 1), fields(2000, 13, 1),
                         fields(2001, 2, 29), fields(2000, 4, 31), fields(2000, 1, 0),
                         fields(2000, 1, 1, 24), fields(2000, 1, 1, 0, 60), fields(2000, 1, 1, 0, 0, 60)})
    EXPECT_FALSE(SystemTimeToVariantTime(&bad, &d));
  EXPECT_EQ(d, 123);
  SYSTEMTIME leap = fields(2000, 2, 29, 23, 59, 59);
  ASSERT_TRUE(SystemTimeToVariantTime(&leap, &d));
  EXPECT_EQ(ole_day_number(2000, 2, 29), 36585);
  EXPECT_DOUBLE_EQ(d, 36585 + 86399.0 / 86400);
}

}  // namespace
