// Script-implemented servers in the in-process class registry. `com.RegisterObject` enters a
// class of a type library under its ProgIDs; creating the class runs the registration's
// ScriptFile (with its Arguments) in the registering state and makes a new object of the class
// over the table the script returns (without a script file creation fails with
// CO_E_SERVER_EXEC_FAILURE). An object published with `com.ExposeObject` serves the class
// instead until it is revoked, which removes the class's entries too. `com.UnRegisterObject`
// removes the entries.
#pragma once

#include "vm/api.h"

namespace quevro::com {

int register_object(VmState* L);
int unregister_object(VmState* L);

}  // namespace quevro::com
