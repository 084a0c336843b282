// string.format: '%' [flags] [width] ['.' precision] conversion, written through the C library's
// formatter for the numeric conversions.
#include <algorithm>
#include <cfenv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <langinfo.h>
#include <string>

#include "lib/base_library.h"
#include "lib/general_number.h"
#include "lib/library_support.h"
#include "lib/string_buffer.h"
#include "lib/thread_cache.h"
#include "vm/metamethods.h"
#include "lib/string_library.h"

namespace quevro {

namespace {

constexpr int MAX_FLAGS = 5;

int64_t truncate_int64(double n) {
  if (n != n) return 0;
  if (n >= 9223372036854775807.0) return INT64_MAX;
  if (n <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(n);
}

// A math.size64 object: an 8-byte cdata whose metatable has `_type` "size64" or is registered
// as registry.math.size64.
bool size64_value(VmState* L, int idx, uint64_t* out) {
  const Value* v = stack_address(L, idx);
  if (v->tag != TAG_CDATA || v->cdata()->is_buffer() || v->cdata()->size != 8) return false;
  int top = get_top(L);
  ensure_stack(L, 3);
  get_metatable(L, idx);
  int mt = get_top(L);
  raw_get_field(L, REGISTRY_INDEX, "math");
  if (type_of(L, -1) == TAG_TABLE) raw_get_field(L, -1, "size64");
  bool registered = type_of(L, -1) == TAG_TABLE && raw_equal(L, -1, mt);
  if (!registered) {
    raw_get_field(L, mt, "_type");
    registered = type_of(L, -1) == TAG_STRING && std::strcmp(to_string(L, -1), "size64") == 0;
  }
  set_top(L, top);
  if (!registered) return false;
  v = stack_address(L, idx);
  uint32_t low, high;
  std::memcpy(&low, v->cdata()->data(), 4);
  std::memcpy(&high, v->cdata()->data() + 4, 4);
  *out = (static_cast<uint64_t>(high) << 32) | low;
  return true;
}

double number_arg(VmState* L, int idx) {
  const Value* v = stack_address(L, idx);
  if (v->tag == TAG_NUMBER) return v->u.n;
  double n;
  if (!to_number_value(v, &n)) type_arg_error(L, idx, "number");
  return n;
}

// The decimal point of the current numeric locale, as the C library's formatter writes it; 0 when
// it is not a single byte.
char single_byte_decimal_point() {
  const char* point = nl_langinfo(RADIXCHAR);
  return point && point[0] && !point[1] ? point[0] : 0;
}

template <class T>
void add_printf(StringBuffer& b, const std::string& directive, T value) {
  char buf[512];
  int n = std::snprintf(buf, sizeof buf, directive.c_str(), value);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof buf) {
    b.add(buf, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(&big[0], big.size(), directive.c_str(), value);
  b.add(big.data(), static_cast<size_t>(n));
}

void add_quoted(StringBuffer& b, const char* s, size_t len) {
  b.add_char('\'');
  for (size_t i = 0; i < len; ++i) {
    char c = s[i];
    switch (c) {
      case '\0': b.add("\\u0000", 6); break;
      case '\b': b.add("\\b", 2); break;
      case '\t': b.add("\\t", 2); break;
      case '\n': b.add("\\n", 2); break;
      case '\f': b.add("\\f", 2); break;
      case '\r': b.add("\\r", 2); break;
      case '"':
      case '\'':
      case '\\':
        b.add_char('\\');
        b.add_char(c);
        break;
      default: b.add_char(c); break;
    }
  }
  b.add_char('\'');
}

std::string binary_digits(int64_t v) {
  uint64_t u = static_cast<uint64_t>(v);
  std::string out;
  do {
    out.insert(out.begin(), static_cast<char>('0' + (u & 1)));
    u >>= 1;
  } while (u);
  return out;
}

// The padding of a directive whose flags are only '-' and '0', with a width and no precision.
struct Padding {
  bool plain_flags = false;  // no flag but '-' and '0'
  bool plain = false;        // and no precision: an integer or string directive can be written here
  bool left = false;         // '-': pad on the right
  bool zeros = false;        // '0' (and no '-'): pad with zeros after the sign
  size_t width = 0;
};

Padding read_padding(const char* fmt, size_t flags_start, size_t flags_end, size_t width_end, bool has_precision) {
  Padding p;
  for (size_t i = flags_start; i < flags_end; ++i) {
    if (fmt[i] == '-') p.left = true;
    else if (fmt[i] == '0') p.zeros = true;
    else return p;
  }
  if (p.left) p.zeros = false;
  for (size_t i = flags_end; i < width_end; ++i) p.width = p.width * 10 + static_cast<size_t>(fmt[i] - '0');
  p.plain_flags = true;
  p.plain = !has_precision;
  return p;
}

// Writes sign, digits and padding as the formatter lays out a number of this padding.
void add_padded_number(StringBuffer& b, const Padding& p, bool negative, const char* text, size_t length) {
  size_t total = length + (negative ? 1 : 0);
  size_t pad = p.width > total ? p.width - total : 0;
  if (!p.left && !p.zeros) b.add_fill(' ', pad);
  if (negative) b.add_char('-');
  if (p.zeros) b.add_fill('0', pad);
  b.add(text, length);
  if (p.left) b.add_fill(' ', pad);
}

// Writes "%.<precision>f" of such a directive directly when the exact result is cheap to have:
// the value is m * 2^e with a 53-bit m, so x * 10^precision is an integer scaled by a power of
// two, held exactly in 128 bits, and rounded to nearest with ties to even as the formatter does
// (in the default rounding mode, the only one checked for). Returns false for what it leaves to
// the formatter: infinities, NaN, very large or very small magnitudes, more than 9 decimals, a
// decimal point of more than one byte. The formatter's exact multi-precision conversion costs
// two thousand instructions a call and was most of the time of formatting reports.
bool add_fixed(StringBuffer& b, const Padding& p, int precision, double x) {
  if (precision > 9 || !std::isfinite(x) || std::fegetround() != FE_TONEAREST) return false;
  char point = single_byte_decimal_point();
  if (point == 0) return false;
  bool negative = std::signbit(x);
  uint64_t bits;
  double magnitude = std::fabs(x);
  std::memcpy(&bits, &magnitude, sizeof bits);
  int biased = static_cast<int>(bits >> 52);
  uint64_t q = 0;
  if (magnitude != 0) {
    if (biased == 0) return false;  // subnormal: far below anything printed here
    unsigned __int128 m = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    int e = biased - 1075;
    uint64_t scale = 1;
    for (int i = 0; i < precision; ++i) scale *= 10;
    unsigned __int128 v = m * scale;  // below 2^83
    if (e >= 0) {
      if (e > 40) return false;
      v <<= e;
    } else {
      int s = -e;
      if (s > 120) return false;
      unsigned __int128 rest = v & ((static_cast<unsigned __int128>(1) << s) - 1);
      unsigned __int128 half = static_cast<unsigned __int128>(1) << (s - 1);
      v >>= s;
      if (rest > half || (rest == half && (v & 1))) ++v;
    }
    if (v >> 64) return false;
    q = static_cast<uint64_t>(v);
  }
  // Written from the last digit back: the decimals, the point, then the integer part (at least
  // one digit).
  char text[48];
  char* end = text + sizeof text;
  char* at = end;
  for (int i = 0; i < precision; ++i) {
    *--at = static_cast<char>('0' + q % 10);
    q /= 10;
  }
  if (precision > 0) *--at = point;
  do {
    *--at = static_cast<char>('0' + q % 10);
    q /= 10;
  } while (q);
  add_padded_number(b, p, negative, at, static_cast<size_t>(end - at));
  return true;
}

// Writes an integer conversion (d, i, u, x, X, o) of such a directive directly, with exactly the
// C library formatter's output: reports format mostly integers with a width, and the formatter
// spends several hundred instructions a call on a few digits and some padding.
void add_integer(StringBuffer& b, const Padding& p, uint64_t magnitude, bool negative, char conv) {
  char text[24];
  char* end = text + sizeof text;
  char* at = end;
  if (conv == 'x' || conv == 'X') {
    const char* alphabet = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
      *--at = alphabet[magnitude & 15];
      magnitude >>= 4;
    } while (magnitude);
  } else if (conv == 'o') {
    do {
      *--at = static_cast<char>('0' + (magnitude & 7));
      magnitude >>= 3;
    } while (magnitude);
  } else {
    do {
      *--at = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude);
  }
  add_padded_number(b, p, negative, at, static_cast<size_t>(end - at));
}

// Writes a string conversion of such a directive (without the '0' flag) directly; like the
// formatter, the text ends at its first zero byte.
void add_padded_text(StringBuffer& b, const Padding& p, const char* s, size_t len) {
  len = strnlen(s, len);
  size_t pad = p.width > len ? p.width - len : 0;
  if (!p.left) b.add_fill(' ', pad);
  b.add(s, len);
  if (p.left) b.add_fill(' ', pad);
}

// A directive as read from the format: where its parts lie (offsets into the format) and what
// they say.
struct Directive {
  uint32_t start = 0;  // the first byte after '%'
  uint32_t flags_end = 0;
  uint32_t width_end = 0;
  uint32_t end = 0;  // past the conversion
  int precision = 0;
  bool has_precision = false;
  char conv = 0;
  Padding padding;
};

// Writes directive d of the format with the argument in slot arg (top: the last argument's slot).
// base and directive are scratch strings kept by the caller so that their storage is reused.
void write_directive(VmState* L, StringBuffer& b, const char* fmt, const Directive& d, int arg, int top,
                     std::string& base, std::string& directive) {
  const size_t start = d.start, flags_end = d.flags_end, width_end = d.width_end, i = d.end;
  const bool has_precision = d.has_precision;
  const int precision = d.precision;
  const char conv = d.conv;
  const Padding& padding = d.padding;
  // No flags, width or precision: the directive is "%" and its conversion.
  const bool bare = start + 1 == i;
  // The directive up to its conversion ("%" and its flags, width and precision), built only for
  // the conversions written by the C library's formatter.
  auto with_base = [&]() -> std::string& {
    base.assign(1, '%');
    base.append(fmt + start, i - 1 - start);
    return base;
  };
  char num[32];
  // Pieces of the result may lie above the arguments, so a missing one is caught here.
  if (arg > top && conv != 'p') {
    if (conv == 's') arg_error(L, arg, "\n{Expected}:value ");
    const char* expected = conv == 'q' ? "string" : "number";
    if (std::strchr("diuxXobceEfgGFq", conv) == nullptr) library_error(L, "invalid option to 'format'");
    arg_error(L, arg, format_message("\n{Expected}:%s\n{Got}:%s", expected, "no value").c_str());
  }
  switch (conv) {
    case 'd':
    case 'i': {
      int64_t v = truncate_int64(number_arg(L, arg));
      if (padding.plain)
        add_integer(b, padding, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v), v < 0, conv);
      else
        add_printf(b, with_base() + "lld", static_cast<long long>(v));
      break;
    }
    case 'x':
    case 'X':
    case 'o':
    case 'u': {
      uint64_t u;
      if (!size64_value(L, arg, &u)) u = static_cast<uint64_t>(truncate_int64(number_arg(L, arg)));
      if (padding.plain)
        add_integer(b, padding, u, false, conv);
      else
        add_printf(b, with_base() + "ll" + conv, static_cast<unsigned long long>(u));
      break;
    }
    case 'b': {
      std::string bits = binary_digits(truncate_int64(number_arg(L, arg)));
      add_printf(b, with_base() + "s", bits.c_str());
      break;
    }
    case 'c': add_printf(b, with_base() + "c", static_cast<int>(truncate_int64(number_arg(L, arg)))); break;
    case 'f': {
      double n = number_arg(L, arg);
      if (!padding.plain_flags || !add_fixed(b, padding, has_precision ? precision : 6, n)) add_printf(b, with_base() + conv, n);
      break;
    }
    case 'g':
      if (has_precision && start == width_end) {
        // "%.<P>g", the form serialisers write numbers with.
        double n = number_arg(L, arg);
        char point;
        char text[48];
        size_t length;
        if (std::fegetround() == FE_TONEAREST && (point = single_byte_decimal_point()) != 0 &&
            (length = general_number_text(n, precision, point, text)) != 0) {
          b.add(text, length);
        } else {
          add_printf(b, with_base() + conv, n);
        }
        break;
      }
      add_printf(b, with_base() + conv, number_arg(L, arg));
      break;
    case 'e':
    case 'E':
    case 'G': add_printf(b, with_base() + conv, number_arg(L, arg)); break;
    case 'F': {
      double n = number_arg(L, arg);
      if (n == 0) {
        directive = with_base();
        size_t dot = directive.find('.');
        if (dot != std::string::npos) directive.erase(dot);
        add_printf(b, directive + "s", "0");
      } else if (n == std::trunc(n) && std::fabs(n) <= 9007199254740992.0) {
        directive = with_base();
        size_t dot = directive.find('.');
        if (dot != std::string::npos) directive.erase(dot);
        add_printf(b, directive + "lld", static_cast<long long>(n));
      } else if (n == std::trunc(n)) {
        add_printf(b, "%.0f", n);
      } else {
        char buf[512];
        int len = std::snprintf(buf, sizeof buf, (with_base() + "f").c_str(), n);
        if (len < 0 || static_cast<size_t>(len) >= sizeof buf) len = std::snprintf(buf, sizeof buf, "%.14g", n);
        std::string text(buf, static_cast<size_t>(len));
        char point = '.';
        if (const lconv* lc = std::localeconv(); lc && lc->decimal_point && lc->decimal_point[0]) point = lc->decimal_point[0];
        size_t dot = text.find(point);
        if (dot != std::string::npos) {
          // Trailing zeros and a trailing point go; padding on the left stays.
          size_t end = text.size();
          while (end > dot + 1 && text[end - 1] == ' ') --end;
          size_t tail = text.size() - end;
          size_t cut = end;
          while (cut > dot + 1 && text[cut - 1] == '0') --cut;
          if (cut == dot + 1) --cut;
          text = text.substr(0, cut) + std::string(tail, ' ');
        }
        b.add(text.data(), text.size());
      }
      break;
    }
    case 'p': {
      const Value* v = arg > top ? &ABSENT_VALUE : stack_address(L, arg);
      uintptr_t address = 0;
      if (v->tag == TAG_POINTER) address = reinterpret_cast<uintptr_t>(v->u.p);
      else if (v->tag == TAG_CDATA) address = reinterpret_cast<uintptr_t>(v->cdata()->data());
      add_printf(b, with_base() + "llX", static_cast<unsigned long long>(address));
      break;
    }
    case 'q': {
      size_t len;
      const char* s = check_text(L, arg, &len);
      add_quoted(b, s, len);
      break;
    }
    case 's': {
      const Value* v = stack_address(L, arg);
      if (v->tag == TAG_NUMBER) {
        size_t n = format_number(v->u.n, num);
        if (bare) {
          b.add(num, n);
        } else {
          std::string text(num, n);
          add_printf(b, with_base() + "s", text.c_str());
        }
        break;
      }
      size_t len;
      const char* s = to_text(L, arg, &len);
      if (s == nullptr) {
        ensure_stack(L, 2);
        push_tostring(L, arg);
        replace(L, arg);
        s = to_text(L, arg, &len);
        if (s == nullptr) type_arg_error(L, arg, "string");
      }
      if (bare || (!has_precision && len >= 100)) {
        b.add(s, len);
      } else if (padding.plain && !padding.zeros && std::memchr(fmt + start, '0', flags_end - start) == nullptr) {
        add_padded_text(b, padding, s, len);
      } else {
        std::string text(s, strnlen(s, len));
        add_printf(b, with_base() + "s", text.c_str());
      }
      break;
    }
    default: library_error(L, "invalid option to 'format'");
  }
}

// A piece of a format: literal text, then a directive (conv 0: none, at the format's end; '%': a
// percent sign, "%%").
struct FormatStep {
  uint32_t literal_begin = 0;
  uint32_t literal_end = 0;
  uint32_t next = 0;  // where the format goes on after the step
  Directive d;
};

// The formats read before, by their bytes: a loop that formats lines with the same format reads
// its flags, widths and precisions once. Only formats read to their end are kept, so every
// directive of an entry is valid and replaying the steps raises the same errors (those of the
// arguments) at the same points. Each entry is placed by the address of the format's bytes, the
// one a script's constant format has on every call; the bytes are always compared.
struct FormatEntry {
  static constexpr size_t LONGEST = 128;
  static constexpr int MOST_STEPS = 12;
  uint32_t length = 0;  // 0: a free entry
  int count = 0;
  char bytes[LONGEST] = {};
  FormatStep steps[MOST_STEPS] = {};
};

struct FormatCache {
  static constexpr int COUNT = 8;
  FormatEntry entries[COUNT];
  uint32_t generation = 0;  // counts the stores, which may replace an entry being replayed

  static int slot(const char* p, size_t len) {
    auto a = reinterpret_cast<uintptr_t>(p);
    return static_cast<int>(((a >> 4) ^ (a >> 9) ^ len) & (COUNT - 1));
  }
  const FormatEntry* find(const char* p, size_t len) const {
    const FormatEntry& e = entries[slot(p, len)];
    return e.length == len && std::memcmp(e.bytes, p, len) == 0 ? &e : nullptr;
  }
  void store(const char* p, size_t len, const FormatStep* steps, int count) {
    FormatEntry& e = entries[slot(p, len)];
    ++generation;
    e.length = static_cast<uint32_t>(len);
    std::memcpy(e.bytes, p, len);
    e.count = count;
    std::copy(steps, steps + count, e.steps);
  }
};

FormatCache& format_cache() { return ThreadCache<FormatCache>::get(); }

}  // namespace

int string_format(VmState* L) {
  size_t flen;
  const char* f = check_text(L, ARG1, &flen);
  // A string format stays put while its slot holds it; other texts (a buffer's bytes may change
  // under a conversion's metamethod) are copied first, and not remembered.
  std::string copy;
  bool constant_bytes = stack_address(L, ARG1)->tag == TAG_STRING;
  if (!constant_bytes) {
    copy.assign(f, flen);
    f = copy.data();
  }
  const char* fmt = f;
  const size_t fmt_size = flen;
  int top = get_top(L);
  int arg = ARG1;
  StringBuffer b(L);
  std::string directive;
  std::string base;
  bool recordable = constant_bytes && fmt_size != 0 && fmt_size <= FormatEntry::LONGEST;
  size_t i = 0;
  if (recordable) {
    FormatCache& cache = format_cache();
    if (const FormatEntry* e = cache.find(fmt, fmt_size)) {
      // A conversion's metamethod may format with other formats meanwhile, and a store may
      // replace this entry: each step is copied before use, and after a store the rest of the
      // format is read again.
      uint32_t generation = cache.generation;
      bool replaced = false;
      for (int k = 0; k < e->count; ++k) {
        const FormatStep step = e->steps[k];
        b.add(fmt + step.literal_begin, step.literal_end - step.literal_begin);
        if (step.d.conv == '%') {
          b.add_char('%');
        } else if (step.d.conv != 0) {
          ++arg;
          write_directive(L, b, fmt, step.d, arg, top, base, directive);
        }
        i = step.next;
        if (cache.generation != generation) {
          replaced = true;
          break;
        }
      }
      if (!replaced) {
        b.finish();
        return 1;
      }
      recordable = false;
    }
  }
  FormatStep steps[FormatEntry::MOST_STEPS];
  int count = 0;
  auto record = [&](size_t literal_begin, size_t literal_end, size_t next, const Directive& d) {
    if (!recordable) return;
    if (count == FormatEntry::MOST_STEPS) {
      recordable = false;
      return;
    }
    FormatStep& step = steps[count++];
    step.literal_begin = static_cast<uint32_t>(literal_begin);
    step.literal_end = static_cast<uint32_t>(literal_end);
    step.next = static_cast<uint32_t>(next);
    step.d = d;
  };
  while (i < fmt_size) {
    // The text before a directive is mostly a few bytes: looked at directly, then by memchr.
    const char* pct = fmt + i;
    const char* near_end = fmt + (fmt_size - i > 16 ? i + 16 : fmt_size);
    while (pct < near_end && *pct != '%') ++pct;
    if (pct == near_end) pct = static_cast<const char*>(std::memchr(pct, '%', static_cast<size_t>(fmt + fmt_size - pct)));
    if (pct == nullptr) {
      b.add(fmt + i, fmt_size - i);
      record(i, fmt_size, fmt_size, Directive());
      break;
    }
    size_t at = static_cast<size_t>(pct - fmt);
    b.add(fmt + i, at - i);
    size_t literal_begin = i;
    i = at + 1;
    Directive d;
    if (i < fmt_size && fmt[i] == '%') {
      b.add_char('%');
      ++i;
      d.conv = '%';
      record(literal_begin, at, i, d);
      continue;
    }
    // The directive: flags, width and precision.
    size_t start = i;
    while (i < fmt_size && (fmt[i] == '-' || fmt[i] == '+' || fmt[i] == ' ' || fmt[i] == '#' || fmt[i] == '0')) ++i;
    if (i - start > MAX_FLAGS) library_error(L, "invalid format (repeated flags)");
    size_t flags_end = i;
    size_t digits = 0;
    while (i < fmt_size && fmt[i] >= '0' && fmt[i] <= '9') ++i, ++digits;
    if (digits > 2) library_error(L, "invalid format (width or precision too long)");
    size_t width_end = i;
    bool has_precision = false;
    int precision = 0;
    if (i < fmt_size && fmt[i] == '.') {
      has_precision = true;
      ++i;
      digits = 0;
      while (i < fmt_size && fmt[i] >= '0' && fmt[i] <= '9') precision = precision * 10 + (fmt[i] - '0'), ++i, ++digits;
      if (digits > 2) library_error(L, "invalid format (width or precision too long)");
    }
    if (i >= fmt_size) library_error(L, "invalid option to 'format'");
    d.conv = fmt[i++];
    d.start = static_cast<uint32_t>(start);
    d.flags_end = static_cast<uint32_t>(flags_end);
    d.width_end = static_cast<uint32_t>(width_end);
    d.end = static_cast<uint32_t>(i);
    d.has_precision = has_precision;
    d.precision = precision;
    d.padding = read_padding(fmt, start, flags_end, width_end, has_precision);
    ++arg;
    write_directive(L, b, fmt, d, arg, top, base, directive);
    record(literal_begin, at, i, d);
  }
  // Read to its end: every directive in it is valid.
  if (recordable) format_cache().store(fmt, fmt_size, steps, count);
  b.finish();
  return 1;
}

}  // namespace quevro
