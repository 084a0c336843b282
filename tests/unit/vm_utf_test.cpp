// The one rule for malformed UTF-8 and UTF-16: what counts as one character, what is well formed,
// and what the conversions make of the rest.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "vm/utf.h"

namespace quevro {
namespace {

// The UTF-16 form of s and whether the conversion reported it well formed.
struct Converted {
  std::u16string units;
  bool valid;
};
Converted to16(const std::string& s) {
  Converted c;
  c.valid = utf8_to_utf16(s.data(), s.size(), &c.units);
  return c;
}

const std::u16string R(1, static_cast<char16_t>(REPLACEMENT_CHARACTER));

TEST(Utf8, WellFormedTextConvertsAndRoundTrips) {
  for (const std::string s : {"", "plain", "h\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\xED\x9F\xBF" /* D7FF */,
                              "\xEE\x80\x80" /* E000 */, "\xEF\xBF\xBF" /* FFFF */, "\xF4\x8F\xBF\xBF" /* 10FFFF */}) {
    Converted c = to16(s);
    EXPECT_TRUE(c.valid) << s;
    EXPECT_TRUE(utf8_valid(s.data(), s.size())) << s;
    std::string back;
    EXPECT_TRUE(utf16_to_utf8(c.units.data(), c.units.size(), &back));
    EXPECT_EQ(back, s);
  }
  EXPECT_EQ(to16("\xF0\x9F\x98\x80").units, u"\xD83D\xDE00");
  EXPECT_EQ(to16("\xF4\x8F\xBF\xBF").units, u"\xDBFF\xDFFF");
  bool ascii = false;
  EXPECT_TRUE(utf8_valid("abc", 3, &ascii));
  EXPECT_TRUE(ascii);
  EXPECT_TRUE(utf8_valid("a\xC3\xA9", 3, &ascii));
  EXPECT_FALSE(ascii);
}

// Each malformed character becomes one U+FFFD and the conversion reports it; the bytes after it
// are read normally.
TEST(Utf8, MalformedCharactersBecomeOneReplacementEach) {
  struct Case {
    const char* what;
    std::string bytes;
    std::u16string expected;
  };
  const Case cases[] = {
      {"truncated at the end", "a\xE4\xB8", u"a" + R},
      {"truncated before ASCII", "\xE4\xB8" "b", R + u"b"},
      {"truncated four-byte before a lead", "\xF0\x9F\x98\xC3\xA9", R + u"\xE9"},
      {"lone lead at the end", "\xC3", R},
      {"overlong two-byte", "\xC0\xAF", R},
      {"overlong NUL", "\xC1\x80", R},
      {"overlong three-byte", "\xE0\x80\xAF", R},
      {"overlong four-byte", "\xF0\x8F\xBF\xBF", R},
      {"high surrogate", "\xED\xA0\x80", R},
      {"low surrogate", "\xED\xBF\xBF", R},
      {"surrogate pair in three-byte halves", "\xED\xA0\xBD\xED\xB8\x80", R + R},
      {"above U+10FFFF", "\xF4\x90\x80\x80", R},
      {"lead F5", "\xF5\x80\x80\x80", R},
      {"stray continuation", "a\x80" "b", u"a" + R + u"b"},
      {"two stray continuations", "\x80\xBF", R + R},
      {"bytes F8 to FF stand alone", "\xF8\x88\x80\x80\x80", R + R + R + R + R},
      {"FE and FF", "\xFE\xFF", R + R},
  };
  for (const Case& c : cases) {
    Converted got = to16(c.bytes);
    EXPECT_FALSE(got.valid) << c.what;
    EXPECT_EQ(got.units, c.expected) << c.what;
    EXPECT_FALSE(utf8_valid(c.bytes.data(), c.bytes.size())) << c.what;
    // Counting walks the same characters the conversion replaces.
    EXPECT_EQ(utf8_count(c.bytes.data(), c.bytes.size()), c.expected.size()) << c.what;
  }
}

TEST(Utf8, DecodeReadsOneCharacter) {
  Utf8Char c = utf8_decode("\xE4\xB8\xAD!", 4);
  EXPECT_EQ(c.code, 0x4E2Du);
  EXPECT_EQ(c.size, 3u);
  EXPECT_TRUE(c.well_formed);
  c = utf8_decode("x\xED\xA0\x80", 4, 1);  // an encoded surrogate
  EXPECT_EQ(c.code, REPLACEMENT_CHARACTER);
  EXPECT_EQ(c.size, 3u);
  EXPECT_FALSE(c.well_formed);
  c = utf8_decode("\xE4\xB8", 2);  // cut short
  EXPECT_EQ(c.size, 2u);
  EXPECT_FALSE(c.well_formed);
  c = utf8_decode("\xF4\x90\x80\x80", 4);
  EXPECT_EQ(c.size, 4u);
  EXPECT_FALSE(c.well_formed);
}

TEST(Utf16, UnpairedSurrogatesBecomeOneReplacementEach) {
  struct Case {
    const char* what;
    std::u16string units;
    std::string expected;
  };
  const std::string r = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"high at the end", u"a\xD83D", "a" + r},
      {"high before a non-surrogate", u"\xD83D" "b", r + "b"},
      {"two highs then a low", u"\xD83D\xD83D\xDE00", r + "\xF0\x9F\x98\x80"},
      {"low alone", u"\xDE00", r},
      {"low before high", u"\xDE00\xD83D", r + r},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_FALSE(utf16_to_utf8(c.units.data(), c.units.size(), &out)) << c.what;
    EXPECT_EQ(out, c.expected) << c.what;
  }
  std::string out;
  std::u16string pair = u"\xD83D\xDE00";
  EXPECT_TRUE(utf16_to_utf8(pair.data(), pair.size(), &out));
  EXPECT_EQ(out, "\xF0\x9F\x98\x80");
}

// On any bytes: validation and the conversion's report agree, the conversion yields one code point
// per counted character, and well-formed input round-trips.
TEST(Utf8, ValidationConversionAndCountingAgreeOnRandomBytes) {
  std::mt19937 rng(12);
  const unsigned char interesting[] = {0x41, 0x7F, 0x80, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xED,
                                       0xEF, 0xF0, 0xF4, 0xF5, 0xF8, 0xFF, 0xA0, 0x9F, 0x8F};
  for (int round = 0; round < 5000; ++round) {
    std::string s;
    int n = static_cast<int>(rng() % 8);
    for (int k = 0; k < n; ++k) s.push_back(static_cast<char>(interesting[rng() % sizeof interesting]));
    Converted c = to16(s);
    ASSERT_EQ(c.valid, utf8_valid(s.data(), s.size())) << round;
    std::string back;
    ASSERT_TRUE(utf16_to_utf8(c.units.data(), c.units.size(), &back));  // replacements are well formed
    std::u16string again;
    ASSERT_TRUE(utf8_to_utf16(back.data(), back.size(), &again));
    EXPECT_EQ(again, c.units);
    EXPECT_EQ(utf8_count(back.data(), back.size()), utf8_count(s.data(), s.size())) << round;
    if (c.valid) {
      EXPECT_EQ(back, s) << round;
    }
  }
}

}  // namespace
}  // namespace quevro
