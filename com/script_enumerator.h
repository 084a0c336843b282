// IEnumVARIANT over a script table: what a script object answers for DISPID_NEWENUM, so that
// foreign code can walk a table as a collection. It yields the values in the table's traversal
// order (the array elements first, in order), reads the table as it is at each step, and like
// the script object keeps the table alive while it is referenced.
#pragma once

#include "com/dispatch_params.h"
#include "vm/api.h"

namespace quevro::com {

// A new enumerator over the table at idx, with one reference for the caller.
IEnumVARIANT* new_script_enumerator(VmState* L, int idx);

}  // namespace quevro::com
