// Conversions between numbers and their text.
#pragma once

#include <cstddef>

namespace quevro {

// Reads a whole string as a number: "0x" hexadecimal integers, decimal numerals (the C library's
// reader, independent of the locale), the radix form "16#FF", surrounding blanks. A string with no
// digits at all (empty or blank) reads as 0. Returns false when anything else is left over.
bool string_to_number(const char* s, size_t len, double* out);

}  // namespace quevro
