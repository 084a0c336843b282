#include "compiler/utf.h"

namespace quevro {

size_t utf8_decode(const char* s, size_t len, uint32_t* cp) {
  if (len == 0) return 0;
  auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  uint8_t c = b(0);
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  size_t n;
  uint32_t v, min;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    v = c & 0x1F;
    min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    v = c & 0x0F;
    min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    v = c & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (len < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b(i) & 0x3F);
  }
  if (v < min || v > 0x10FFFF) return 0;
  *cp = v;
  return n;
}

bool utf8_valid(const char* s, size_t len) {
  size_t i = 0;
  while (i < len) {
    uint32_t cp;
    size_t n = utf8_decode(s + i, len - i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool utf8_to_utf16(const char* s, size_t len, std::u16string& out) {
  size_t i = 0;
  while (i < len) {
    uint32_t cp;
    size_t n = utf8_decode(s + i, len - i, &cp);
    if (n == 0) return false;
    utf16_append(out, cp);
    i += n;
  }
  return true;
}

}  // namespace quevro
