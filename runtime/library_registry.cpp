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

void register_object_type(VmState* L, const char* library, const char* type, const LibraryFunction* fields) {
  ensure_stack(L, 5);
  registry_subtable(L, library);
  new_table(L, 0, 8);
  push_fstring(L, "%s.%s", library, type);
  raw_set_field(L, -2, "_type");
  for (const LibraryFunction* f = fields; f && f->name; ++f) {
    push_function(L, f->fn);
    raw_set_field(L, -2, f->name);
  }
  push_value(L, -1);
  raw_set_field(L, -3, type);
  remove(L, -2);  // the library's registry table
}

}  // namespace quevro
