// Synchronous calls into the thread that owns a window: the sender packs its values into a
// message packet and sends it; the owner's window procedure hands the packet to
// thread.applyCallWnd, which performs the request on a table and writes the answer back.
#pragma once

#include <cstdint>

#include "vm/state.h"

namespace quevro {

// The message that carries a packet; wParam is the action.
constexpr uint32_t WINDOW_CALL_MESSAGE = 0xACCD;
enum WindowCallAction : uintptr_t { WINDOW_CALL = 0, WINDOW_GET = 1, WINDOW_SET = 2 };

int thread_call_wnd(VmState* L);
int thread_get_wnd(VmState* L);
int thread_set_wnd(VmState* L);
int thread_apply_call_wnd(VmState* L);

}  // namespace quevro
