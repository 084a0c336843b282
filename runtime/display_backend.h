// The boundary between the window layer and a display backend: a shared object the layer loads
// the first time a script asks for a real window, so that a run that never opens one never maps
// the display libraries. Everything here is plain data and function pointers, because the
// backend is built apart from the runtime and must not carry a second copy of its state.
#pragma once

#include <cstdint>

#include "runtime/window_system.h"

namespace quevro::display {

// The Win32 numbers the backend speaks in.
constexpr uint32_t WM_MOVE = 0x0003;
constexpr uint32_t WM_SIZE = 0x0005;
constexpr uint32_t WM_NCHITTEST = 0x0084;
constexpr uint32_t WM_NCLBUTTONDOWN = 0x00A1;
constexpr uint32_t WM_SYSCOMMAND = 0x0112;
constexpr uint32_t WM_MOUSEMOVE = 0x0200;
constexpr uint32_t WM_LBUTTONDOWN = 0x0201;
constexpr uint32_t WM_LBUTTONUP = 0x0202;
constexpr uintptr_t SIZE_RESTORED = 0;
constexpr uintptr_t SIZE_MINIMIZED = 1;
constexpr uintptr_t SIZE_MAXIMIZED = 2;
constexpr uintptr_t MK_LBUTTON = 1;
constexpr intptr_t HTCLIENT = 1;
constexpr intptr_t HTCAPTION = 2;
constexpr intptr_t HTLEFT = 10;
constexpr intptr_t HTBOTTOMRIGHT = 17;
constexpr uintptr_t SC_MINIMIZE = 0xF020;
constexpr uintptr_t SC_MAXIMIZE = 0xF030;
constexpr uintptr_t SC_CLOSE = 0xF060;
constexpr uintptr_t SC_RESTORE = 0xF120;
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_MAXIMIZE = 3;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_RESTORE = 9;

inline intptr_t make_long(int32_t low, int32_t high) {
  return static_cast<int32_t>((static_cast<uint32_t>(high) << 16) | (static_cast<uint32_t>(low) & 0xFFFF));
}

// Raised with every change of the layout below.
constexpr uint32_t BACKEND_ABI = 3;
constexpr const char* BACKEND_ENTRY = "quevro_display_backend";

// What the backend asks of the layer. Called on the thread that opened the display, never with
// the layer's lock held.
struct LayerCalls {
  intptr_t (*send)(winsys::WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam);
};

struct WindowOptions {
  const char* title;  // UTF-8
  int32_t width;      // client area
  int32_t height;
  bool frameless;
};

// Bits of Backend::window_state.
constexpr uint32_t STATE_VISIBLE = 1;
constexpr uint32_t STATE_MAXIMIZED = 2;
constexpr uint32_t STATE_MINIMIZED = 4;

// Every call but open, pump.wake and abi is made on the thread that opened the display.
struct Backend {
  uint32_t abi;
  // Connects to the display; false when there is none (the reason on standard error is the
  // toolkit's own).
  bool (*open)(const LayerCalls* calls);
  winsys::EventPump pump;
  bool (*create_window)(winsys::WindowHandle hwnd, const WindowOptions* options);
  void (*destroy_window)(winsys::WindowHandle hwnd);
  bool (*show_window)(winsys::WindowHandle hwnd, int command);  // SW_* numbers
  void (*set_title)(winsys::WindowHandle hwnd, const char* title);
  bool (*client_size)(winsys::WindowHandle hwnd, int32_t* width, int32_t* height);
  bool (*window_position)(winsys::WindowHandle hwnd, int32_t* x, int32_t* y);
  void (*move_window)(winsys::WindowHandle hwnd, int32_t x, int32_t y, int32_t width, int32_t height);
  uint32_t (*window_state)(winsys::WindowHandle hwnd);
  // Starts moving (hit HTCAPTION) or sizing (HTLEFT .. HTBOTTOMRIGHT) the window with the mouse
  // button that is down.
  bool (*begin_drag)(winsys::WindowHandle hwnd, int hit);
  // Modal dialogs: the message box answers an ID* number; the folder picker a UTF-8 path the
  // caller releases with free_text, or null when cancelled.
  int (*message_box)(winsys::WindowHandle owner, const char* text, const char* caption, uint32_t style);
  char* (*choose_folder)(winsys::WindowHandle owner, const char* title, const char* initial);
  void (*free_text)(char* text);
  // The container that fills the window's client area, for child widgets (the web view).
  void* (*client_widget)(winsys::WindowHandle hwnd);
  // Smallest and largest client size the user may give the window (0: no limit); maximising
  // stays within the largest.
  void (*set_size_limits)(winsys::WindowHandle hwnd, int32_t min_width, int32_t min_height, int32_t max_width,
                          int32_t max_height);
  // Gives a frameless window a drop shadow drawn around it (on) or takes it away (off); the client
  // area keeps its size. True when the window has a shadow afterwards: never without a
  // compositor to blend it, nor for a framed window (the window manager draws its own).
  bool (*set_shadow)(winsys::WindowHandle hwnd, bool on);
};

using BackendEntry = const Backend* (*)();

}  // namespace quevro::display
