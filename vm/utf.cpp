#include "vm/utf.h"

namespace quevro {

namespace {

// The smallest code point each sequence length may encode; anything below is an overlong form.
constexpr uint32_t SHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};

}  // namespace

Utf8Char utf8_decode(const char* s, size_t len, size_t i) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  unsigned char lead = p[i];
  if (lead < 0x80) return {lead, 1, true};
  size_t size = utf8_char_at(s, len, i);
  size_t announced = utf8_sequence_length(lead);
  if (announced == 1 || size < announced) return {REPLACEMENT_CHARACTER, size, false};
  uint32_t cp = lead & (0x7Fu >> announced);
  for (size_t k = 1; k < size; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
  if (cp < SHORTEST[announced] || cp > MAX_CODE_POINT || is_surrogate(cp)) return {REPLACEMENT_CHARACTER, size, false};
  return {cp, size, true};
}

bool utf8_valid(const char* s, size_t len, bool* ascii) {
  bool only_ascii = true;
  for (size_t i = 0; i < len;) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    only_ascii = false;
    Utf8Char c = utf8_decode(s, len, i);
    if (!c.well_formed) return false;
    i += c.size;
  }
  if (ascii) *ascii = only_ascii;
  return true;
}

void utf8_append(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void utf16_append(std::u16string& out, uint32_t c) {
  if (c >= 0x10000) {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(c));
  }
}

bool utf8_to_utf16(const char* s, size_t len, std::u16string* out) {
  out->clear();
  out->reserve(len);
  bool valid = true;
  for (size_t i = 0; i < len;) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      out->push_back(b);
      ++i;
      continue;
    }
    Utf8Char c = utf8_decode(s, len, i);
    valid = valid && c.well_formed;
    utf16_append(*out, c.code);
    i += c.size;
  }
  return valid;
}

bool utf16_to_utf8(const char16_t* s, size_t units, std::string* out) {
  out->clear();
  out->reserve(units);
  bool valid = true;
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = s[i];
    if (is_high_surrogate(c) && i + 1 < units && is_low_surrogate(s[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
      ++i;
    } else if (is_surrogate(c)) {
      c = REPLACEMENT_CHARACTER;
      valid = false;
    }
    utf8_append(*out, c);
  }
  return valid;
}

}  // namespace quevro
