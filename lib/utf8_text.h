// UTF-8 walking used by the string and pattern libraries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quevro {

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the sequence a lead byte starts: bytes below 0xC0 stand alone.
inline size_t utf8_sequence_length(unsigned char c) {
  if (c < 0xC0) return 1;
  if (c < 0xE0) return 2;
  if (c < 0xF0) return 3;
  if (c < 0xF8) return 4;
  return 1;
}

// Bytes taken by the character at s[i] (a lead byte takes the continuation bytes that follow).
inline size_t utf8_char_at(const char* s, size_t len, size_t i) {
  size_t n = utf8_sequence_length(static_cast<unsigned char>(s[i]));
  size_t k = 1;
  while (k < n && i + k < len && is_continuation(static_cast<unsigned char>(s[i + k]))) ++k;
  return k;
}

inline size_t utf8_count(const char* s, size_t len) {
  size_t n = 0;
  for (size_t i = 0; i < len; i += utf8_char_at(s, len, i)) ++n;
  return n;
}

// Byte offset of the character with 0-based index k (len when k is past the end).
inline size_t utf8_offset(const char* s, size_t len, size_t k) {
  size_t i = 0;
  while (k > 0 && i < len) {
    i += utf8_char_at(s, len, i);
    --k;
  }
  return i;
}

// Strict validation: shortest forms, no surrogates, nothing above U+10FFFF.
inline bool utf8_valid(const char* s, size_t len, bool* ascii = nullptr) {
  bool only_ascii = true;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  size_t i = 0;
  while (i < len) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    only_ascii = false;
    size_t n;
    uint32_t cp;
    if (c >= 0xC2 && c < 0xE0) {
      n = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c < 0xF0) {
      n = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c < 0xF5) {
      n = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n > len) return false;
    for (size_t k = 1; k < n; ++k) {
      if (!is_continuation(p[i + k])) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n;
  }
  if (ascii) *ascii = only_ascii;
  return true;
}

// Decodes the character at s[i] leniently; *size receives its byte count.
inline uint32_t utf8_decode(const char* s, size_t len, size_t i, size_t* size) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  size_t n = utf8_char_at(s, len, i);
  *size = n;
  unsigned char c = p[i];
  if (n == 1) return c;
  uint32_t cp = c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
  return cp;
}


}  // namespace quevro
