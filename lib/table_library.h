// The native `table` namespace: sequence operations, merging, ranges, deep copies and the
// serialisation of tables into source text.
#pragma once

#include <string>

#include "vm/state.h"

namespace quevro {

void open_table_library(VmState* L);

// table.tostring: appends the source text of the table at stack index idx to out.
void serialize_table(VmState* L, int idx, bool raw, std::string& out);
// The same text shortened for display: writing stops after max_entries entries (nested ones
// included) or once max_bytes are written, and a cut text ends in "...".
void preview_table(VmState* L, int idx, int max_entries, size_t max_bytes, std::string& out);

}  // namespace quevro
