#include "batch/text_codec.h"

namespace quevro::batch {
namespace {

const char kReplacement[] = "\xEF\xBF\xBD";

void append_code_point(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Length of the well-formed sequence at `at`, or the length of its longest valid prefix negated
// (at least one byte), which is what one U+FFFD replaces.
int sequence_length(std::span<const uint8_t> b, size_t at) {
  uint8_t lead = b[at];
  if (lead < 0x80) return 1;
  int need;
  uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  for (int i = 1; i <= need; i++) {
    if (at + i >= b.size()) return -i;
    uint8_t c = b[at + i];
    if (c < low || c > high) return -i;
    low = 0x80;
    high = 0xBF;
  }
  return need + 1;
}

}  // namespace

std::optional<std::string> decode_utf8(std::span<const uint8_t> bytes, bool fatal) {
  size_t at = 0;
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) at = 3;
  std::string out;
  out.reserve(bytes.size() - at);
  while (at < bytes.size()) {
    int n = sequence_length(bytes, at);
    if (n > 0) {
      out.append(reinterpret_cast<const char*>(bytes.data() + at), static_cast<size_t>(n));
      at += static_cast<size_t>(n);
    } else {
      if (fatal) return std::nullopt;
      out += kReplacement;
      at += static_cast<size_t>(-n);
    }
  }
  return out;
}

std::string decode_windows1252(std::span<const uint8_t> bytes) {
  // 0x80..0x9F; zero where windows-1252 has no character and the byte stands for itself.
  static const uint16_t kHigh[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                     0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                     0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  std::string out;
  out.reserve(bytes.size());
  for (uint8_t b : bytes) {
    uint32_t c = b;
    if (b >= 0x80 && b <= 0x9F && kHigh[b - 0x80] != 0) c = kHigh[b - 0x80];
    append_code_point(out, c);
  }
  return out;
}

}  // namespace quevro::batch
