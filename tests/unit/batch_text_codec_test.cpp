// Text decoding as a browser's decoder does it, for the generator script.
#include <gtest/gtest.h>

#include <vector>

#include "batch/raw_deflate.h"
#include "batch/text_codec.h"

using namespace quevro::batch;

namespace {

std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string lenient(const std::string& s) { return *decode_utf8(bytes(s), false); }

}  // namespace

TEST(BatchTextCodec, Utf8KeepsTextDropsTheByteOrderMarkAndKeepsNul) {
  EXPECT_EQ(lenient("Zoë 漢字 😀"), "Zoë 漢字 😀");
  EXPECT_EQ(lenient("\xEF\xBB\xBFName"), "Name");
  EXPECT_EQ(lenient("\xEF\xBB\xBF\xEF\xBB\xBFx"), "\xEF\xBB\xBFx");  // only the first mark goes
  EXPECT_EQ(lenient(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(BatchTextCodec, MalformedSequencesBecomeOneReplacementEach) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(lenient("a\xFF" "b"), "a" + r + "b");
  EXPECT_EQ(lenient("\xE6\x97"), r);                       // cut short: one for the valid prefix
  EXPECT_EQ(lenient("\xC0\xAF"), r + r);                   // overlong: the lead is never valid
  EXPECT_EQ(lenient("\xED\xA0\x80"), r + r + r);           // a surrogate
  EXPECT_EQ(lenient("\xF4\x90\x80\x80"), r + r + r + r);   // past U+10FFFF
  EXPECT_FALSE(decode_utf8(bytes("ok\xE9"), true).has_value());
  EXPECT_EQ(*decode_utf8(bytes("ok"), true), "ok");
}

TEST(BatchTextCodec, Windows1252AsBrowsersReadLatin1) {
  EXPECT_EQ(decode_windows1252(bytes("caf\xE9 \x80 \x81 \x9F")), "café € \xC2\x81 Ÿ");
}

TEST(BatchTextCodec, RawDeflateIsSmallerForRepetitiveText) {
  std::string xml;
  for (int i = 0; i < 200; i++) xml += "<w:p><w:r><w:t>same</w:t></w:r></w:p>";
  std::vector<uint8_t> packed = deflate_raw(bytes(xml));
  EXPECT_LT(packed.size(), xml.size() / 10);
  // A raw stream: no two-byte zlib header (0x78 ..).
  EXPECT_NE(packed[0], 0x78);
  EXPECT_FALSE(deflate_raw({}).empty());
}
