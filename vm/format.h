// Formatted messages for the native interface: "%%", "%c", "%d", "%f", "%p" and "%s"; any other
// directive is copied literally. Arguments are typed, so a mismatch cannot read garbage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vm/value.h"

namespace quevro {

struct FormatArg {
  enum Kind { INTEGER, NUMBER, TEXT, POINTER } kind;
  union {
    int64_t i;
    double n;
    const char* s;
    const void* p;
  };
  FormatArg(int v) : kind(INTEGER), i(v) {}
  FormatArg(unsigned v) : kind(INTEGER), i(v) {}
  FormatArg(long v) : kind(INTEGER), i(v) {}
  FormatArg(unsigned long v) : kind(INTEGER), i(static_cast<int64_t>(v)) {}
  FormatArg(long long v) : kind(INTEGER), i(v) {}
  FormatArg(double v) : kind(NUMBER), n(v) {}
  FormatArg(const char* v) : kind(TEXT), s(v) {}
  FormatArg(const void* v) : kind(POINTER), p(v) {}
};

// Appends the number's text ("%.14g") to out; returns the number of bytes written (at most 31).
size_t format_number(double n, char* out);

std::string format_message(const char* fmt, const FormatArg* args, size_t count);

template <class... A>
std::string format_message(const char* fmt, A... args) {
  if constexpr (sizeof...(A) == 0) {
    return format_message(fmt, static_cast<const FormatArg*>(nullptr), 0);
  } else {
    const FormatArg list[] = {FormatArg(args)...};
    return format_message(fmt, list, sizeof...(A));
  }
}

}  // namespace quevro
