// Modules: `import`, the module file search and reading embedded resources.
#pragma once

#include <string>

#include "vm/state.h"

namespace quevro {

// The global `import` (owner: the importing namespace; argument: the module name).
int base_import(VmState* L);

// The path of the first module file for a dotted name under the application's lib folder (then
// the state root's), trying a.b.c.quevro, a/b.c.quevro, a/b/c.quevro and a/b/c/_.quevro; empty
// when there is none.
std::string find_module_file(VmState* L, const std::string& name);

// loadcode's text: a ".quevro" or ".qvu" path of 9 to 1039 bytes is resolved against the state
// root and loaded (falling back to the embedded "RES" file of that path when a rooted path cannot
// be opened); anything else is a chunk. Pushes the function, or the message; returns the status.
int load_code_or_path(VmState* L, const char* data, size_t len, const char* chunk_name);

// Pushes an embedded resource: as a buffer, or as a string (a wide string when it starts with
// FF FE and has an even size). Returns its size, 0 (nothing pushed) when it does not exist.
int push_resource(VmState* L, const char* type, const std::string& name, bool as_buffer);

}  // namespace quevro
