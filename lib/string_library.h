// The native `string` namespace.
#pragma once

#include <cstddef>
#include <string>

#include "vm/state.h"

namespace quevro {

void open_string_library(VmState* L);

// string.join (also table.concat with a non-table second argument).
int string_join(VmState* L);
// string.format.
int string_format(VmState* L);

// The escaping of string.escape. Returns false (out untouched) when the text can be written as a
// double-quoted literal unchanged and neither json, ascii nor force asks for escapes anyway.
bool escape_text(const char* s, size_t len, bool wide, bool json, bool ascii, bool force, std::string& out);

}  // namespace quevro
