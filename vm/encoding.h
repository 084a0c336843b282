// Text in the charset of the user's locale.
#pragma once

#include <cstddef>
#include <string>

namespace quevro {

// Converts text in the locale's charset to UTF-16 (UTF-8 locales take the UTF-8 path of
// vm/utf.h); bytes the charset cannot read become U+FFFD. Returns false when any was found.
bool ansi_to_utf16(const char* s, size_t len, std::u16string* out);

}  // namespace quevro
