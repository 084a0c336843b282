// Running objects: script objects published for their class. `com.ExposeObject` makes a typed
// script object the active instance of its class (found again by `com.GetObject` and listed by
// `com.enumRunning`) and registers a single-use class factory handing it out to the next
// creation of the class; `com.RevokeObject` withdraws both. Objects a state published are
// withdrawn when it closes.
#pragma once

#include "vm/api.h"

namespace quevro::com {

int expose_object(VmState* L);
int revoke_object(VmState* L);
int get_object(VmState* L);
int enum_running(VmState* L);

}  // namespace quevro::com
