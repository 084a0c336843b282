// The script-facing surface of the window layer's real windows: the native module `win.display`,
// opened by its first import. Scripts give a window its procedure as a native callback
// (raw.tocdecl with the prototype "addr(addr hwnd,INT message,ADDR wParam,addr lParam,addr user)"),
// so that sent messages are answered synchronously, as Win32 procedures answer them.
#pragma once

#include "vm/state.h"

namespace quevro {

int open_window_library(VmState* L);

}  // namespace quevro
