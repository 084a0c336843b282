// Text encodings: UTF-8, UTF-16LE and the charset of the user's locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quevro {

// Appends the UTF-8 form of a code point; surrogate values take three bytes like any other, so a
// lone surrogate written as an escape still produces bytes.
void utf8_append(std::string& out, uint32_t cp);

// Appends a code point as one UTF-16 unit or a surrogate pair.
void utf16_append(std::u16string& out, uint32_t cp);

// Converts UTF-8 to UTF-16; invalid sequences become U+FFFD. Returns false when any was invalid.
bool utf8_to_utf16(const char* s, size_t len, std::u16string* out);
// Converts UTF-16 to UTF-8; unpaired surrogates become U+FFFD. Returns false when any was found.
bool utf16_to_utf8(const char16_t* s, size_t units, std::string* out);
// Converts text in the locale's charset to UTF-16 (UTF-8 locales take the UTF-8 path).
bool ansi_to_utf16(const char* s, size_t len, std::u16string* out);

}  // namespace quevro
