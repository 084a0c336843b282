#include "lib/unsigned64.h"

#include <cmath>

namespace quevro {

namespace {

constexpr double TWO_TO_64 = 18446744073709551616.0;
constexpr double TWO_TO_31 = 2147483648.0;

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The value of c as a digit of any base up to 36; 36 for characters that are no digit.
int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 36;
}

}  // namespace

uint64_t u64_from_number(double n) {
  if (!std::isfinite(n)) return 0;
  // fmod is exact, and above 2^53 every double is an integer, so this reduction loses nothing.
  double m = std::fmod(std::trunc(n), TWO_TO_64);
  uint64_t magnitude = static_cast<uint64_t>(std::fabs(m));
  return m < 0 ? 0 - magnitude : magnitude;
}

uint64_t u64_from_halves(double low, double high) {
  double t = std::trunc(low);
  uint64_t lo = t < 0 && t >= -TWO_TO_31 ? static_cast<uint32_t>(static_cast<int32_t>(t)) : u64_from_number(low);
  uint64_t hi = u64_from_number(high) + (lo >> 32);
  return (lo & 0xFFFFFFFFu) + (hi << 32);
}

bool u64_parse(const char* text, size_t len, uint64_t* out) {
  size_t i = 0;
  while (i < len && is_blank(text[i])) ++i;
  bool negative = false;
  if (i < len && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i < len && text[i] == '0') {
    base = 8;
    // "0x" counts as a prefix only before a hexadecimal digit; otherwise the 0 is the number.
    if (i + 2 < len && (text[i + 1] == 'x' || text[i + 1] == 'X') && digit_value(text[i + 2]) < 16) {
      base = 16;
      i += 2;
    }
  }
  uint64_t v = 0;
  for (; i < len; ++i) {
    int d = digit_value(text[i]);
    if (d >= base) break;
    if (v > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  *out = negative ? 0 - v : v;
  return true;
}

std::string u64_digits(uint64_t v, int base) {
  static const char DIGITS[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  char buf[64];
  size_t at = sizeof buf;
  do {
    buf[--at] = DIGITS[v % static_cast<uint64_t>(base)];
    v /= static_cast<uint64_t>(base);
  } while (v != 0);
  return std::string(buf + at, sizeof buf - at);
}

std::string u64_byte_size_text(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  static const char* const UNITS[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  int unit = 0;
  // The unit index stops at EB before the shift could reach 64 bits.
  while (unit < 5 && (bytes >> (10 * (unit + 2))) != 0) ++unit;
  int shift = 10 * (unit + 1);
  uint64_t whole = bytes >> shift;
  int decimals = whole < 10 ? 2 : whole < 100 ? 1 : 0;
  unsigned scale = decimals == 2 ? 100 : decimals == 1 ? 10 : 1;
  // Scaled before the division so that the shown digits are truncated exactly.
  auto scaled = static_cast<uint64_t>((static_cast<unsigned __int128>(bytes) * scale) >> shift);
  std::string text = std::to_string(scaled / scale);
  if (decimals > 0) {
    std::string fraction = std::to_string(scaled % scale);
    text += "." + std::string(static_cast<size_t>(decimals) - fraction.size(), '0') + fraction;
  }
  return text + " " + UNITS[unit];
}

}  // namespace quevro
