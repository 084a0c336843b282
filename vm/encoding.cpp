#include "vm/encoding.h"

#include <iconv.h>
#include <langinfo.h>

#include <cstring>

namespace quevro {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

void append_utf16(std::u16string* out, char32_t c) { utf16_append(*out, static_cast<uint32_t>(c)); }

void append_utf8(std::string* out, char32_t c) { utf8_append(*out, static_cast<uint32_t>(c)); }

bool locale_is_utf8() {
  const char* cs = nl_langinfo(CODESET);
  return cs && (std::strcmp(cs, "UTF-8") == 0 || std::strcmp(cs, "utf8") == 0);
}

}  // namespace

void utf16_append(std::u16string& out, uint32_t c) {
  if (c >= 0x10000) {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(c));
  }
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

bool utf8_to_utf16(const char* s, size_t len, std::u16string* out) {
  out->clear();
  out->reserve(len);
  bool valid = true;
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  size_t i = 0;
  while (i < len) {
    unsigned char b = p[i];
    char32_t c;
    int extra;
    char32_t min;
    if (b < 0x80) {
      out->push_back(b);
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, extra = 1, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, extra = 2, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, extra = 3, min = 0x10000;
    } else {
      out->push_back(static_cast<char16_t>(REPLACEMENT));
      valid = false;
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j <= static_cast<size_t>(extra) && i + j < len && (p[i + j] & 0xC0) == 0x80; ++j) c = (c << 6) | (p[i + j] & 0x3F);
    if (j != static_cast<size_t>(extra) + 1 || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out->push_back(static_cast<char16_t>(REPLACEMENT));
      valid = false;
      i += j;
      continue;
    }
    append_utf16(out, c);
    i += j;
  }
  return valid;
}

bool utf16_to_utf8(const char16_t* s, size_t units, std::string* out) {
  out->clear();
  out->reserve(units);
  bool valid = true;
  for (size_t i = 0; i < units; ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = REPLACEMENT;
      valid = false;
    }
    append_utf8(out, c);
  }
  return valid;
}

bool ansi_to_utf16(const char* s, size_t len, std::u16string* out) {
  if (locale_is_utf8()) return utf8_to_utf16(s, len, out);
  iconv_t cd = iconv_open("UTF-16LE", nl_langinfo(CODESET));
  if (cd == reinterpret_cast<iconv_t>(-1)) return utf8_to_utf16(s, len, out);
  out->assign(len + 1, u'\0');
  char* in = const_cast<char*>(s);
  size_t in_left = len;
  char* dst = reinterpret_cast<char*>(out->data());
  size_t out_left = out->size() * 2;
  bool ok = true;
  while (in_left > 0) {
    if (iconv(cd, &in, &in_left, &dst, &out_left) == static_cast<size_t>(-1)) {
      ok = false;
      if (out_left < 2) break;
      *reinterpret_cast<char16_t*>(dst) = static_cast<char16_t>(REPLACEMENT);
      dst += 2;
      out_left -= 2;
      ++in;
      --in_left;
    }
  }
  iconv_close(cd);
  out->resize((reinterpret_cast<char16_t*>(dst) - out->data()));
  return ok;
}

}  // namespace quevro
