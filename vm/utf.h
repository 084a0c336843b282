// UTF-8 and UTF-16: writing code points, reading them back, converting between the two, and
// walking UTF-8 text character by character. Every part of the system reads and converts text
// through these functions, so malformed input is treated the same way everywhere.
//
// The rule for malformed input:
// - A UTF-8 character is a lead byte C0-F7 with the continuation bytes (80-BF) that follow it, up
//   to the count its lead announces, or any other single byte. Walking, counting and slicing step
//   over these characters and never fail.
// - A character is well formed when it is complete and is the shortest encoding of a code point up
//   to U+10FFFF that is not a surrogate (D800-DFFF). A cut-short sequence, an overlong form, an
//   encoded surrogate, a value above U+10FFFF, a stray continuation byte and the bytes F8-FF are
//   each one malformed character.
// - UTF-16 is well formed when each high surrogate is directly followed by a low one; any other
//   surrogate unit is one malformed character.
// - Decoding and converting replace each malformed character by U+FFFD and report it: a converter
//   returns false. Callers that must refuse malformed text (the string library's conversions, the
//   wide suffix of string literals) test that result; the others take the replaced text.
// Writing never fails: utf8_append encodes a surrogate value in three bytes like any other value
// (an escape may produce a lone surrogate), and such bytes then read as malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quevro {

constexpr uint32_t REPLACEMENT_CHARACTER = 0xFFFD;
constexpr uint32_t MAX_CODE_POINT = 0x10FFFF;

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }
inline bool is_surrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
inline bool is_high_surrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool is_low_surrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Bytes a lead byte announces: bytes below 0xC0 and from 0xF8 up stand alone.
inline size_t utf8_sequence_length(unsigned char c) {
  if (c < 0xC0) return 1;
  if (c < 0xE0) return 2;
  if (c < 0xF0) return 3;
  if (c < 0xF8) return 4;
  return 1;
}

// Bytes taken by the character at s[i] (i < len).
inline size_t utf8_char_at(const char* s, size_t len, size_t i) {
  size_t n = utf8_sequence_length(static_cast<unsigned char>(s[i]));
  size_t k = 1;
  while (k < n && i + k < len && is_continuation(static_cast<unsigned char>(s[i + k]))) ++k;
  return k;
}

// Number of characters in the bytes.
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

// A cut position moved back to the start of the character it falls in.
inline size_t utf8_char_start(const char* s, size_t pos, size_t len) {
  while (pos > 0 && pos < len && is_continuation(static_cast<unsigned char>(s[pos]))) --pos;
  return pos;
}

struct Utf8Char {
  uint32_t code;     // the code point, or U+FFFD for a malformed character
  size_t size;       // bytes taken, as utf8_char_at counts them
  bool well_formed;
};

// Reads the character at s[i] (i < len).
Utf8Char utf8_decode(const char* s, size_t len, size_t i = 0);

// True when every character is well formed; *ascii tells whether all bytes are below 0x80.
bool utf8_valid(const char* s, size_t len, bool* ascii = nullptr);

// Appends the UTF-8 form of a code point (at most MAX_CODE_POINT).
void utf8_append(std::string& out, uint32_t cp);
// Appends a code point as one UTF-16 unit or a surrogate pair.
void utf16_append(std::u16string& out, uint32_t cp);

// Replace *out with the converted text; false when any character was malformed (and replaced).
bool utf8_to_utf16(const char* s, size_t len, std::u16string* out);
bool utf16_to_utf8(const char16_t* s, size_t units, std::string* out);

}  // namespace quevro
