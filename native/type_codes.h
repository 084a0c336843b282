// Type keywords of declarations, structures and callback prototypes, and the one-letter codes
// they stand for. The code is decided by the keyword's first letter with a few rules on its
// second and last letters; every layer that reads declarations asks this file.
#pragma once

#include <cstddef>
#include <string_view>

namespace quevro {

// The code of a keyword: one of B I L W b d f g i l p s t u v w y '{', or the first letter itself
// for a keyword that names no type (the caller rejects it).
char type_code(std::string_view keyword);

// Keywords spelled with a capital P or S: the forms that reject null.
inline bool rejects_null(std::string_view keyword) {
  return !keyword.empty() && (keyword[0] == 'P' || keyword[0] == 'S');
}

// Width in bytes of a value of the code on this platform (pointers are 8 bytes); 0 for `v` and
// for codes that have no width of their own (`t`, `u`, '{' and rejected letters).
size_t type_width(char code);

// True for the codes a scalar parameter or return value may have.
inline bool is_value_code(char code) {
  switch (code) {
    case 'B': case 'I': case 'L': case 'W': case 'b': case 'd': case 'f': case 'g':
    case 'i': case 'l': case 'p': case 's': case 't': case 'w': case 'y':
      return true;
    default:
      return false;
  }
}

// The keyword at the start of text: letters and digits after leading blanks (a '{' stands alone).
// *end receives the position after it.
std::string_view read_keyword(std::string_view text, size_t* end);

inline bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace quevro
