// Registry tables whose keys or values do not keep their objects alive.
#pragma once

#include "vm/state.h"

namespace quevro {

// Pushes registry[name], creating it on first use with the weak mode ("k", "v" or "kv").
void push_weak_registry_table(VmState* L, const char* name, const char* mode);

}  // namespace quevro
