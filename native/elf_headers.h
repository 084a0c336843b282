// The header rules for the shared objects the in-memory loader maps: 64-bit, little-endian,
// x86-64, a shared object (not an executable), whose program headers, loadable segments and
// dynamic segment lie inside the bytes. The dynamic linker maps segments straight from the file,
// so a segment that reaches past the end would fault on first touch; this check refuses it first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quevro {

// 0 when the headers hold; else INVALID_DATA (something lies past the end) or BAD_EXE_FORMAT.
uint32_t check_elf_headers(const uint8_t* bytes, size_t size);

}  // namespace quevro
