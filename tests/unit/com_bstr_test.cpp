#include <gtest/gtest.h>

#include <cstring>

#include "com/bstr.h"

using namespace quevro::com;

namespace {

uint32_t prefix_of(BSTR text) {
  uint32_t length;
  std::memcpy(&length, reinterpret_cast<const char*>(text) - 4, 4);
  return length;
}

TEST(ComBstr, PrefixHoldsByteLengthAndTextEndsInZeroUnit) {
  BSTR text = SysAllocString(u"Hello");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(prefix_of(text), 10u);
  EXPECT_EQ(SysStringLen(text), 5u);
  EXPECT_EQ(SysStringByteLen(text), 10u);
  EXPECT_EQ(text[5], u'\0');
  EXPECT_EQ(std::u16string(bstr_view(text)), u"Hello");
  SysFreeString(text);
}

TEST(ComBstr, EmbeddedZerosCountInTheLength) {
  const char16_t units[] = {u'a', 0, u'b', 0, u'c'};
  BSTR text = SysAllocStringLen(units, 5);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 5u);
  EXPECT_EQ(text[2], u'b');
  EXPECT_EQ(text[4], u'c');
  EXPECT_EQ(text[5], 0);
  // A copy through SysAllocString stops at the first zero unit.
  BSTR cut = SysAllocString(text);
  EXPECT_EQ(SysStringLen(cut), 1u);
  SysFreeString(cut);
  SysFreeString(text);
}

TEST(ComBstr, NullTextGivesZeroFilledString) {
  BSTR text = SysAllocStringLen(nullptr, 3);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 3u);
  for (int i = 0; i <= 3; ++i) EXPECT_EQ(text[i], 0);
  SysFreeString(text);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
}

TEST(ComBstr, ByteLengthStringsKeepOddLengths) {
  BSTR text = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringByteLen(text), 3u);
  EXPECT_EQ(SysStringLen(text), 1u);
  EXPECT_EQ(std::memcmp(text, "abc", 3), 0);
  // The byte after the text and a whole zero unit after that are zero.
  const char* bytes = reinterpret_cast<const char*>(text);
  EXPECT_EQ(bytes[3], 0);
  EXPECT_EQ(bytes[4], 0);
  SysFreeString(text);
}

TEST(ComBstr, NullStringHasZeroLength) {
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_EQ(utf8_from_bstr(nullptr), "");
}

TEST(ComBstr, ReallocationMayReadItsOwnText) {
  BSTR text = SysAllocString(u"abcdef");
  ASSERT_TRUE(SysReAllocString(&text, text + 2));
  EXPECT_EQ(std::u16string(bstr_view(text)), u"cdef");
  ASSERT_TRUE(SysReAllocStringLen(&text, text, 2));
  EXPECT_EQ(std::u16string(bstr_view(text)), u"cd");
  EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
  SysFreeString(text);
}

TEST(ComBstr, Utf8RoundTrip) {
  BSTR text = bstr_from_utf8("Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x98\x80");
  ASSERT_NE(text, nullptr);
  // ü and ß are one unit each, the emoji a surrogate pair.
  EXPECT_EQ(SysStringLen(text), 8u);
  EXPECT_EQ(text[6], 0xD83D);
  EXPECT_EQ(text[7], 0xDE00);
  EXPECT_EQ(text[2], 0x00FC);
  EXPECT_EQ(utf8_from_bstr(text), "Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x98\x80");
  SysFreeString(text);
}

}  // namespace
