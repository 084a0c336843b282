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

// Pushes an embedded resource: as a buffer, or as a string (a wide string when it starts with
// FF FE and has an even size). Returns its size, 0 (nothing pushed) when it does not exist.
int push_resource(VmState* L, const char* type, const std::string& name, bool as_buffer);

}  // namespace quevro
