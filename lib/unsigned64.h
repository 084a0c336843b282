// Unsigned 64-bit values as scripts carry them in math.size64: conversions from and to script
// numbers and text, and the operations whose edge cases need a rule (shifts, byte sizes). No
// state is involved; the script type in lib/size64.h builds on these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quevro {

// A number taken as a 64-bit integer: truncated toward zero, then reduced modulo 2^64, so -1 is
// 2^64 - 1 and 2^64 + 2048 is 2048. NaN and the infinities have no integer value and give 0.
uint64_t u64_from_number(double n);

// The value as the nearest double (exact up to 2^53).
inline double u64_to_number(uint64_t v) { return static_cast<double>(v); }

// Two numbers as the low and the high half: the low 32 bits of low, plus (high + the bits of low
// above 32) shifted left by 32. A low half from -2^31 to -1 is the 32-bit pattern of a signed
// half (as the serialised form writes it) and carries nothing into the high half.
uint64_t u64_from_halves(double low, double high);

inline uint32_t u64_low(uint64_t v) { return static_cast<uint32_t>(v); }
inline uint32_t u64_high(uint64_t v) { return static_cast<uint32_t>(v >> 32); }

// Text read as an unsigned 64-bit integer: leading blanks, an optional sign ('-' negates modulo
// 2^64), then "0x" for hexadecimal, a leading 0 for octal, else decimal; reading stops at the
// first character that is not a digit of the base, and text without digits reads as 0. False
// (and *out untouched) when the digits exceed 2^64 - 1.
bool u64_parse(const char* text, size_t len, uint64_t* out);

// The digits of v in base 2 to 36, lower case, without prefix.
std::string u64_digits(uint64_t v, int base);

// Logical shifts; every bit is shifted out by a count of 64 or more.
inline uint64_t u64_shift_left(uint64_t v, uint64_t count) { return count >= 64 ? 0 : v << count; }
inline uint64_t u64_shift_right(uint64_t v, uint64_t count) { return count >= 64 ? 0 : v >> count; }

inline uint64_t u64_byte_swap(uint64_t v) { return __builtin_bswap64(v); }

// A byte count in words: "532 bytes" below 1 KB, else three significant digits (truncated, not
// rounded) of the largest binary unit that fits: "1.50 KB", "22.9 KB", "100 KB", ... "15.9 EB".
std::string u64_byte_size_text(uint64_t bytes);

}  // namespace quevro
