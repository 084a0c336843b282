// Small helpers shared by the string, pattern and table libraries: argument slots, text
// arguments (strings, numbers and buffers), and positions that count from the end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vm/api.h"
#include "vm/arguments.h"
#include "vm/cdata.h"

namespace quevro {

// Most results a native function may leave on the stack at once.
constexpr int MAX_RESULTS = 50000;

inline bool is_buffer_value(const Value* v) { return v->tag == TAG_CDATA && v->cdata()->is_buffer(); }

// The bytes of a string, number ("%.14g") or buffer argument, or null for anything else.
inline const char* to_text(VmState* L, int idx, size_t* len) {
  const Value* v = stack_address(L, idx);
  if (v->tag == TAG_STRING) {
    *len = v->string()->length;
    return v->string()->data();
  }
  if (v->tag == TAG_NUMBER || is_buffer_value(v)) return to_lstring(L, idx, len);
  *len = 0;
  return nullptr;
}

// As to_text, raising the "string" type error for other values.
inline const char* check_text(VmState* L, int idx, size_t* len) {
  const char* s = to_text(L, idx, len);
  if (s == nullptr) type_arg_error(L, idx, "string");
  return s;
}

inline const char* opt_text(VmState* L, int idx, const char* fallback, size_t* len) {
  if (is_none_or_null(L, idx)) {
    *len = fallback ? std::char_traits<char>::length(fallback) : 0;
    return fallback;
  }
  return check_text(L, idx, len);
}

// An integer argument as a 64-bit value (numbers are truncated toward zero).
inline int64_t opt_int64(VmState* L, int idx, int64_t fallback) {
  const Value* a = stack_address(L, idx);
  double n;
  if (a->tag == TAG_NUMBER) {
    n = a->u.n;
  } else {
    if (is_none_or_null(L, idx)) return fallback;
    n = check_number(L, idx);
  }
  if (n != n) return 0;
  if (n >= 9.2e18) return INT64_MAX / 2;
  if (n <= -9.2e18) return INT64_MIN / 2;
  return static_cast<int64_t>(n);
}

// A position that may count from the end: -1 is the last of n.
inline int64_t from_end(int64_t pos, int64_t n) { return pos < 0 ? pos + n + 1 : pos; }

inline int visible_args(VmState* L) { return get_top(L) > 1 ? get_top(L) - 1 : 0; }

}  // namespace quevro
