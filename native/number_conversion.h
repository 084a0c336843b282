// Numbers as native integers: the truncations and roundings native calls and structures use.
// Out-of-range values wrap to the width as the machine would; NaN becomes 0 rather than
// undefined behaviour.
#pragma once

#include <cmath>
#include <cstdint>

namespace quevro {

inline int64_t truncate_to_int64(double n) {
  if (!(n == n)) return 0;
  if (n >= 9223372036854775807.0) return INT64_MAX;
  if (n <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(n);
}

// Values beyond the signed range still carry their low 64 bits (an address or a mask may be
// written as a large positive number).
inline uint64_t truncate_to_uint64(double n) {
  if (n >= 9223372036854775808.0 && n < 18446744073709551616.0) return static_cast<uint64_t>(n);
  return static_cast<uint64_t>(truncate_to_int64(n));
}

// Nearest integer, ties to even, cut to 32 bits.
inline int32_t round_to_int32(double n) {
  return static_cast<int32_t>(static_cast<uint32_t>(truncate_to_uint64(std::nearbyint(n))));
}

}  // namespace quevro
