#include "vm/number.h"

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <locale.h>

namespace quevro {

namespace {

// Numerals in scripts always use '.', whatever the process locale says.
locale_t c_locale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

bool string_to_number(const char* s, size_t len, double* out) {
  // The readers below stop at a zero byte; an embedded zero is then trailing garbage.
  const char* end_of_text = s + len;
  char* end = nullptr;
  double result;
  if (len >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    result = static_cast<double>(strtoll_l(s, &end, 16, c_locale()));
  } else {
    result = strtod_l(s, &end, c_locale());
  }
  if (end < end_of_text && *end == '#') {
    long base = static_cast<long>(result);
    if (base >= 2 && base <= 36) result = static_cast<double>(strtoll_l(end + 1, &end, static_cast<int>(base), c_locale()));
  }
  while (end < end_of_text && is_blank(*end)) ++end;
  if (end != end_of_text) return false;
  *out = result;
  return true;
}

}  // namespace quevro
