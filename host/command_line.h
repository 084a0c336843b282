// The command line as scripts see it: `_CMDLINE` and `_ARGV`.
#pragma once

#include <string>
#include <vector>

#include "vm/state.h"

namespace quevro {

// The arguments joined by blanks; an argument that is empty or holds a blank, tab or double quote
// is written in double quotes with its inner quotes (and the backslashes before them) escaped.
std::string join_command_line(const std::vector<std::string>& args);

// Pushes the `_ARGV` table: every argument at its position, and switches ("-x", "/x", "--x=v")
// as named fields.
void push_argv_table(VmState* L, const std::vector<std::string>& args);

}  // namespace quevro
