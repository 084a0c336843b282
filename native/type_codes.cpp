#include "native/type_codes.h"

namespace quevro {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// The integer rules of `int`/`INT` spellings: the width comes from the last characters, the
// signedness from the case of the code passed in.
char sized_integer(std::string_view k, char code) {
  bool is_signed = code == 'i';
  if (ends_with(k, "64")) return is_signed ? 'l' : 'L';
  if (ends_with(k, "16")) return is_signed ? 'w' : 'W';
  if (k.size() >= 2 && k.back() == '8' && !is_digit(k[k.size() - 2])) return is_signed ? 'b' : 'B';
  return code;
}

// `u`/`U` followed by a letter that names an unsigned type.
char unsigned_code(std::string_view k) {
  if (k.size() < 2) return k[0];
  switch (k[1]) {
    case 'i': case 'I': return sized_integer(k, 'I');
    case 'l': case 'L': return 'L';
    case 'w': case 'W': return 'W';
    case 'b': case 'B': return 'B';
    case 's': case 'S': return 'g';
    case 'n': case 'N': return 'u';
    default: return k[0];
  }
}

}  // namespace

char type_code(std::string_view k) {
  if (k.empty()) return '\0';
  char first = k[0];
  char last = k.back();
  switch (first) {
    case '{': return '{';
    case 'i': case 'I': return sized_integer(k, first);
    // Addresses are pointer-sized integers: 64 bits in this process.
    case 'a': return 'l';
    case 'A': return 'L';
    case 'D':
      if (k.size() > 1 && last == 'D') return 'I';
      if (k.size() > 1 && last == 'E') return 'd';
      return 'D';
    case 'd': return 'd';
    case 'l': return 'l';
    case 'L': return 'L';
    case 'w': return 'w';
    case 'W': return 'W';
    case 'b': return k.size() > 1 && last == 'e' ? 'b' : 'y';
    case 'B': return 'B';
    case 'f': case 'F': return ends_with(k, "64") ? 'd' : 'f';
    case 'p': case 'P': return 'p';
    case 's': return k.size() > 1 && last == 't' ? 't' : 's';
    case 'S': return 's';
    case 'u': case 'U': return unsigned_code(k);
    case 'v': return 'v';
    default: return first;
  }
}

size_t type_width(char code) {
  switch (code) {
    case 'B': case 'b': return 1;
    case 'W': case 'w': return 2;
    case 'I': case 'i': case 'y': case 'f': return 4;
    case 'L': case 'l': case 'd': return 8;
    case 'p': case 'P': case 's': case 'S': case 'g': return sizeof(void*);
    default: return 0;
  }
}

std::string_view read_keyword(std::string_view text, size_t* end) {
  size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  size_t start = i;
  if (i < text.size() && text[i] == '{') {
    *end = i + 1;
    return text.substr(start, 1);
  }
  while (i < text.size() && (is_letter(text[i]) || is_digit(text[i]))) ++i;
  *end = i;
  return text.substr(start, i - start);
}

}  // namespace quevro
