// Native libraries registered as namespaces, and the state's table of loaded modules.
#pragma once

#include "vm/closure.h"

namespace quevro {

struct LibraryFunction {
  const char* name;
  NativeFn fn;
};

// Registers the functions (a list ended by a null name) as fields of the namespace `name`
// (a dotted path from the global table, created as needed) and records the namespace in
// `_loaded_libs`. Raises "name conflict for namespace '%s'" when a path component is neither a
// table nor a class. Leaves the namespace table on the stack.
void register_library(VmState* L, const char* name, const LibraryFunction* functions);

// Enters a preloader in `_loaded_libs`: a native function that `import` runs (with the module
// name as its argument) the first time the module is imported, instead of looking for a chunk.
void register_preloader(VmState* L, const char* name, NativeFn opener);

// Registers an object type of a library: a new metatable, entered in the registry under the
// library's name and the type's name, whose `_type` is "library.type" and which holds the given
// functions (a list ended by a null name; null for none). Leaves the metatable on the stack.
void register_object_type(VmState* L, const char* library, const char* type, const LibraryFunction* fields);

// Pushes the `_loaded_libs` table of the state.
void push_loaded_libs(VmState* L);

}  // namespace quevro
