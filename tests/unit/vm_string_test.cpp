#include <string>

#include "vm_support.h"

namespace quevro::test {
namespace {

using StringTest = VmTest;

// Reference hash written out from the rule: start at the length, step (len >> 5) + 1, fold in the
// bytes from the end.
uint32_t reference_hash(const std::string& s) {
  uint32_t h = static_cast<uint32_t>(s.size());
  size_t step = (s.size() >> 5) + 1;
  for (size_t i = s.size(); i >= step; i -= step) h = h ^ ((h << 5) + (h >> 2) + static_cast<uint8_t>(s[i - 1]));
  return h;
}

TEST_F(StringTest, EqualBytesInternToOneObject) {
  std::string a = "hello world";
  std::string b(a);  // separate buffer
  StringObject* s1 = intern_string(L, a.data(), a.size());
  StringObject* s2 = intern_string(L, b.data(), b.size());
  EXPECT_EQ(s1, s2);
  EXPECT_NE(s1, intern_string(L, "hello worle"));
  EXPECT_NE(s1, intern_string(L, a.data(), a.size() - 1));  // a prefix is another string
}

TEST_F(StringTest, EmbeddedZerosArePartOfTheIdentity) {
  StringObject* a = intern_string(L, "a\0b", 3);
  StringObject* b = intern_string(L, "a\0c", 3);
  StringObject* c = intern_string(L, "a", 1);
  EXPECT_NE(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(a->length, 3u);
  EXPECT_EQ(a, intern_string(L, "a\0b", 3));
}

TEST_F(StringTest, TwoZeroBytesFollowTheData) {
  StringObject* s = intern_string(L, "xyz");
  EXPECT_EQ(s->data()[3], '\0');
  EXPECT_EQ(s->data()[4], '\0');
  const char16_t w[] = {u'a', u'b'};
  StringObject* ws = intern_wide(L, w, 2);
  EXPECT_EQ(ws->wide_data()[2], u'\0');  // a terminating zero unit
}

TEST_F(StringTest, WideAndNarrowWithSameBytesAreDistinct) {
  // "a\0" as bytes is the UTF-16LE unit 'a'.
  StringObject* narrow = intern_string(L, "a\0", 2);
  const char16_t unit[] = {u'a'};
  StringObject* wide = intern_wide(L, unit, 1);
  EXPECT_NE(narrow, wide);
  EXPECT_EQ(narrow->length, 2u);
  EXPECT_EQ(wide->length, 2u);  // byte length
  EXPECT_TRUE(wide->is_wide());
  EXPECT_FALSE(narrow->is_wide());
  EXPECT_EQ(wide->units(), 1u);
  // Each lookup finds its own kind again.
  EXPECT_EQ(intern_wide(L, unit, 1), wide);
  EXPECT_EQ(intern_string(L, "a\0", 2), narrow);
  EXPECT_EQ(intern_bytes(L, "a\0", 2, true), wide);
}

TEST_F(StringTest, EmptyStringIsUniqueWhateverTheWidth) {
  StringObject* e1 = intern_string(L, "", 0);
  StringObject* e2 = intern_wide(L, u"", 0);
  StringObject* e3 = intern_bytes(L, "zz", 0, false);
  EXPECT_EQ(e1, e2);
  EXPECT_EQ(e1, e3);
  EXPECT_EQ(e1->length, 0u);
}

TEST_F(StringTest, UnderscoreNamesOfTwoTo255BytesAreMarkedReadOnly) {
  EXPECT_EQ(intern_string(L, "_x")->reserved, 45);
  EXPECT_EQ(intern_string(L, "_id")->reserved, 45);
  EXPECT_EQ(intern_string(L, "_")->reserved, 0);  // one byte only
  EXPECT_EQ(intern_string(L, "x_")->reserved, 0);
  EXPECT_EQ(intern_string(L, "plain")->reserved, 0);
  std::string n255 = "_" + std::string(254, 'a');
  std::string n256 = "_" + std::string(255, 'a');
  EXPECT_EQ(intern_string(L, n255.data(), n255.size())->reserved, 45);
  EXPECT_EQ(intern_string(L, n256.data(), n256.size())->reserved, 0);
}

TEST_F(StringTest, NewStringsHaveNoEncodingFlagsExceptWide) {
  EXPECT_EQ(intern_string(L, "fresh text")->flags, 0);
  const char16_t w[] = {u'q', u'r'};
  EXPECT_EQ(intern_wide(L, w, 2)->flags, STR_WIDE);
}

TEST_F(StringTest, HashFollowsTheSamplingRule) {
  for (size_t len : {0u, 1u, 5u, 31u, 32u, 33u, 63u, 64u, 100u, 1000u}) {
    std::string s;
    for (size_t i = 0; i < len; ++i) s += static_cast<char>('a' + (i * 7 + len) % 26);
    EXPECT_EQ(intern_string(L, s.data(), s.size())->hash, reference_hash(s)) << "length " << len;
  }
}

TEST_F(StringTest, HundredByteStringSamplesEveryFourthByteFromTheEnd) {
  std::string base(100, 'a');
  uint32_t h = intern_string(L, base.data(), base.size())->hash;
  // Sampled positions (0-based) are 99, 95, ..., 3: changing one of them changes the hash.
  std::string sampled = base;
  sampled[95] = 'b';
  EXPECT_NE(intern_string(L, sampled.data(), sampled.size())->hash, h);
  std::string sampled_first = base;
  sampled_first[3] = 'b';
  EXPECT_NE(intern_string(L, sampled_first.data(), sampled_first.size())->hash, h);
  // Unsampled positions do not enter the hash, but the strings stay distinct objects.
  for (int pos : {0, 1, 2, 94, 96, 97, 98}) {
    std::string other = base;
    other[pos] = 'b';
    StringObject* o = intern_string(L, other.data(), other.size());
    EXPECT_EQ(o->hash, h) << "position " << pos;
    EXPECT_NE(o, intern_string(L, base.data(), base.size()));
  }
}

TEST_F(StringTest, CollidingStringsStayDistinctAndFindable) {
  // Strings of 100 bytes that differ only in unsampled bytes share a hash and a bucket.
  std::vector<StringObject*> made;
  for (int i = 0; i < 20; ++i) {
    std::string s(100, 'k');
    s[0] = static_cast<char>('A' + i);
    made.push_back(intern_string(L, s.data(), s.size()));
  }
  for (int i = 0; i < 20; ++i) {
    std::string s(100, 'k');
    s[0] = static_cast<char>('A' + i);
    EXPECT_EQ(intern_string(L, s.data(), s.size()), made[i]);
    for (int j = 0; j < i; ++j) EXPECT_NE(made[i], made[j]);
  }
}

TEST_F(StringTest, TableDoublesOnlyWhenCountExceedsBucketCount) {
  StringTable& table = G(L)->strings;
  EXPECT_GE(table.size, STRING_TABLE_INITIAL_SIZE);
  EXPECT_EQ(table.size & (table.size - 1), 0u);  // a power of two
  EXPECT_LE(table.count, table.size);
  uint32_t size = table.size;
  int n = 0;
  while (table.count < size) {
    std::string s = "fill-" + std::to_string(n++);
    intern_string(L, s.data(), s.size());
  }
  EXPECT_EQ(table.size, size) << "count equal to the bucket count must not rehash";
  intern_string(L, "one-more-string");
  EXPECT_EQ(table.size, size * 2);
  // Interning an existing string does not count it again.
  uint32_t count = table.count;
  intern_string(L, "one-more-string");
  intern_string(L, "fill-0");
  EXPECT_EQ(table.count, count);
  // Every string is still found after the rehash.
  for (int i = 0; i < n; ++i) {
    std::string s = "fill-" + std::to_string(i);
    StringObject* found = intern_string(L, s.data(), s.size());
    EXPECT_EQ(std::string(found->data(), found->length), s);
  }
  EXPECT_EQ(table.count, count);
}

}  // namespace
}  // namespace quevro::test
