// The window-system layer: per-thread message queues, windows as message targets with window
// procedures, posted and sent messages, timers and waitable handles, with the message numbers
// and MSG layout scripts expect. This cut runs without a display. Every function may be called
// from any thread; a thread gets its queue with its first call.
#pragma once

#include <cstdint>
#include <functional>

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

// Wake-mask bits of msg_wait_for_multiple_objects: which kinds of queued input end the wait.
constexpr uint32_t QS_KEY = 0x0001;
constexpr uint32_t QS_MOUSEMOVE = 0x0002;
constexpr uint32_t QS_MOUSEBUTTON = 0x0004;
constexpr uint32_t QS_POSTMESSAGE = 0x0008;
constexpr uint32_t QS_TIMER = 0x0010;
constexpr uint32_t QS_PAINT = 0x0020;
constexpr uint32_t QS_SENDMESSAGE = 0x0040;
constexpr uint32_t QS_HOTKEY = 0x0080;
constexpr uint32_t QS_ALLPOSTMESSAGE = 0x0100;
constexpr uint32_t QS_ALLINPUT = 0x04FF;

constexpr uint32_t MAXIMUM_WAIT_OBJECTS = 64;
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t WAIT_IO_COMPLETION = 0xC0;
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
// the owner handles it (in get_message, peek_message, msg_wait_for_multiple_objects or its own
// send_message) and gets the procedure's result. While it waits, the sender handles the messages
// other threads send to it. A window whose thread has ended (or ends before handling the
// message) gives 0.
intptr_t send_message(WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam);

// hwnd null: any message of this thread; min = max = 0: no range filter.
bool peek_message(Message* msg, WindowHandle hwnd, uint32_t min, uint32_t max, uint32_t remove);
// 1 for a message, 0 for WM_QUIT, -1 for an invalid window filter.
int get_message(Message* msg, WindowHandle hwnd, uint32_t min, uint32_t max);
bool translate_message(const Message* msg);
intptr_t dispatch_message(const Message* msg);

uintptr_t set_timer(WindowHandle hwnd, uintptr_t id, uint32_t milliseconds);
bool kill_timer(WindowHandle hwnd, uintptr_t id);

// Waitable handles: events (manual or automatic reset) and thread handles.
Handle create_event(bool manual_reset, bool initially_set);
bool set_event(Handle h);
bool reset_event(Handle h);
bool close_handle(Handle h);
// A second handle to the same object (OpenThread, DuplicateHandle); each is closed on its own.
// Null for a handle that is not open.
Handle duplicate_handle(Handle h);
// Signals a handle that other parts (threads) own; a signalled handle stays set.
void signal_handle(Handle h);
Handle create_signal_handle();

// Starts body on a new native thread. The thread's queue exists at once, so messages posted to
// *thread_id before the body runs are kept. The returned handle is signalled (and stays so) once
// the body has returned and the thread's queue and windows are gone; close it with close_handle.
Handle start_thread(std::function<void()> body, uint64_t* thread_id);

// WAIT_OBJECT_0 + i for the first signalled handle (wait_all: WAIT_OBJECT_0 once all are),
// WAIT_TIMEOUT, or WAIT_FAILED for no handles, more than MAXIMUM_WAIT_OBJECTS, or a closed one.
// A null handle is never signalled. Automatic-reset events are reset by the wait they end.
uint32_t wait_for_multiple_objects(uint32_t count, const Handle* handles, bool wait_all, uint32_t timeout_ms);
// As above, but also returns WAIT_OBJECT_0 + count when this thread's queue holds input of a kind
// in the wake mask (QS_*). Messages sent by other threads are handled while it waits. With
// wait_all the wait ends only when every handle is signalled and such input is there as well;
// it then returns WAIT_OBJECT_0 (and resets the automatic events), leaving the input queued.
uint32_t msg_wait_for_multiple_objects(uint32_t count, const Handle* handles, bool wait_all, uint32_t timeout_ms,
                                       uint32_t wake_mask);

// A display's event source, run by the thread that owns the display's windows. run handles the
// display's events, sleeping at most timeout_ms (INFINITE: no limit) until one arrives or wake is
// called; wake may be called from any thread, and a wake before run sleeps ends the next run.
struct EventPump {
  void* context;
  void (*run)(void* context, uint32_t timeout_ms);
  void (*wake)(void* context);
};
// The calling thread's message waits (get_message, peek_message, msg_wait_for_multiple_objects)
// run the pump from now on; null detaches it. Plain handle waits never run it.
void attach_event_pump(const EventPump* pump);
// Ends the wait the thread is in (or its next one) with WAIT_IO_COMPLETION, so that a thread
// that is asked to end stops waiting for handles that may never be signalled. False for a thread
// that has no queue (it has ended).
bool interrupt_wait(uint64_t thread_id);

// Ids are small numbers handed out in order of first use; they are never reused.
uint64_t current_thread_id();
uint32_t tick_count();

}  // namespace quevro::winsys
