// Controls embedded in script windows: `com.CreateEmbed` makes (or takes) a control, gives it a
// container site in the form's window and activates it in place; the "ole.host" object it
// leaves in the result's `_host` closes, re-verbs and resizes the control and hands keyboard
// messages to it. Windows are the window-system layer's, so embedding works without a display.
#pragma once

#include "vm/api.h"

namespace quevro::com {

inline constexpr const char* OLE_LIBRARY = "ole";
inline constexpr const char* HOST_TYPE = "host";

void register_host_type(VmState* L);

// com.CreateEmbed(form, callback table[, control[, site kind]])
int create_embed(VmState* L);
// com.DoObjectVerb(object, verb): IOleObject::DoVerb on an automation object.
int do_object_verb(VmState* L);

}  // namespace quevro::com
