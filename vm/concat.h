// Joining strings and numbers: the CONCAT instruction and the native concat operation.
#pragma once

#include "vm/state.h"

namespace quevro {

// Concatenates the total values ending at base[last], leaving the result in base[last - total + 1].
void concat_values(VmState* L, int total, int last);

}  // namespace quevro
