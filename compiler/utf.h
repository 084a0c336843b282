// Small UTF-8 / UTF-16 helpers for the lexer and the source labels of messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vm/encoding.h"

namespace quevro {

// Decodes the first character; returns the bytes it used, or 0 when the sequence is malformed.
size_t utf8_decode(const char* s, size_t len, uint32_t* cp);

// True when the whole byte range is well-formed UTF-8.
bool utf8_valid(const char* s, size_t len);

// Converts UTF-8 to UTF-16; false when the text is not well-formed.
bool utf8_to_utf16(const char* s, size_t len, std::u16string& out);

}  // namespace quevro
