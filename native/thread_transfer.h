// Moving a value from one state to another. States never share objects, so every value that
// crosses is rebuilt in the target: tables from their serialised source, script functions from
// their precompiled chunk (with fresh upvalues), byte blocks as copies.
#pragma once

#include <string>

#include "vm/state.h"

namespace quevro {

// Pushes onto `to` a copy of the value at idx in `from`. Returns false (pushing nothing onto
// `to`) when the value cannot cross: fibers, native functions, or a table or chunk that does not
// rebuild in the target. `to` must be a different state; the caller owns both.
bool transfer_value(VmState* from, int idx, VmState* to);

// The pieces of a transfer, for values that cross later or by way of memory:
// a table as "return " and its serialised text;
std::string table_source(VmState* from, int idx);
// that text run in `to` (chunk name as given), leaving the table; false (nothing left) on failure;
bool run_table_source(VmState* to, const std::string& text, const char* chunk_name);
// a script function's precompiled chunk; false for a native function;
bool function_bytes(VmState* from, int idx, std::string* out);
// a chunk or source text loaded in `to` (a leading UTF-8 byte-order mark skipped), leaving the
// function; false (nothing left) when it does not load.
bool load_in_target(VmState* to, const std::string& text, const char* chunk_name);

}  // namespace quevro
