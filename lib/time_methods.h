// The type of time objects (registered as datetime of the library time): its metamethods for
// fields, text, numbers, comparison, concatenation and serialisation, and its methods for
// conversion, calendar arithmetic, differences and milliseconds.
#pragma once

#include "vm/state.h"

namespace quevro {

// Stores the type's metatable in the registry, under the library's and the type's names.
void register_datetime_type(VmState* L);

}  // namespace quevro
