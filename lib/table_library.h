// The native `table` namespace: sequence operations, merging, ranges, deep copies and the
// serialisation of tables into source text.
#pragma once

#include <string>

#include "vm/state.h"

namespace quevro {

void open_table_library(VmState* L);

// table.tostring: appends the source text of the table at stack index idx to out.
void serialize_table(VmState* L, int idx, bool raw, std::string& out);

}  // namespace quevro
