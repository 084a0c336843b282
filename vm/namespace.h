// Namespaces: tables reached by dotted paths from the global table or a function's environment.
#pragma once

#include <cstddef>

#include "vm/state.h"

namespace quevro {

// Resolves a dotted path, creating missing components as new tables. A leading '.' starts at the
// global table, anything else at `start`. Each component is read raw: a table is entered, a class
// enters its static table; any other value raises "name conflict for namespace '%s'" with the
// rest of the path.
TableObject* enter_namespace_path(VmState* L, TableObject* start, const char* path, size_t len);

}  // namespace quevro
