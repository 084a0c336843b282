// The native `string` namespace: slicing, splitting, joining, trimming, searching, escapes,
// checksums and the table of functions. Formatting, encodings and patterns live beside it.
#include "lib/string_library.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "compiler/lexer.h"
#include "runtime/library_registry.h"
#include "lib/base_library.h"
#include "lib/library_support.h"
#include "lib/pattern.h"
#include "lib/string_buffer.h"
#include "vm/metamethods.h"
#include "lib/string_encoding.h"
#include "vm/utf.h"
#include "vm/error.h"

namespace quevro {

namespace {

bool is_wide_arg(VmState* L, int idx) {
  const Value* v = stack_address(L, idx);
  return v->tag == TAG_STRING && v->string()->is_wide();
}

void push_text(VmState* L, const char* s, size_t n, bool wide) {
  if (wide)
    push_string_flags(L, s, n & ~size_t{1}, STR_WIDE);
  else
    push_lstring(L, s, n);
}

// Pushes the part of the text argument between positions i and j (inclusive, negatives from the
// end), counted in bytes or in UTF-8 characters (chars). A wide string is always counted in
// bytes, as # counts it, and gives a wide string of the units in the selected bytes.
void push_slice(VmState* L, int idx, int64_t i, int64_t j, bool chars) {
  size_t len;
  const char* s = check_text(L, idx, &len);
  bool wide = is_wide_arg(L, idx);
  if (wide) chars = false;
  int64_t n = chars ? static_cast<int64_t>(utf8_count(s, len)) : static_cast<int64_t>(len);
  i = from_end(i, n);
  j = from_end(j, n);
  if (i > n || j < 1) {
    push_text(L, "", 0, wide);
    return;
  }
  if (i < 1) i = 1;
  if (j > n) j = n;
  if (i > j) {
    push_text(L, "", 0, wide);
    return;
  }
  size_t from, to;
  if (chars) {
    from = utf8_offset(s, len, static_cast<size_t>(i - 1));
    to = from + utf8_offset(s + from, len - from, static_cast<size_t>(j - i + 1));
  } else {
    from = static_cast<size_t>(i - 1);
    to = static_cast<size_t>(j);
  }
  push_text(L, s + from, to - from, wide);
}

bool truth(VmState* L, int idx) { return !is_falsy(*stack_address(L, idx)); }

int str_char_at(VmState* L) {
  int64_t i = opt_int64(L, ARG2, 1);
  push_slice(L, ARG1, i, i, true);
  return 1;
}

int str_char_code_at(VmState* L) {
  size_t len;
  const char* s = check_text(L, ARG1, &len);
  int64_t n = static_cast<int64_t>(utf8_count(s, len));
  int64_t i = from_end(opt_int64(L, ARG2, 1), n);
  if (i < 1 || i > n) return 0;
  size_t at = utf8_offset(s, len, static_cast<size_t>(i - 1));
  push_number(L, utf8_decode(s, len, at).code);
  return 1;
}

int str_slice(VmState* L) {
  push_slice(L, ARG1, opt_int64(L, ARG2, 1), opt_int64(L, ARG3, -1), truth(L, ARG4));
  return 1;
}

// The first (or last) n characters; n <= 0 gives the empty text of the argument's kind.
int push_edge(VmState* L, bool from_left) {
  int64_t n = opt_int64(L, ARG2, 1);
  if (n <= 0) {
    size_t len;
    check_text(L, ARG1, &len);
    push_text(L, "", 0, is_wide_arg(L, ARG1));
    return 1;
  }
  push_slice(L, ARG1, from_left ? 1 : -n, from_left ? n : -1, truth(L, ARG3));
  return 1;
}

int str_left_impl(VmState* L) { return push_edge(L, true); }

int str_right(VmState* L) { return push_edge(L, false); }

int str_slice_utf16(VmState* L) {
  size_t len;
  const char* s = check_text(L, ARG1, &len);
  std::u16string units;
  if (is_wide_arg(L, ARG1))
    units.assign(reinterpret_cast<const char16_t*>(s), len / 2);
  else
    utf8_to_utf16(s, len, &units);
  int64_t n = static_cast<int64_t>(units.size());
  int64_t i = from_end(opt_int64(L, ARG2, 1), n), j = from_end(opt_int64(L, ARG3, -1), n);
  if (i < 1) i = 1;
  if (j > n) j = n;
  if (i > j) {
    push_wstring(L, u"", 0);
    return 1;
  }
  push_wstring(L, units.data() + i - 1, static_cast<size_t>(j - i + 1));
  return 1;
}

int map_case(VmState* L, int (*f)(int)) {
  size_t len;
  const char* s = check_text(L, ARG1, &len);
  bool wide = is_wide_arg(L, ARG1);
  std::string out(s, len);
  if (wide) {
    for (size_t k = 0; k + 1 < len; k += 2)
      if (out[k + 1] == 0 && static_cast<unsigned char>(out[k]) < 0x80) out[k] = static_cast<char>(f(out[k]));
  } else {
    for (char& c : out) c = static_cast<char>(f(static_cast<unsigned char>(c)));
  }
  push_text(L, out.data(), out.size(), wide);
  return 1;
}
int str_lower(VmState* L) { return map_case(L, [](int c) { return std::tolower(c); }); }
int str_upper(VmState* L) { return map_case(L, [](int c) { return std::toupper(c); }); }

int str_pack(VmState* L) {
  std::string out;
  if (type_of(L, ARG1) == TAG_TABLE) {
    RawTable t(L, ARG1);
    int64_t n = t.length();
    for (int64_t i = 1; i <= n; ++i) {
      double d;
      Value v = t.get(i);
      if (!to_number_value(&v, &d)) type_arg_error(L, ARG1, "number");
      out.push_back(static_cast<char>(static_cast<int64_t>(d)));
    }
  } else {
    int top = get_top(L);
    for (int i = ARG1; i <= top; ++i) out.push_back(static_cast<char>(static_cast<int64_t>(check_number(L, i))));
  }
  push_lstring(L, out.data(), out.size());
  return 1;
}

int str_unpack(VmState* L) {
  size_t len;
  const char* s = check_text(L, ARG1, &len);
  int64_t n = static_cast<int64_t>(len);
  int64_t i = from_end(opt_int64(L, ARG2, 1), n), j = from_end(opt_int64(L, ARG3, n), n);
  if (i < 1) i = 1;
  if (j > n) j = n;
  if (i > j) return 0;
  int64_t count = j - i + 1;
  if (count > MAX_RESULTS || !check_stack(L, static_cast<int>(count)))
    library_error(L, "stack overflow (%s)", "string slice too long");
  s = to_text(L, ARG1, &len);
  for (int64_t k = i; k <= j; ++k) push_number(L, static_cast<unsigned char>(s[k - 1]));
  return static_cast<int>(count);
}

int str_reverse(VmState* L) {
  size_t len;
  const char* s = check_text(L, ARG1, &len);
  bool wide = is_wide_arg(L, ARG1);
  if (wide || truth(L, ARG2)) {
    std::u16string u;
    if (wide)
      u.assign(reinterpret_cast<const char16_t*>(s), len / 2);
    else
      utf8_to_utf16(s, len, &u);
    std::u16string r;
    r.reserve(u.size());
    for (size_t k = u.size(); k > 0; --k) {
      char16_t c = u[k - 1];
      // A surrogate pair keeps its order.
      if (c >= 0xDC00 && c <= 0xDFFF && k >= 2 && u[k - 2] >= 0xD800 && u[k - 2] <= 0xDBFF) {
        r.push_back(u[k - 2]);
        r.push_back(c);
        --k;
      } else {
        r.push_back(c);
      }
    }
    if (wide) {
      push_wstring(L, r.data(), r.size());
    } else {
      std::string out;
      utf16_to_utf8(r.data(), r.size(), &out);
      push_lstring(L, out.data(), out.size());
    }
    return 1;
  }
  std::string out(s, len);
  std::reverse(out.begin(), out.end());
  push_lstring(L, out.data(), out.size());
  return 1;
}

int str_repeat(VmState* L) {
  int64_t n = static_cast<int64_t>(check_number(L, ARG1));
  if (n < 0) return 0;
  std::string unit;
  bool wide = false;
  if (type_of(L, ARG2) == TAG_NUMBER) {
    unit.push_back(static_cast<char>(static_cast<int64_t>(to_number(L, ARG2))));
  } else if (is_none_or_null(L, ARG2)) {
    unit.push_back('\0');
  } else {
    size_t len;
    const char* s = check_text(L, ARG2, &len);
    unit.assign(s, len);
    wide = is_wide_arg(L, ARG2);
  }
  if (static_cast<double>(unit.size()) * static_cast<double>(n) >= 2147483647.0) library_error(L, "not enough memory");
  std::string out;
  out.reserve(unit.size() * static_cast<size_t>(n));
  for (int64_t k = 0; k < n; ++k) out += unit;
  push_text(L, out.data(), out.size(), wide);
  return 1;
}

// Trims bytes from the ends: ASCII white space, one given byte, or any byte of a set.
int trim(VmState* L, bool left, bool right) {
  size_t len, nset = 0;
  const char* s = check_text(L, ARG1, &len);
  const char* set = is_none_or_null(L, ARG2) ? nullptr : check_text(L, ARG2, &nset);
  s = to_text(L, ARG1, &len);
  auto trimmed = [&](unsigned char c) {
    if (set == nullptr) return c == ' ' || (c >= '\t' && c <= '\r');
    return std::memchr(set, c, nset) != nullptr;
  };
  size_t a = 0, b = len;
  if (left)
    while (a < b && trimmed(static_cast<unsigned char>(s[a]))) ++a;
  if (right)
    while (b > a && trimmed(static_cast<unsigned char>(s[b - 1]))) --b;
  push_lstring(L, s + a, b - a);
  return 1;
}
int str_trim(VmState* L) { return trim(L, true, true); }
int str_trim_left(VmState* L) { return trim(L, true, false); }
int str_trim_right(VmState* L) { return trim(L, false, true); }

// Appends the string s[0..n) as element k of the result table.
inline void append_piece(VmState* L, RawTable& result, int64_t k, const char* s, size_t n) {
  push_lstring(L, s, n);
  result.set(k, L->top[-1]);
  L->top--;
}

int str_split(VmState* L) {
  size_t len, nsep = 0;
  const char* s = check_text(L, ARG1, &len);
  const char* sep = is_none_or_null(L, ARG2) ? "" : check_text(L, ARG2, &nsep);
  int64_t max = opt_int64(L, ARG3, 0);
  if (max == 1) max = 2;
  int64_t hint = static_cast<int64_t>(len / 3);
  if (nsep == 1 && len > 3 * 64) {
    // A long text cut at one byte: count the parts first so the array part is sized exactly
    // rather than at a third of the text (which would mostly stay empty for long lines).
    int64_t parts = 1;
    for (const char* q = s; (q = static_cast<const char*>(std::memchr(q, sep[0], static_cast<size_t>(s + len - q)))); ++q)
      ++parts;
    hint = parts;
  }
  if (hint < 3) hint = 3;
  if (hint > (1 << 24)) hint = 1 << 24;
  new_array(L, static_cast<int>(hint));
  RawTable result(L, -1);
  if (len == 0) return 1;
  s = to_text(L, ARG1, &len);
  if (nsep) sep = to_text(L, ARG2, &nsep);
  int64_t k = 0;
  size_t at = 0;
  auto limited = [&]() { return max > 0 && k + 1 >= max; };
  if (nsep == 0) {
    while (at < len) {
      if (limited()) {
        append_piece(L, result, ++k, s + at, len - at);
        return 1;
      }
      size_t n = utf8_char_at(s, len, at);
      append_piece(L, result, ++k, s + at, n);
      at += n;
    }
    return 1;
  }
  if (nsep == 1) {
    char c = sep[0];
    for (;;) {
      const char* hit = limited() ? nullptr : static_cast<const char*>(std::memchr(s + at, c, len - at));
      if (hit == nullptr) {
        append_piece(L, result, ++k, s + at, len - at);
        return 1;
      }
      size_t end = static_cast<size_t>(hit - s);
      append_piece(L, result, ++k, s + at, end - at);
      at = end + 1;
    }
  }
  if (nsep >= 2 && sep[0] == '<' && sep[nsep - 1] == '>') {
    std::string whole(sep + 1, nsep - 2);
    while (at < len) {
      const char* hit = nullptr;
      if (!limited() && !whole.empty())
        hit = static_cast<const char*>(memmem(s + at, len - at, whole.data(), whole.size()));
      if (hit == nullptr) break;
      size_t end = static_cast<size_t>(hit - s);
      append_piece(L, result, ++k, s + at, end - at);
      at = end + whole.size();
    }
    if (at < len) append_piece(L, result, ++k, s + at, len - at);
    return 1;
  }
  bool member[256] = {};
  for (size_t i = 0; i < nsep; ++i) member[static_cast<unsigned char>(sep[i])] = true;
  size_t begin = 0;
  for (at = 0; at < len && !limited(); ++at) {
    if (member[static_cast<unsigned char>(s[at])]) {
      append_piece(L, result, ++k, s + begin, at - begin);
      begin = at + 1;
    }
  }
  if (begin < len) append_piece(L, result, ++k, s + begin, len - begin);
  return 1;
}

// Joins elements i to j when every one is a string, a number or a buffer (the common case): the
// result is measured first and each element copied once into a block of that size. The piecewise
// buffer copies each byte again at every merge of its pieces (about log2 of the result over 1 KB
// times) and leaves every merged piece behind as garbage. Returns false, having done nothing,
// for any other element (converting it may run a metamethod), for a result large enough to reach
// the concatenation's length check, or when the block cannot be had; the general path then
// produces the result or the error.
bool join_measured(VmState* L, const RawTable& t, int64_t i, int64_t j, const std::string& separator) {
  constexpr size_t LIMIT = 0x3FFFFFFF;
  size_t total = 0;
  char num[32];
  for (int64_t k = i; k <= j; ++k) {
    Value v = t.get(k);
    if (v.tag == TAG_STRING)
      total += v.string()->length;
    else if (v.tag == TAG_NUMBER)
      total += format_number(v.u.n, num);
    else if (is_buffer_value(&v))
      total += v.cdata()->size;
    else
      return false;
    if (k < j) total += separator.size();
    if (total > LIMIT) return false;
  }
  // One more byte for the terminator format_number writes after its digits.
  std::unique_ptr<char[]> block(new (std::nothrow) char[total + 1]);
  if (!block) return false;
  char* at = block.get();
  for (int64_t k = i; k <= j; ++k) {
    Value v = t.get(k);
    if (v.tag == TAG_STRING) {
      std::memcpy(at, v.string()->data(), v.string()->length);
      at += v.string()->length;
    } else if (v.tag == TAG_NUMBER) {
      at += format_number(v.u.n, at);
    } else {
      std::memcpy(at, v.cdata()->data(), v.cdata()->size);
      at += v.cdata()->size;
    }
    if (k < j) {
      std::memcpy(at, separator.data(), separator.size());
      at += separator.size();
    }
  }
  push_lstring(L, block.get(), total);
  return true;
}

}  // namespace

int string_join(VmState* L) {
  check_table(L, ARG1);
  RawTable t(L, ARG1);
  size_t nsep = 0;
  const char* sep = opt_text(L, ARG2, "", &nsep);
  std::string separator(sep, nsep);
  int64_t n = t.length();
  int64_t i = opt_int64(L, ARG3, 1), j = opt_int64(L, ARG4, -1);
  i = from_end(i, n);
  j = from_end(j, n);
  if (i < 1) i = 1;
  if (j > n) j = n;
  set_top(L, ARG4);
  if (join_measured(L, t, i, j, separator)) return 1;
  StringBuffer b(L);
  char num[32];
  for (int64_t k = i; k <= j; ++k) {
    Value v = t.get(k);
    if (v.tag == TAG_STRING) {
      b.add(v.string()->data(), v.string()->length);
    } else if (v.tag == TAG_NUMBER) {
      b.add(num, format_number(v.u.n, num));
    } else if (is_buffer_value(&v)) {
      b.add(reinterpret_cast<const char*>(v.cdata()->data()), v.cdata()->size);
    } else {
      ensure_stack(L, 2);
      push(L, v);
      int at = get_top(L);
      push_tostring(L, at);
      remove(L, at);
      b.add_top();
    }
    if (k < j) {
      if (nsep == 1)
        b.add_char(separator[0]);
      else
        b.add(separator.data(), separator.size());
    }
  }
  b.finish();
  return 1;
}

namespace {

int str_concat(VmState* L) {
  int top = get_top(L);
  if (top >= ARG1 && is_buffer_value(stack_address(L, ARG1))) {
    CdataObject* c = stack_address(L, ARG1)->cdata();
    char* data = reinterpret_cast<char*>(c->data());
    size_t used = strnlen(data, c->size);
    for (int a = ARG2; a <= top; ++a) {
      size_t n;
      const char* s = to_text(L, a, &n);
      if (s == nullptr) continue;
      n = strnlen(s, n);
      size_t room = c->size - used;
      if (n > room) n = room;
      std::memcpy(data + used, s, n);
      used += n;
    }
    if (used < c->size) data[used] = '\0';
    push_number(L, static_cast<double>(used));
    return 1;
  }
  int count = 0;
  ensure_stack(L, top);
  for (int a = ARG1; a <= top; ++a) {
    if (type_of(L, a) == TAG_NULL) continue;
    push_value(L, a);
    ++count;
  }
  concat(L, count);
  return 1;
}

bool same_bytes(const char* a, const char* b, size_t n, bool ignore_case) {
  if (!ignore_case) return std::memcmp(a, b, n) == 0;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

int edge_test(VmState* L, bool at_end) {
  size_t len, n;
  const char* s = check_text(L, ARG1, &len);
  const char* part = check_text(L, ARG2, &n);
  s = to_text(L, ARG1, &len);
  if (n > len) return 0;
  const char* from = at_end ? s + len - n : s;
  push_boolean(L, same_bytes(from, part, n, truth(L, ARG3)));
  return 1;
}
int str_starts_with(VmState* L) { return edge_test(L, false); }
int str_ends_with(VmState* L) { return edge_test(L, true); }

int str_index_of(VmState* L) {
  size_t len, n;
  const char* s = check_text(L, ARG1, &len);
  const char* part = check_text(L, ARG2, &n);
  s = to_text(L, ARG1, &len);
  if (len == 0 || n == 0) return 0;
  int64_t size = static_cast<int64_t>(len);
  int64_t i = from_end(opt_int64(L, ARG3, 1), size), j = from_end(opt_int64(L, ARG4, size), size);
  if (i < 1) i = 1;
  if (j > size) j = size;
  if (i > j || j - i + 1 < static_cast<int64_t>(n)) return 0;
  const char* hit = static_cast<const char*>(memmem(s + i - 1, static_cast<size_t>(j - i + 1), part, n));
  if (hit == nullptr) return 0;
  push_number(L, static_cast<double>(hit - s + 1));
  push_number(L, static_cast<double>(hit - s + static_cast<ptrdiff_t>(n)));
  return 2;
}

int str_last_index_of(VmState* L) {
  size_t len, n;
  const char* s = check_text(L, ARG1, &len);
  const char* part = check_text(L, ARG2, &n);
  s = to_text(L, ARG1, &len);
  if (len == 0 || n == 0) return 0;
  int64_t size = static_cast<int64_t>(len);
  int64_t j = from_end(opt_int64(L, ARG3, size), size);
  if (j > size) j = size;
  for (int64_t end = j; end >= static_cast<int64_t>(n); --end) {
    const char* at = s + end - static_cast<int64_t>(n);
    if (*at == *part && std::memcmp(at, part, n) == 0) {
      push_number(L, static_cast<double>(end - static_cast<int64_t>(n) + 1));
      push_number(L, static_cast<double>(end));
      return 2;
    }
  }
  return 0;
}

// The byte set of indexAny: a string of bytes or one byte code.
void byte_set(VmState* L, int idx, bool* member) {
  if (type_of(L, idx) == TAG_NUMBER) {
    member[static_cast<unsigned char>(static_cast<int64_t>(to_number(L, idx)))] = true;
    return;
  }
  size_t n;
  const char* set = check_text(L, idx, &n);
  for (size_t i = 0; i < n; ++i) member[static_cast<unsigned char>(set[i])] = true;
}

// The first (forward) or last position from ARG3 on whose byte is one of ARG2's, or nothing.
int find_byte_of_set(VmState* L, bool forward) {
  size_t len;
  check_text(L, ARG1, &len);
  bool member[256] = {};
  byte_set(L, ARG2, member);
  const char* s = to_text(L, ARG1, &len);
  int64_t size = static_cast<int64_t>(len);
  int64_t i = from_end(opt_int64(L, ARG3, forward ? 1 : size), size);
  if (forward && i < 1) i = 1;
  if (!forward && i > size) i = size;
  for (int64_t k = i; k >= 1 && k <= size; k += forward ? 1 : -1)
    if (member[static_cast<unsigned char>(s[k - 1])]) {
      push_number(L, static_cast<double>(k));
      return 1;
    }
  return 0;
}

int str_index_any(VmState* L) { return find_byte_of_set(L, true); }

int str_last_index_any(VmState* L) { return find_byte_of_set(L, false); }

int str_len(VmState* L) {
  size_t len;
  const char* s = check_text(L, ARG1, &len);
  if (is_wide_arg(L, ARG1)) {
    push_number(L, 0);
    return 1;
  }
  int64_t size = static_cast<int64_t>(len);
  int64_t i = from_end(opt_int64(L, ARG2, 1), size), j = from_end(opt_int64(L, ARG3, size), size);
  if (i < 1) i = 1;
  if (j > size) j = size;
  if (i > j) {
    push_number(L, 0);
    return 1;
  }
  bool ascii = false;
  const char* from = s + i - 1;
  size_t n = static_cast<size_t>(j - i + 1);
  if (!utf8_valid(from, n, &ascii)) {
    push_number(L, 0);
    return 1;
  }
  if (n == len && type_of(L, ARG1) == TAG_STRING) set_string_flags(L, ARG1, ascii ? 0x09 : STR_UTF8);
  push_number(L, static_cast<double>(utf8_count(from, n)));
  return 1;
}

int str_bytes(VmState* L) {
  size_t len;
  const char* s = check_text(L, ARG1, &len);
  int64_t n = opt_int64(L, ARG2, 1);
  int64_t size = static_cast<int64_t>(len);
  int64_t i = from_end(opt_int64(L, ARG3, 1), size);
  if (i < 1) i = 1;
  if (i > size) {
    push_number(L, 0);
    return 1;
  }
  size_t at = static_cast<size_t>(i - 1), start = at;
  for (int64_t k = 0; k < n && at < len; ++k) at += utf8_char_at(s, len, at);
  push_number(L, static_cast<double>(at - start));
  return 1;
}

uint32_t crc_table_entry(uint32_t n) {
  uint32_t c = n;
  for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  return c;
}

const uint32_t* crc_table() {
  static uint32_t table[256];
  static bool ready = false;
  if (!ready) {
    for (uint32_t n = 0; n < 256; ++n) table[n] = crc_table_entry(n);
    ready = true;
  }
  return table;
}

int str_crc32(VmState* L) {
  size_t len;
  const Value* v = stack_address(L, ARG1);
  if (v->tag == TAG_CDATA && !v->cdata()->is_buffer()) {
    push_tostring(L, ARG1);
    replace(L, ARG1);
  }
  check_text(L, ARG1, &len);
  uint32_t crc = static_cast<uint32_t>(static_cast<int64_t>(opt_number(L, ARG2, 0)));
  if (!is_none_or_null(L, ARG3)) {
    int64_t limit = opt_int64(L, ARG3, 0);
    if (limit >= 0 && static_cast<size_t>(limit) < len) len = static_cast<size_t>(limit);
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(to_text(L, ARG1, &len));
  if (!is_none_or_null(L, ARG3)) {
    int64_t limit = opt_int64(L, ARG3, 0);
    if (limit >= 0 && static_cast<size_t>(limit) < len) len = static_cast<size_t>(limit);
  }
  const uint32_t* table = crc_table();
  uint32_t c = ~crc;
  for (size_t i = 0; i < len; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  push_number(L, static_cast<int32_t>(~c));
  return 1;
}

int str_random(VmState* L) {
  if (type_of(L, ARG1) == TAG_STRING) {
    int n = get_top(L) - 1;
    push_value(L, ARG1 + std::rand() % n);
    return 1;
  }
  int64_t n = static_cast<int64_t>(check_number(L, ARG1));
  size_t len;
  const char* chars = opt_text(L, ARG2, "abcdefghijklmnopqrstuvwxyz1234567890", &len);
  std::u16string units;
  if (is_wide_arg(L, ARG2))
    units.assign(reinterpret_cast<const char16_t*>(chars), len / 2);
  else
    utf8_to_utf16(chars, len, &units);
  std::u16string out;
  for (int64_t k = 0; k < n && !units.empty(); ++k) out.push_back(units[static_cast<size_t>(std::rand()) % units.size()]);
  std::string text;
  utf16_to_utf8(out.data(), out.size(), &text);
  push_lstring(L, text.data(), text.size());
  return 1;
}

}  // namespace

namespace {

bool printable_unit(uint32_t u) { return !(u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0)); }

const char* const BINARY_KEPT = "~!@#$%^&*()_+-={}[]|:;<>?/.,\"";

}  // namespace

bool escape_text(const char* s, size_t len, bool wide, bool json, bool ascii, bool force, std::string& out) {
  static const char hex[] = "0123456789ABCDEF";
  if (!wide && !utf8_valid(s, len)) {
    for (size_t i = 0; i < len; ++i) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      if (std::isalnum(c) && c < 0x80) {
        out.push_back(static_cast<char>(c));
      } else if (c != 0 && std::strchr(BINARY_KEPT, c)) {
        out.push_back(static_cast<char>(c));
      } else {
        out += "\\x";
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
      }
    }
    return true;
  }
  std::u16string u;
  if (wide)
    u.assign(reinterpret_cast<const char16_t*>(s), len / 2);
  else
    utf8_to_utf16(s, len, &u);
  if (!json && !ascii && !force) {
    bool plain = true;
    for (char16_t c : u) {
      if (c == '\n') continue;
      if (c == 0 || c == '\r' || c == '"' || !printable_unit(c)) {
        plain = false;
        break;
      }
    }
    if (plain) return false;
  }
  std::u16string r;
  auto add = [&r](const char* text) {
    while (*text) r.push_back(static_cast<char16_t>(*text++));
  };
  for (size_t i = 0; i < u.size(); ++i) {
    char16_t c = u[i];
    switch (c) {
      case 0:
        if (json)
          add("\\u0000");
        else if (i + 1 < u.size() && u[i + 1] >= '0' && u[i + 1] <= '9')
          add("\\x00");
        else
          add("\\0");
        continue;
      case 8: add("\\b"); continue;
      case 9: add("\\t"); continue;
      case 10: add("\\n"); continue;
      case 12: add("\\f"); continue;
      case 13: add("\\r"); continue;
      case '"':
        if (json) add("\\\""); else r.push_back(c);
        continue;
      case '\'':
        if (json) r.push_back(c); else add("\\'");
        continue;
      case '\\': add("\\\\"); continue;
      default: break;
    }
    if (!printable_unit(c) || (ascii && c >= 128)) {
      char buf[8] = {'\\', 'u', hex[(c >> 12) & 15], hex[(c >> 8) & 15], hex[(c >> 4) & 15], hex[c & 15], 0};
      add(buf);
    } else {
      r.push_back(c);
    }
  }
  utf16_to_utf8(r.data(), r.size(), &out);
  return true;
}

namespace {

int str_escape(VmState* L) {
  size_t len;
  const char* s = check_text(L, ARG1, &len);
  std::string out;
  if (!escape_text(s, len, is_wide_arg(L, ARG1), truth(L, ARG2), truth(L, ARG3), false, out)) return 0;
  push_lstring(L, out.data(), out.size());
  return 1;
}

int str_unescape(VmState* L) {
  size_t len;
  const char* s = check_text(L, ARG1, &len);
  std::string text(s, len);
  ensure_stack(L, 2);
  if (!unescape_text(L, text.data(), text.size())) raise_error(L);
  return 1;
}

bool is_hex_digit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return (std::tolower(static_cast<unsigned char>(c)) - 'a') + 10;
}

// hex(s, prefix = "\\x", kept bytes): letters, digits and the kept bytes stay; others become the
// prefix and two upper-case hexadecimal digits.
int str_hex(VmState* L) {
  size_t len, np, nk;
  check_text(L, ARG1, &len);
  const char* prefix = opt_text(L, ARG2, "\\x", &np);
  const char* kept = opt_text(L, ARG3, "", &nk);
  const char* s = to_text(L, ARG1, &len);
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if ((c < 0x80 && std::isalnum(c)) || (nk && std::memchr(kept, c, nk))) {
      out.push_back(static_cast<char>(c));
    } else {
      out.append(prefix, np);
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  push_lstring(L, out.data(), out.size());
  return 1;
}

// unhex(s, prefix = "\\x"): each prefix followed by two hexadecimal digits becomes that byte.
int str_unhex(VmState* L) {
  size_t len, np;
  check_text(L, ARG1, &len);
  const char* prefix = opt_text(L, ARG2, "\\x", &np);
  const char* s = to_text(L, ARG1, &len);
  std::string out;
  for (size_t i = 0; i < len;) {
    if (np && i + np + 2 <= len && std::memcmp(s + i, prefix, np) == 0 && is_hex_digit(s[i + np]) &&
        is_hex_digit(s[i + np + 1])) {
      out.push_back(static_cast<char>(hex_value(s[i + np]) * 16 + hex_value(s[i + np + 1])));
      i += np + 2;
    } else {
      out.push_back(s[i++]);
    }
  }
  push_lstring(L, out.data(), out.size());
  return 1;
}

// The two texts a comparison works on; false (after pushing -1, the answer for anything that
// is not text) when either argument is not a string or number.
struct TextPair {
  const char* a;
  size_t la;
  const char* b;
  size_t lb;
};

bool comparison_texts(VmState* L, TextPair* t) {
  t->a = to_text(L, ARG1, &t->la);
  t->b = to_text(L, ARG2, &t->lb);
  if (t->a != nullptr && t->b != nullptr) return true;
  push_number(L, -1);
  return false;
}

int str_cmp(VmState* L) {
  TextPair t;
  if (!comparison_texts(L, &t)) return 1;
  int64_t n = opt_int64(L, ARG3, static_cast<int64_t>(t.la > t.lb ? t.la : t.lb));
  for (int64_t i = 0; i < n; ++i) {
    int ca = static_cast<size_t>(i) < t.la ? std::tolower(static_cast<unsigned char>(t.a[i])) : 0;
    int cb = static_cast<size_t>(i) < t.lb ? std::tolower(static_cast<unsigned char>(t.b[i])) : 0;
    if (ca != cb) {
      push_number(L, ca - cb);
      return 1;
    }
    if (ca == 0 && static_cast<size_t>(i) >= t.la) break;
  }
  push_number(L, 0);
  return 1;
}

int str_collate(VmState* L) {
  TextPair t;
  if (!comparison_texts(L, &t)) return 1;
  std::string sa(t.a, strnlen(t.a, t.la)), sb(t.b, strnlen(t.b, t.lb));
  push_number(L, std::strcoll(sa.c_str(), sb.c_str()));
  return 1;
}

int str_str(VmState* L) {
  size_t len;
  const char* s = check_text(L, ARG1, &len);
  if (is_wide_arg(L, ARG1) || truth(L, ARG2)) {
    const char16_t* u = reinterpret_cast<const char16_t*>(s);
    size_t n = 0;
    while (n < len / 2 && u[n] != 0) ++n;
    push_wstring(L, u, n);
    return 1;
  }
  push_lstring(L, s, strnlen(s, len));
  return 1;
}

int str_from_char_code(VmState* L) {
  std::u16string units;
  auto add = [&](double d) {
    if (!(d >= 0 && d <= 0x10FFFF)) library_error(L, "Invalid UTF");
    utf16_append(units, static_cast<uint32_t>(d));
  };
  if (type_of(L, ARG1) == TAG_TABLE) {
    RawTable t(L, ARG1);
    int64_t n = t.length();
    for (int64_t i = 1; i <= n; ++i) {
      double d;
      Value v = t.get(i);
      if (!to_number_value(&v, &d)) type_arg_error(L, ARG1, "number");
      add(d);
    }
  } else {
    int top = get_top(L);
    for (int i = ARG1; i <= top; ++i) add(check_number(L, i));
  }
  std::string out;
  if (!utf16_to_utf8(units.data(), units.size(), &out)) library_error(L, "Invalid UTF");
  push_lstring(L, out.data(), out.size());
  return 1;
}

int str_is_utf16(VmState* L) {
  const Value* v = stack_address(L, ARG1);
  push_boolean(L, v->tag == TAG_STRING && v->string()->is_wide() && v->string()->length % 2 == 0);
  return 1;
}

int str_get_utf(VmState* L) {
  push_number(L, string_flags(L, ARG1));
  return 1;
}

int str_set_utf(VmState* L) {
  check_lstring(L, ARG1, nullptr);
  int flags = check_integer(L, ARG2);
  if (flags & STR_WIDE) arg_error(L, ARG1, "Invalid UTF");
  if (is_wide_arg(L, ARG1)) arg_error(L, ARG1, "Invalid string");
  if (type_of(L, ARG1) == TAG_STRING) stack_address(L, ARG1)->string()->flags = static_cast<uint8_t>(flags);
  return 0;
}

const LibraryFunction STRING_FUNCTIONS[] = {
    {"charAt", str_char_at},
    {"charCodeAt", str_char_code_at},
    {"slice", str_slice},
    {"left", str_left_impl},
    {"right", str_right},
    {"sliceUtf16", str_slice_utf16},
    {"lower", str_lower},
    {"upper", str_upper},
    {"pack", str_pack},
    {"unpack", str_unpack},
    {"reverse", str_reverse},
    {"repeat", str_repeat},
    {"trim", str_trim},
    {"trimLeft", str_trim_left},
    {"trimRight", str_trim_right},
    {"split", str_split},
    {"join", string_join},
    {"concat", str_concat},
    {"startsWith", str_starts_with},
    {"endsWith", str_ends_with},
    {"indexOf", str_index_of},
    {"lastIndexOf", str_last_index_of},
    {"indexAny", str_index_any},
    {"lastIndexAny", str_last_index_any},
    {"find", str_find},
    {"match", str_match},
    {"gmatch", str_gmatch},
    {"replace", str_replace},
    {"format", string_format},
    {"len", str_len},
    {"bytes", str_bytes},
    {"crc32", str_crc32},
    {"random", str_random},
    {"escape", str_escape},
    {"unescape", str_unescape},
    {"hex", str_hex},
    {"unhex", str_unhex},
    {"cmp", str_cmp},
    {"collate", str_collate},
    {"str", str_str},
    {"fromCharCode", str_from_char_code},
    {"toUtf16", str_to_utf16},
    {"fromUtf16", str_from_utf16},
    {"fromUtf16If", str_from_utf16_if},
    {"fromto", str_fromto},
    {"isUtf16", str_is_utf16},
    {"getUtf", str_get_utf},
    {"setUtf", str_set_utf},
    {"load", str_load},
    {"loadBuffer", str_load_buffer},
    {"save", str_save},
    {nullptr, nullptr},
};

}  // namespace

void open_string_library(VmState* L) {
  register_library(L, "string", STRING_FUNCTIONS);
  L->top--;
}

}  // namespace quevro
