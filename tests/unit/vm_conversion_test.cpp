#include <cmath>
#include <string>

#include "vm_support.h"
#include "vm/number.h"

namespace quevro::test {
namespace {

struct Converted {
  bool ok;
  double value;
};

Converted convert(const std::string& s) {
  double v = -12345.678;
  bool ok = string_to_number(s.data(), s.size(), &v);
  return {ok, v};
}

void expect_number(const std::string& text, double expected) {
  Converted c = convert(text);
  EXPECT_TRUE(c.ok) << '"' << text << '"';
  if (c.ok) {
    EXPECT_EQ(c.value, expected) << '"' << text << '"';
  }
}

void expect_failure(const std::string& text) { EXPECT_FALSE(convert(text).ok) << '"' << text << '"'; }

TEST(StringToNumber, DecimalForms) {
  expect_number("12", 12);
  expect_number("  12  ", 12);
  expect_number("\t12\n", 12);
  expect_number("-3.5", -3.5);
  expect_number("+4", 4);
  expect_number("1e3", 1000);
  expect_number("2.5E-1", 0.25);
  expect_number(".5", 0.5);
  expect_number("5.", 5);
  expect_number("007", 7);
}

TEST(StringToNumber, HexadecimalIntegers) {
  expect_number("0x10", 16);
  expect_number("0X1f", 31);
  expect_number("0xFFFFFFFF", 4294967295.0);
  expect_number("0x10  ", 16);
  expect_failure("0x10g");
}

TEST(StringToNumber, RadixForms) {
  expect_number("8#17", 15);
  expect_number("16#FF", 255);
  expect_number("2#101", 5);
  expect_number("36#z", 35);
  expect_number("16#ff ", 255);
  expect_failure("1#5");   // base 1: reads 1, then fails on the '#'
  expect_failure("37#1");  // base out of range
  expect_failure("2#102");  // a digit beyond the base is left over
}

TEST(StringToNumber, EmptyAndBlankAreZero) {
  expect_number("", 0);
  expect_number("   ", 0);
  expect_number(" \t\r\n", 0);
}

TEST(StringToNumber, TrailingGarbageFails) {
  expect_failure("12a");
  expect_failure("a12");
  expect_failure("1 2");
  expect_failure("x");
  expect_failure("1.2.3");
  expect_failure(std::string("12\0", 3));  // an embedded zero is trailing garbage
}

using ConversionTest = VmTest;

// Which numbers count as 32-bit integers (table keys, array indices): the limits are exact, and
// values the truncating conversion cannot hold must not pass as INT32_MIN.
TEST(IntegralNumbers, ThirtyTwoBitRangeIsExact) {
  int32_t k = 0;
  EXPECT_TRUE(number_is_int32(-2147483648.0, &k));
  EXPECT_EQ(k, INT32_MIN);
  EXPECT_TRUE(number_is_int32(2147483647.0, &k));
  EXPECT_EQ(k, INT32_MAX);
  EXPECT_TRUE(number_is_int32(-0.0, &k));
  EXPECT_EQ(k, 0);
  EXPECT_FALSE(number_is_int32(2147483648.0, &k));
  EXPECT_FALSE(number_is_int32(-2147483649.0, &k));
  EXPECT_FALSE(number_is_int32(4294967296.0 + 5, &k));  // wraps to 5 in a 32-bit register
  EXPECT_FALSE(number_is_int32(1.5, &k));
  EXPECT_FALSE(number_is_int32(-0.5, &k));
  EXPECT_FALSE(number_is_int32(std::nan(""), &k));
  EXPECT_FALSE(number_is_int32(HUGE_VAL, &k));
  EXPECT_FALSE(number_is_int32(-HUGE_VAL, &k));
}

TEST_F(ConversionTest, ToIntegerRoundsHalfToEvenAndWraps) {
  double inputs[] = {2.5, 3.5, -2.5, 0.5, 1.5, -0.5, 2.4999, 4294967296.0 + 7, 2147483648.0, -2147483649.0, 1e10};
  int32_t expected[] = {2, 4, -2, 0, 2, 0, 2, 7, INT32_MIN, INT32_MAX, 1410065408};
  for (size_t i = 0; i < sizeof inputs / sizeof inputs[0]; ++i) {
    push_number(L, inputs[i]);
    EXPECT_EQ(to_integer(L, -1), expected[i]) << inputs[i];
    pop(L, 1);
  }
}

TEST_F(ConversionTest, ToIntegerAndToNumberConvertStrings) {
  push_string(L, "7.5");
  push_string(L, "0x20");
  push_string(L, "nope");
  push(L, tab());
  EXPECT_EQ(to_integer(L, 1), 8);
  EXPECT_EQ(to_number(L, 1), 7.5);
  EXPECT_EQ(to_integer(L, 2), 32);
  EXPECT_EQ(to_number(L, 3), 0);
  EXPECT_EQ(to_integer(L, 3), 0);
  EXPECT_EQ(to_number(L, 4), 0);
  EXPECT_EQ(to_integer(L, 9), 0);  // absent
  // The string itself stays a string.
  EXPECT_EQ(type_of(L, 1), static_cast<int>(TAG_STRING));
}

TEST_F(ConversionTest, NumberToStringUsesFourteenSignificantDigits) {
  struct Case {
    double n;
    const char* text;
  } cases[] = {{3, "3"},          {-0.5, "-0.5"},          {0.1, "0.1"},         {1e15, "1e+15"},
               {123456789012345678.0, "1.2345678901235e+17"}, {1.0 / 3, "0.33333333333333"},
               {100000000000000, "1e+14"}, {99999999999999, "99999999999999"}, {-0.0, "-0"}};
  for (const Case& c : cases) {
    push_number(L, c.n);
    size_t len = 0;
    const char* s = to_lstring(L, -1, &len);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s, len), c.text);
    // The slot now holds the string.
    EXPECT_EQ(type_of(L, -1), static_cast<int>(TAG_STRING));
    pop(L, 1);
  }
}

TEST_F(ConversionTest, ToLstringOfOtherTypesIsNone) {
  push(L, tab());
  push_boolean(L, true);
  push_null(L);
  size_t len = 99;
  EXPECT_EQ(to_lstring(L, 1, &len), nullptr);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(to_lstring(L, 2, nullptr), nullptr);
  EXPECT_EQ(to_lstring(L, 3, nullptr), nullptr);
  EXPECT_EQ(to_lstring(L, 7, nullptr), nullptr);
}

TEST_F(ConversionTest, LengthOfEachKind) {
  push_string(L, "hello");
  push_number(L, 12.25);  // "12.25"
  TableObject* t = new_tab();
  for (int i = 1; i <= 3; ++i) set_at(t, i, num(i));
  push(L, make_object(t));
  new_cdata(L, 24);
  push_boolean(L, true);
  EXPECT_EQ(length_of(L, 1), 5u);
  EXPECT_EQ(length_of(L, 2), 5u);
  EXPECT_EQ(length_of(L, 3), 3u);
  EXPECT_EQ(length_of(L, 4), 24u);
  EXPECT_EQ(length_of(L, 5), 0u);
  EXPECT_EQ(length_of(L, 9), 0u);
}

TEST_F(ConversionTest, ToUtf16ReplacesNarrowStringBySlotsWideForm) {
  push_string(L, "h\xC3\xA9");  // h, e-acute
  const char16_t* w = to_utf16(L, 1);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w[0], u'h');
  EXPECT_EQ(w[1], char16_t{0xE9});
  EXPECT_EQ(w[2], u'\0');
  EXPECT_NE(string_flags(L, 1) & STR_WIDE, 0);
  EXPECT_EQ(length_of(L, 1), 4u);
  // A wide string is returned as is.
  const char16_t* again = to_utf16(L, 1);
  EXPECT_EQ(again, w);
  push_number(L, 42);
  const char16_t* n = to_utf16(L, 2);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(std::u16string(n), u"42");
  push(L, tab());
  EXPECT_EQ(to_utf16(L, 3), nullptr);
}

}  // namespace
}  // namespace quevro::test
