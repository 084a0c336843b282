#include "native/weak_tables.h"

#include "vm/api.h"

namespace quevro {

void push_weak_registry_table(VmState* L, const char* name, const char* mode) {
  ensure_stack(L, 4);
  raw_get_field(L, REGISTRY_INDEX, name);
  if (type_of(L, -1) == TAG_TABLE) return;
  pop(L, 1);
  new_table(L, 0, 0);
  make_weak(L, -1, mode);
  push_string(L, name);
  push_value(L, -2);
  raw_set(L, REGISTRY_INDEX);
}

}  // namespace quevro
