// Real windows on a display, behind the window layer's one interface: a window made here is a
// layer window (handle, procedure, messages) and, when a display is open on the calling thread,
// a top-level window of the display backend as well, whose events reach the procedure as the
// Win32 messages scripts expect. Without a display the same calls work on layer windows alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/display_backend.h"

namespace quevro::display {

// Loads the backend and connects to the display on the first call (later calls answer the
// first one's result). The first thread that opens it owns the display: only that thread's
// windows become real. False without a display, or when the backend cannot be loaded (the
// reason is in last_error()).
bool open();
// Whether the display is open and owned by the calling thread.
bool on_display_thread();
const std::string& last_error();

winsys::WindowHandle create_window(winsys::WindowProc proc, void* user, const WindowOptions& options);
// Sends WM_DESTROY, closes the real window and ends the layer window.
bool destroy_window(winsys::WindowHandle hwnd);
// The handling Win32 gives messages a procedure leaves alone: WM_CLOSE destroys the window,
// WM_SYSCOMMAND minimises, maximises, restores and closes, WM_NCLBUTTONDOWN on the caption or
// a border starts a move or a resize, WM_NCHITTEST answers HTCLIENT.
intptr_t default_procedure(winsys::WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam);

bool show_window(winsys::WindowHandle hwnd, int command);
bool set_title(winsys::WindowHandle hwnd, const std::string& title);
bool client_size(winsys::WindowHandle hwnd, int32_t* width, int32_t* height);
bool window_position(winsys::WindowHandle hwnd, int32_t* x, int32_t* y);
bool move_window(winsys::WindowHandle hwnd, int32_t x, int32_t y, int32_t width, int32_t height);
uint32_t window_state(winsys::WindowHandle hwnd);
bool set_size_limits(winsys::WindowHandle hwnd, int32_t min_width, int32_t min_height, int32_t max_width,
                     int32_t max_height);
// True when the window has a drop shadow afterwards (see Backend::set_shadow).
bool set_shadow(winsys::WindowHandle hwnd, bool on);
bool is_real_window(winsys::WindowHandle hwnd);

// Modal dialogs. Without a display the message box writes "caption: text" to standard error and
// answers its first button; the folder picker answers nothing.
int message_box(winsys::WindowHandle owner, const std::string& text, const std::string& caption, uint32_t style);
std::optional<std::string> choose_folder(winsys::WindowHandle owner, const std::string& title,
                                         const std::string& initial);

}  // namespace quevro::display
