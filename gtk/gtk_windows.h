// Top-level GTK windows standing for the layer's windows, and the backend operations on them.
#pragma once

#include <gtk/gtk.h>

#include "runtime/display_backend.h"

namespace quevro::display::gtk {

struct TopLevel {
  winsys::WindowHandle hwnd;
  GtkWidget* window;
  // A GtkLayout filling the window: children sit at client coordinates with the sizes they ask
  // for, and none of them keeps the window from shrinking (as child windows on Win32).
  GtkWidget* client;
  bool frameless;
  bool shadow = false;  // drawn by the toolkit around the window (client-side decoration)
  uint32_t state = 0;  // STATE_* bits as the layer last heard them
  // Without a window manager on the display, maximising and minimising are done here.
  GdkRectangle restore_rect{};
  // The last WM_SIZE told, so that repeated allocations of one size say nothing new.
  uintptr_t told_kind = ~uintptr_t{0};
  int32_t told_width = -1, told_height = -1;
  guint size_report = 0;  // the idle source that tells a new allocation, while one is pending
  // Size limits of the client area (0: none).
  int32_t min_width = 0, min_height = 0, max_width = 0, max_height = 0;
  // A move by the mouse this backend performs itself (no window manager to ask).
  bool dragging = false;
  int drag_start_x = 0, drag_start_y = 0, window_start_x = 0, window_start_y = 0;
};

TopLevel* find_toplevel(winsys::WindowHandle hwnd);

intptr_t send_to_layer(winsys::WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam);

bool create_window(winsys::WindowHandle hwnd, const WindowOptions* options);
void destroy_window(winsys::WindowHandle hwnd);
bool show_window(winsys::WindowHandle hwnd, int command);
void set_title(winsys::WindowHandle hwnd, const char* title);
bool client_size(winsys::WindowHandle hwnd, int32_t* width, int32_t* height);
bool window_position(winsys::WindowHandle hwnd, int32_t* x, int32_t* y);
void move_window(winsys::WindowHandle hwnd, int32_t x, int32_t y, int32_t width, int32_t height);
uint32_t window_state(winsys::WindowHandle hwnd);
bool begin_drag(winsys::WindowHandle hwnd, int hit);
void* client_widget(winsys::WindowHandle hwnd);
bool set_shadow(winsys::WindowHandle hwnd, bool on);
void set_size_limits(winsys::WindowHandle hwnd, int32_t min_width, int32_t min_height, int32_t max_width,
                     int32_t max_height);

const Backend* backend();

}  // namespace quevro::display::gtk
