// The native `time` namespace: time objects from the clock, from seconds, from text or from a
// table, their formatting, parsing, calendar arithmetic and comparison, and tick counters.
// Calling the namespace itself (`time(...)`) constructs a time object.
#pragma once

#include "vm/state.h"

namespace quevro {

void open_time_library(VmState* L);

}  // namespace quevro
