// The names a shared object exports, read from the bytes it was loaded from. Export lookup
// ignores ASCII case, which the dynamic linker's own lookup cannot do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quevro {

// Defined, visible dynamic symbols, in symbol-table order; empty when the bytes carry no section
// table or it does not fit inside them.
std::vector<std::string> elf_export_names(const uint8_t* bytes, size_t size);

}  // namespace quevro
