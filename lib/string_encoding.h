// Encoding conversions between UTF-8, UTF-16 and the locale charset ("code page" 0), and the
// file and resource functions of the string library.
#pragma once

#include <string>

#include "vm/state.h"

namespace quevro {

// Code pages: 65001 UTF-8, 0 the locale's charset, 1200 UTF-16LE; others by their number.
bool bytes_to_utf16(const char* s, size_t len, int code_page, std::u16string* out);
bool utf16_to_bytes(const char16_t* u, size_t units, int code_page, std::string* out);

int str_to_utf16(VmState* L);
int str_from_utf16(VmState* L);
int str_from_utf16_if(VmState* L);
int str_fromto(VmState* L);
int str_load(VmState* L);
int str_load_buffer(VmState* L);
int str_save(VmState* L);

}  // namespace quevro
