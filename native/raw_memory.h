// The raw memory functions of the `raw` namespace: buffers packed from structures, sizes,
// conversions between tables and memory, copies and byte-order swaps.
#pragma once

#include "vm/state.h"

namespace quevro {

int raw_buffer(VmState* L);
int raw_sizeof(VmState* L);
int raw_convert(VmState* L);
int raw_copy(VmState* L);
int raw_tostring(VmState* L);
int raw_str(VmState* L);
int raw_swap(VmState* L);
int raw_toarray(VmState* L);
int raw_to_pointer(VmState* L);
int raw_realloc(VmState* L);
int raw_concat(VmState* L);

}  // namespace quevro
