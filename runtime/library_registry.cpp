#include "runtime/library_registry.h"

#include <cstring>

#include "vm/api.h"
#include "vm/namespace.h"

namespace quevro {

void push_loaded_libs(VmState* L) { registry_subtable(L, "_loaded_libs"); }

void register_library(VmState* L, const char* name, const LibraryFunction* functions) {
  ensure_stack(L, 4);
  push_loaded_libs(L);
  raw_get_field(L, -1, name);
  if (type_of(L, -1) != TAG_TABLE) {
    L->top--;
    // The base library's namespace "global" is the global table itself.
    TableObject* ns = std::strcmp(name, "global") == 0 ? L->globals.table()
                                                       : enter_namespace_path(L, L->globals.table(), name, std::strlen(name));
    push(L, make_object(ns));
    push_string(L, name);
    push_value(L, -2);
    raw_set(L, -4);
  }
  remove(L, -2);  // _loaded_libs
  for (const LibraryFunction* f = functions; f && f->name; ++f) {
    push_string(L, f->name);
    push_function(L, f->fn);
    raw_set(L, -3);
  }
}

void register_preloader(VmState* L, const char* name, NativeFn opener) {
  ensure_stack(L, 3);
  push_loaded_libs(L);
  push_string(L, name);
  push_function(L, opener);
  raw_set(L, -3);
  pop(L, 1);
}

}  // namespace quevro
