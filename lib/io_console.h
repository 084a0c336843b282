// The console of the io library. There is no console window to create or hide here: the console
// is the terminal the process's standard streams are attached to, when they are.
#pragma once

#include "vm/state.h"

namespace quevro {

// True when standard input or standard output is a terminal (what io.open() answers).
bool console_available();

// io.getText(count): up to count UTF-16 units (default 500) of one line typed at the terminal,
// its line feed included when it fits; nothing when standard input is not a terminal or at its
// end.
int io_get_text(VmState* L);

}  // namespace quevro
