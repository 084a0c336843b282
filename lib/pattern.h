// The pattern language of the string library and the four operations built on it.
#pragma once

#include "vm/state.h"

namespace quevro {

// Deepest nesting of the matcher's recursion (optional items, repetitions, captures and groups
// each take a level); a pattern that needs more raises "overflow error".
constexpr int MAX_MATCH_DEPTH = 1000;

int str_find(VmState* L);
int str_match(VmState* L);
int str_gmatch(VmState* L);
int str_replace(VmState* L);

}  // namespace quevro
