// The window-system layer: per-thread message queues, windows as message targets with window
// procedures, posted and sent messages, timers and waitable handles, with the message numbers
// and MSG layout scripts expect. This cut runs without a display.
#pragma once

#include <cstdint>

namespace quevro::winsys {

using Handle = void*;
using WindowHandle = void*;

// The MSG structure, field for field as scripts marshal it.
struct Message {
  WindowHandle hwnd;
  uint32_t message;
  uintptr_t wparam;
  intptr_t lparam;
  uint32_t time;
  int32_t x;
  int32_t y;
};

constexpr uint32_t WM_NULL = 0x0000;
constexpr uint32_t WM_DESTROY = 0x0002;
constexpr uint32_t WM_CLOSE = 0x0010;
constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_APP = 0x8000;

constexpr uint32_t PM_NOREMOVE = 0;
constexpr uint32_t PM_REMOVE = 1;

constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
constexpr uint32_t INFINITE = 0xFFFFFFFF;

using WindowProc = intptr_t (*)(WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam, void* user);

// Windows belong to the thread that creates them; their messages are handled on that thread.
WindowHandle create_window(WindowProc proc, void* user);
bool destroy_window(WindowHandle hwnd);
bool is_window(WindowHandle hwnd);

bool post_message(WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam);
bool post_thread_message(uint64_t thread_id, uint32_t message, uintptr_t wparam, intptr_t lparam);
void post_quit_message(int exit_code);
// On the owning thread the procedure runs at once; from another thread the sender waits until
// the owner's message loop has handled it.
intptr_t send_message(WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam);

// hwnd null: any message of this thread; min = max = 0: no range filter.
bool peek_message(Message* msg, WindowHandle hwnd, uint32_t min, uint32_t max, uint32_t remove);
// 1 for a message, 0 for WM_QUIT, -1 for an invalid window filter.
int get_message(Message* msg, WindowHandle hwnd, uint32_t min, uint32_t max);
bool translate_message(const Message* msg);
intptr_t dispatch_message(const Message* msg);

uintptr_t set_timer(WindowHandle hwnd, uintptr_t id, uint32_t milliseconds);
bool kill_timer(WindowHandle hwnd, uintptr_t id);

// Waitable handles: events (manual or automatic reset). Thread handles join later.
Handle create_event(bool manual_reset, bool initially_set);
bool set_event(Handle h);
bool reset_event(Handle h);
bool close_handle(Handle h);
// Signals a handle that other parts (threads) own; a signalled handle stays set.
void signal_handle(Handle h);
Handle create_signal_handle();

uint32_t wait_for_multiple_objects(uint32_t count, const Handle* handles, bool wait_all, uint32_t timeout_ms);
// As above (any one handle), but also returns WAIT_OBJECT_0 + count when this thread's queue
// holds input that matches the wake mask.
uint32_t msg_wait_for_multiple_objects(uint32_t count, const Handle* handles, bool wait_all, uint32_t timeout_ms,
                                       uint32_t wake_mask);

uint64_t current_thread_id();
uint32_t tick_count();

}  // namespace quevro::winsys
