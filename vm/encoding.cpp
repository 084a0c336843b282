#include "vm/encoding.h"

#include <iconv.h>
#include <langinfo.h>

#include <cstring>

#include "vm/utf.h"

namespace quevro {

namespace {

bool locale_is_utf8() {
  const char* cs = nl_langinfo(CODESET);
  return cs && (std::strcmp(cs, "UTF-8") == 0 || std::strcmp(cs, "utf8") == 0);
}

}  // namespace

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
      *reinterpret_cast<char16_t*>(dst) = static_cast<char16_t>(REPLACEMENT_CHARACTER);
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
