// Events in both directions. A script sinks a component's events with `com.Connect` (a typed
// sink over a table, advised on the component's default event interface) or `com.AddConnection`
// (a sink the script already has), and lets go with `com.ReleaseConnection`; a script object
// made by `com.NewObject` fires events at the sinks advised on it with `com.FireEvent`.
#pragma once

#include "vm/api.h"

namespace quevro::com {

int connect_events(VmState* L);
int add_connection(VmState* L);
int release_connection(VmState* L);
int fire_event(VmState* L);

}  // namespace quevro::com
