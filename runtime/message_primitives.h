// The four message primitives scripts build their message loops on.
#pragma once

#include "vm/state.h"

namespace quevro {

int message_peek(VmState* L);
int message_get(VmState* L);
int message_translate_dispatch(VmState* L);
int wait_for_multiple_objects(VmState* L);

}  // namespace quevro
