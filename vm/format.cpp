#include "vm/format.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace quevro {

size_t format_number(double n, char* out) {
  // Integral values below 10^14 print all their digits under "%.14g"; writing them directly
  // avoids the general formatter on the most common path (counters, indices, sizes).
  if (n > -1e14 && n < 1e14 && n == static_cast<double>(static_cast<int64_t>(n)) && !(n == 0 && std::signbit(n))) {
    // Two digits a step from a table of pairs, written from the right: half the divisions of
    // one digit at a time (numbers turned into text are most of what string building does).
    static constexpr char PAIRS[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    int64_t v = static_cast<int64_t>(n);
    char digits[24];
    char* p = digits + sizeof digits;
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    while (u >= 100) {
      unsigned pair = static_cast<unsigned>(u % 100);
      u /= 100;
      p -= 2;
      p[0] = PAIRS[2 * pair];
      p[1] = PAIRS[2 * pair + 1];
    }
    if (u >= 10) {
      p -= 2;
      p[0] = PAIRS[2 * u];
      p[1] = PAIRS[2 * u + 1];
    } else {
      *--p = static_cast<char>('0' + u);
    }
    size_t len = 0;
    if (v < 0) out[len++] = '-';
    size_t count = static_cast<size_t>(digits + sizeof digits - p);
    std::memcpy(out + len, p, count);
    len += count;
    out[len] = '\0';
    return len;
  }
  int len = std::snprintf(out, 32, "%.14g", n);
  return len < 0 ? 0 : static_cast<size_t>(len);
}

std::string format_message(const char* fmt, const FormatArg* args, size_t count) {
  std::string out;
  size_t next = 0;
  auto take = [&]() -> const FormatArg* { return next < count ? &args[next++] : nullptr; };
  for (const char* p = fmt; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    char d = p[1];
    if (d == '\0') {
      out += '%';
      break;
    }
    ++p;
    const FormatArg* a;
    char buf[64];
    switch (d) {
      case '%': out += '%'; break;
      case 'c':
        if ((a = take())) out += static_cast<char>(a->kind == FormatArg::INTEGER ? a->i : 0);
        break;
      case 'd':
        if ((a = take())) {
          long long v = a->kind == FormatArg::INTEGER ? a->i : a->kind == FormatArg::NUMBER ? static_cast<long long>(a->n) : 0;
          std::snprintf(buf, sizeof buf, "%lld", v);
          out += buf;
        }
        break;
      case 'f':
        if ((a = take())) {
          double v = a->kind == FormatArg::NUMBER ? a->n : a->kind == FormatArg::INTEGER ? static_cast<double>(a->i) : 0;
          out.append(buf, format_number(v, buf));
        }
        break;
      case 'p':
        if ((a = take())) {
          std::snprintf(buf, sizeof buf, "%p", a->kind == FormatArg::POINTER ? a->p : nullptr);
          out += buf;
        }
        break;
      case 's':
        if ((a = take())) out += (a->kind == FormatArg::TEXT && a->s) ? a->s : "(null)";
        break;
      default:
        out += '%';
        out += d;
        break;
    }
  }
  return out;
}

}  // namespace quevro
