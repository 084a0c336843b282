// "%.<P>g" written directly for the numbers it prints in fixed notation, byte for byte as the C
// library's formatter writes them (in the default rounding mode, with a one-byte decimal point).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quevro {

// Writes "%.<precision>g" of x into out (at least 48 bytes) and returns its length, or returns 0
// for what it leaves to the formatter: zero, infinities, NaN, subnormals, numbers the conversion
// writes with an exponent, precisions outside 1..17. A value is m * 2^e with a 53-bit m, so
// x * 10^d for the d decimals of fixed notation (at most 20 here) is an integer scaled by a power
// of two held exactly in 128 bits, rounded to nearest with ties to even as the formatter does.
// The formatter's exact multi-precision conversion costs a thousand instructions and more.
inline size_t general_number_text(double x, int precision, char point, char* out) {
  if (precision < 1 || precision > 17 || !std::isfinite(x) || x == 0) return 0;
  bool negative = std::signbit(x);
  double magnitude = std::fabs(x);
  if (magnitude < 1e-4 || magnitude >= 1e17) return 0;  // written with an exponent, or close to it
  uint64_t bits;
  std::memcpy(&bits, &magnitude, sizeof bits);
  int biased = static_cast<int>(bits >> 52);
  if (biased == 0) return 0;
  uint64_t m = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
  int e = biased - 1075;
  static constexpr uint64_t POW10[] = {1ull,
                                       10ull,
                                       100ull,
                                       1000ull,
                                       10000ull,
                                       100000ull,
                                       1000000ull,
                                       10000000ull,
                                       100000000ull,
                                       1000000000ull,
                                       10000000000ull,
                                       100000000000ull,
                                       1000000000000ull,
                                       10000000000000ull,
                                       100000000000000ull,
                                       1000000000000000ull,
                                       10000000000000000ull,
                                       100000000000000000ull,
                                       1000000000000000000ull,
                                       10000000000000000000ull};
  // The decimal exponent X of the value rounded to precision digits, from an estimate by the
  // binary exponent, corrected until the rounded digits number exactly precision.
  int exponent = static_cast<int>(std::floor((e + 52) * 0.30102999566398120));
  uint64_t q = 0;
  const uint64_t low = POW10[precision - 1], high = POW10[precision];
  for (int attempt = 0;; ++attempt) {
    if (attempt == 4) return 0;
    int d = precision - 1 - exponent;  // decimals of the fixed notation
    if (exponent < -4 || d < 0) return 0;  // the conversion writes an exponent
    if (d > 20) return 0;
    unsigned __int128 v = static_cast<unsigned __int128>(m);
    if (d <= 19) {
      v *= POW10[d];
    } else {
      v *= POW10[19];
      v *= 10u;
    }
    if (e >= 0) {
      v <<= e;  // e is at most 4 below 1e17
    } else {
      int s = -e;
      if (s >= 127) return 0;
      unsigned __int128 one = 1;
      unsigned __int128 rest = v & ((one << s) - 1);
      unsigned __int128 half = one << (s - 1);
      v >>= s;
      if (rest > half || (rest == half && (v & 1))) ++v;
    }
    if (v >= high) {
      ++exponent;
      continue;
    }
    if (v < low) {
      --exponent;
      continue;
    }
    q = static_cast<uint64_t>(v);
    break;
  }
  char digits[20];
  for (int k = precision - 1; k >= 0; --k) {
    digits[k] = static_cast<char>('0' + q % 10);
    q /= 10;
  }
  size_t n = 0;
  if (negative) out[n++] = '-';
  // The digits after the point, less the trailing zeros.
  int last = precision;
  while (last > 0 && digits[last - 1] == '0') --last;
  if (exponent >= 0) {
    for (int k = 0; k <= exponent; ++k) out[n++] = digits[k];
    if (last > exponent + 1) {
      out[n++] = point;
      for (int k = exponent + 1; k < last; ++k) out[n++] = digits[k];
    }
  } else {
    out[n++] = '0';
    out[n++] = point;
    for (int k = 0; k < -exponent - 1; ++k) out[n++] = '0';
    for (int k = 0; k < last; ++k) out[n++] = digits[k];
  }
  return n;
}

}  // namespace quevro
