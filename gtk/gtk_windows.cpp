#include "gtk/gtk_windows.h"

#include <gdk/gdkx.h>

#include <algorithm>
#include <map>

namespace quevro::display::gtk {

namespace {

std::map<winsys::WindowHandle, TopLevel*>& toplevels() {
  static auto* m = new std::map<winsys::WindowHandle, TopLevel*>;
  return *m;
}

// Whether a window manager on the display carries out maximise and minimise requests. Without
// one (a bare X server) GTK's requests are silently dropped, so the backend does them itself.
bool window_manager_handles_states(GtkWidget* w) {
  GdkDisplay* display = gtk_widget_get_display(w);
#ifdef GDK_WINDOWING_X11
  if (GDK_IS_X11_DISPLAY(display)) {
    GdkScreen* screen = gtk_widget_get_screen(w);
    return gdk_x11_screen_supports_net_wm_hint(screen, gdk_atom_intern_static_string("_NET_WM_STATE_MAXIMIZED_VERT"));
  }
#endif
  (void)display;
  return true;
}

uintptr_t size_kind(uint32_t state) {
  if (state & STATE_MINIMIZED) return SIZE_MINIMIZED;
  if (state & STATE_MAXIMIZED) return SIZE_MAXIMIZED;
  return SIZE_RESTORED;
}

// WM_SIZE as Win32 sends it: the kind of change and the client size (0 x 0 when minimised).
void tell_size(TopLevel* t) {
  uintptr_t kind = size_kind(t->state);
  int32_t w = 0, h = 0;
  if (kind != SIZE_MINIMIZED) {
    w = gtk_widget_get_allocated_width(t->client);
    h = gtk_widget_get_allocated_height(t->client);
  }
  if (kind == t->told_kind && w == t->told_width && h == t->told_height) return;
  t->told_kind = kind;
  t->told_width = w;
  t->told_height = h;
  send_to_layer(t->hwnd, WM_SIZE, kind, make_long(w, h));
}

// A state change that also resizes the window is told once, with the new size, when the
// allocation arrives (as Win32 sends one WM_SIZE); one that keeps the size is told at once.
void set_state(TopLevel* t, uint32_t bits, bool on, int new_width = -1, int new_height = -1) {
  t->state = on ? (t->state | bits) : (t->state & ~bits);
  int w = 0, h = 0;
  gtk_window_get_size(GTK_WINDOW(t->window), &w, &h);
  if (new_width < 0 || (w == new_width && h == new_height)) tell_size(t);
}

gboolean tell_allocated_size(gpointer data) {
  auto* t = static_cast<TopLevel*>(data);
  t->size_report = 0;
  if (!(t->state & STATE_MINIMIZED)) tell_size(t);
  return G_SOURCE_REMOVE;
}

// WM_SIZE for a new allocation goes out once the allocation is over: a procedure that sizes its
// children in answer (the web view) would otherwise change requests in the middle of it, which
// the toolkit drops.
void on_client_allocate(GtkWidget*, GdkRectangle*, TopLevel* t) {
  if (!t->size_report) t->size_report = g_idle_add_full(G_PRIORITY_HIGH_IDLE, tell_allocated_size, t, nullptr);
}

gboolean on_configure(GtkWidget*, GdkEventConfigure* e, TopLevel* t) {
  send_to_layer(t->hwnd, WM_MOVE, 0, make_long(e->x, e->y));
  return FALSE;
}

gboolean on_window_state(GtkWidget* w, GdkEventWindowState* e, TopLevel* t) {
  // Without a window manager the states are the backend's own; hiding a window there reports a
  // withdrawn, not a minimised one.
  if (!window_manager_handles_states(w)) return FALSE;
  uint32_t s = t->state & ~(STATE_MAXIMIZED | STATE_MINIMIZED);
  if (e->new_window_state & GDK_WINDOW_STATE_MAXIMIZED) s |= STATE_MAXIMIZED;
  if (e->new_window_state & GDK_WINDOW_STATE_ICONIFIED) s |= STATE_MINIMIZED;
  if (s != t->state) {
    t->state = s;
    tell_size(t);
  }
  return FALSE;
}

gboolean on_delete(GtkWidget*, GdkEvent*, TopLevel* t) {
  // The procedure decides: its default handling destroys the window.
  send_to_layer(t->hwnd, winsys::WM_CLOSE, 0, 0);
  return TRUE;
}

int32_t client_x(GtkWidget* client, GtkWidget* window, double x) {
  int cx = 0, cy = 0;
  gtk_widget_translate_coordinates(window, client, static_cast<int>(x), 0, &cx, &cy);
  return cx;
}

int32_t client_y(GtkWidget* client, GtkWidget* window, double y) {
  int cx = 0, cy = 0;
  gtk_widget_translate_coordinates(window, client, 0, static_cast<int>(y), &cx, &cy);
  return cy;
}

// A press asks the procedure what lies under the mouse (WM_NCHITTEST, screen coordinates), as
// Win32 does: the title area and the borders of a frameless window are the script's to define.
gboolean on_button_press(GtkWidget* w, GdkEventButton* e, TopLevel* t) {
  if (e->type != GDK_BUTTON_PRESS || e->button != 1) return FALSE;
  intptr_t hit = send_to_layer(t->hwnd, WM_NCHITTEST, 0, make_long(static_cast<int32_t>(e->x_root), static_cast<int32_t>(e->y_root)));
  if (hit == HTCAPTION || (hit >= HTLEFT && hit <= HTBOTTOMRIGHT)) {
    send_to_layer(t->hwnd, WM_NCLBUTTONDOWN, static_cast<uintptr_t>(hit),
                  make_long(static_cast<int32_t>(e->x_root), static_cast<int32_t>(e->y_root)));
    return TRUE;
  }
  send_to_layer(t->hwnd, WM_LBUTTONDOWN, MK_LBUTTON, make_long(client_x(t->client, w, e->x), client_y(t->client, w, e->y)));
  return TRUE;
}

void end_own_drag(TopLevel* t) {
  if (!t->dragging) return;
  t->dragging = false;
  gdk_seat_ungrab(gdk_display_get_default_seat(gtk_widget_get_display(t->window)));
}

gboolean on_button_release(GtkWidget* w, GdkEventButton* e, TopLevel* t) {
  if (e->button != 1) return FALSE;
  if (t->dragging) {
    end_own_drag(t);
    return TRUE;
  }
  send_to_layer(t->hwnd, WM_LBUTTONUP, 0, make_long(client_x(t->client, w, e->x), client_y(t->client, w, e->y)));
  return TRUE;
}

gboolean on_motion(GtkWidget* w, GdkEventMotion* e, TopLevel* t) {
  if (t->dragging) {
    gtk_window_move(GTK_WINDOW(t->window), t->window_start_x + static_cast<int>(e->x_root) - t->drag_start_x,
                    t->window_start_y + static_cast<int>(e->y_root) - t->drag_start_y);
    return TRUE;
  }
  uintptr_t keys = (e->state & GDK_BUTTON1_MASK) ? MK_LBUTTON : 0;
  send_to_layer(t->hwnd, WM_MOUSEMOVE, keys, make_long(client_x(t->client, w, e->x), client_y(t->client, w, e->y)));
  return FALSE;
}

void on_destroyed(GtkWidget*, TopLevel* t) {
  if (t->size_report) g_source_remove(t->size_report);
  toplevels().erase(t->hwnd);
  delete t;
}

void maximize(TopLevel* t) {
  if (window_manager_handles_states(t->window)) {
    gtk_window_maximize(GTK_WINDOW(t->window));
    return;
  }
  if (t->state & STATE_MAXIMIZED) return;
  gtk_window_get_position(GTK_WINDOW(t->window), &t->restore_rect.x, &t->restore_rect.y);
  gtk_window_get_size(GTK_WINDOW(t->window), &t->restore_rect.width, &t->restore_rect.height);
  GdkRectangle area{};
  GdkMonitor* m = gdk_display_get_monitor_at_window(gtk_widget_get_display(t->window), gtk_widget_get_window(t->window));
  if (!m) m = gdk_display_get_primary_monitor(gtk_widget_get_display(t->window));
  if (m) gdk_monitor_get_workarea(m, &area);
  if (t->max_width > 0 && area.width > t->max_width) area.width = t->max_width;
  if (t->max_height > 0 && area.height > t->max_height) area.height = t->max_height;
  gtk_window_move(GTK_WINDOW(t->window), area.x, area.y);
  set_state(t, STATE_MAXIMIZED, true, area.width, area.height);
  gtk_window_resize(GTK_WINDOW(t->window), area.width, area.height);
}

void minimize(TopLevel* t) {
  if (window_manager_handles_states(t->window)) {
    gtk_window_iconify(GTK_WINDOW(t->window));
    return;
  }
  if (t->state & STATE_MINIMIZED) return;
  gtk_widget_hide(t->window);
  set_state(t, STATE_MINIMIZED, true);
}

void restore(TopLevel* t) {
  if (window_manager_handles_states(t->window)) {
    if (t->state & STATE_MINIMIZED) gtk_window_deiconify(GTK_WINDOW(t->window));
    else if (t->state & STATE_MAXIMIZED) gtk_window_unmaximize(GTK_WINDOW(t->window));
    gtk_widget_show(t->window);
    return;
  }
  // Restoring a minimised window brings back its earlier shape (maximised or not), as on Win32.
  if (t->state & STATE_MINIMIZED) {
    gtk_widget_show(t->window);
    set_state(t, STATE_MINIMIZED, false);
    return;
  }
  if (!(t->state & STATE_MAXIMIZED)) return;
  gtk_window_move(GTK_WINDOW(t->window), t->restore_rect.x, t->restore_rect.y);
  set_state(t, STATE_MAXIMIZED, false, t->restore_rect.width, t->restore_rect.height);
  gtk_window_resize(GTK_WINDOW(t->window), t->restore_rect.width, t->restore_rect.height);
}

}  // namespace

TopLevel* find_toplevel(winsys::WindowHandle hwnd) {
  auto it = toplevels().find(hwnd);
  return it == toplevels().end() ? nullptr : it->second;
}

bool create_window(winsys::WindowHandle hwnd, const WindowOptions* options) {
  if (find_toplevel(hwnd)) return false;
  auto* t = new TopLevel{};
  t->hwnd = hwnd;
  t->frameless = options->frameless;
  t->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  t->client = gtk_layout_new(nullptr, nullptr);
  gtk_container_add(GTK_CONTAINER(t->window), t->client);
  gtk_window_set_title(GTK_WINDOW(t->window), options->title ? options->title : "");
  gtk_window_set_decorated(GTK_WINDOW(t->window), !options->frameless);
  gtk_window_set_default_size(GTK_WINDOW(t->window), options->width > 0 ? options->width : 400,
                              options->height > 0 ? options->height : 300);
  gtk_widget_add_events(t->window, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_POINTER_MOTION_MASK |
                                       GDK_STRUCTURE_MASK);
  g_signal_connect(t->client, "size-allocate", G_CALLBACK(on_client_allocate), t);
  g_signal_connect(t->window, "configure-event", G_CALLBACK(on_configure), t);
  g_signal_connect(t->window, "window-state-event", G_CALLBACK(on_window_state), t);
  g_signal_connect(t->window, "delete-event", G_CALLBACK(on_delete), t);
  g_signal_connect(t->window, "button-press-event", G_CALLBACK(on_button_press), t);
  g_signal_connect(t->window, "button-release-event", G_CALLBACK(on_button_release), t);
  g_signal_connect(t->window, "motion-notify-event", G_CALLBACK(on_motion), t);
  g_signal_connect(t->window, "destroy", G_CALLBACK(on_destroyed), t);
  gtk_widget_show(t->client);
  toplevels()[hwnd] = t;
  return true;
}

void destroy_window(winsys::WindowHandle hwnd) {
  if (TopLevel* t = find_toplevel(hwnd)) {
    end_own_drag(t);
    gtk_widget_destroy(t->window);  // "destroy" forgets it
  }
}

bool show_window(winsys::WindowHandle hwnd, int command) {
  TopLevel* t = find_toplevel(hwnd);
  if (!t) return false;
  bool was_visible = gtk_widget_get_visible(t->window) || (t->state & STATE_MINIMIZED);
  switch (command) {
    case SW_HIDE:
      gtk_widget_hide(t->window);
      break;
    case SW_MAXIMIZE:
      gtk_widget_show(t->window);
      maximize(t);
      break;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
      gtk_widget_show(t->window);
      minimize(t);
      break;
    case SW_RESTORE:
    case SW_SHOWNORMAL:
      restore(t);
      gtk_widget_show(t->window);
      break;
    default:
      gtk_widget_show(t->window);
      break;
  }
  return was_visible;
}

void set_title(winsys::WindowHandle hwnd, const char* title) {
  if (TopLevel* t = find_toplevel(hwnd)) gtk_window_set_title(GTK_WINDOW(t->window), title ? title : "");
}

bool client_size(winsys::WindowHandle hwnd, int32_t* width, int32_t* height) {
  TopLevel* t = find_toplevel(hwnd);
  if (!t) return false;
  if (gtk_widget_get_realized(t->client)) {
    *width = gtk_widget_get_allocated_width(t->client);
    *height = gtk_widget_get_allocated_height(t->client);
  } else {
    gtk_window_get_default_size(GTK_WINDOW(t->window), width, height);
  }
  return true;
}

bool window_position(winsys::WindowHandle hwnd, int32_t* x, int32_t* y) {
  TopLevel* t = find_toplevel(hwnd);
  if (!t) return false;
  int ix = 0, iy = 0;
  gtk_window_get_position(GTK_WINDOW(t->window), &ix, &iy);
  *x = ix;
  *y = iy;
  return true;
}

void move_window(winsys::WindowHandle hwnd, int32_t x, int32_t y, int32_t width, int32_t height) {
  TopLevel* t = find_toplevel(hwnd);
  if (!t) return;
  gtk_window_move(GTK_WINDOW(t->window), x, y);
  if (width > 0 && height > 0) gtk_window_resize(GTK_WINDOW(t->window), width, height);
}

uint32_t window_state(winsys::WindowHandle hwnd) {
  TopLevel* t = find_toplevel(hwnd);
  if (!t) return 0;
  // A minimised window counts as visible, as on Win32, though the backend may have hidden it.
  bool visible = gtk_widget_get_visible(t->window) || (t->state & STATE_MINIMIZED);
  return t->state | (visible ? STATE_VISIBLE : 0);
}

// The title bar of a frameless window is the page's: a press there ends in this call. A window
// manager moves or sizes the window itself; without one the backend follows the mouse with a
// grab until the button comes up (moves only).
bool begin_drag(winsys::WindowHandle hwnd, int hit) {
  TopLevel* t = find_toplevel(hwnd);
  if (!t || !gtk_widget_get_realized(t->window)) return false;
  GdkDisplay* display = gtk_widget_get_display(t->window);
  GdkSeat* seat = gdk_display_get_default_seat(display);
  GdkDevice* pointer = gdk_seat_get_pointer(seat);
  int x = 0, y = 0;
  gdk_device_get_position(pointer, nullptr, &x, &y);
  if (window_manager_handles_states(t->window)) {
    if (hit == HTCAPTION) {
      gtk_window_begin_move_drag(GTK_WINDOW(t->window), 1, x, y, GDK_CURRENT_TIME);
      return true;
    }
    static const GdkWindowEdge edges[] = {GDK_WINDOW_EDGE_WEST,       GDK_WINDOW_EDGE_EAST,
                                          GDK_WINDOW_EDGE_NORTH,      GDK_WINDOW_EDGE_NORTH_WEST,
                                          GDK_WINDOW_EDGE_NORTH_EAST, GDK_WINDOW_EDGE_SOUTH,
                                          GDK_WINDOW_EDGE_SOUTH_WEST, GDK_WINDOW_EDGE_SOUTH_EAST};
    if (hit < HTLEFT || hit > HTBOTTOMRIGHT) return false;
    gtk_window_begin_resize_drag(GTK_WINDOW(t->window), edges[hit - HTLEFT], 1, x, y, GDK_CURRENT_TIME);
    return true;
  }
  if (hit != HTCAPTION || (t->state & STATE_MAXIMIZED)) return false;
  GdkGrabStatus s = gdk_seat_grab(seat, gtk_widget_get_window(t->window), GDK_SEAT_CAPABILITY_ALL_POINTING, TRUE,
                                  nullptr, nullptr, nullptr, nullptr);
  if (s != GDK_GRAB_SUCCESS) return false;
  t->dragging = true;
  t->drag_start_x = x;
  t->drag_start_y = y;
  gtk_window_get_position(GTK_WINDOW(t->window), &t->window_start_x, &t->window_start_y);
  return true;
}

void* client_widget(winsys::WindowHandle hwnd) {
  TopLevel* t = find_toplevel(hwnd);
  return t ? t->client : nullptr;
}

void set_size_limits(winsys::WindowHandle hwnd, int32_t min_width, int32_t min_height, int32_t max_width,
                     int32_t max_height) {
  TopLevel* t = find_toplevel(hwnd);
  if (!t) return;
  t->min_width = min_width > 0 ? min_width : 0;
  t->min_height = min_height > 0 ? min_height : 0;
  t->max_width = max_width > 0 ? max_width : 0;
  t->max_height = max_height > 0 ? max_height : 0;
  GdkGeometry g{};
  int mask = 0;
  if (t->min_width || t->min_height) {
    g.min_width = t->min_width;
    g.min_height = t->min_height;
    mask |= GDK_HINT_MIN_SIZE;
  }
  if (t->max_width || t->max_height) {
    // A missing half of the largest size is no limit on that side.
    g.max_width = t->max_width ? t->max_width : G_MAXSHORT;
    g.max_height = t->max_height ? t->max_height : G_MAXSHORT;
    mask |= GDK_HINT_MAX_SIZE;
  }
  gtk_window_set_geometry_hints(GTK_WINDOW(t->window), nullptr, &g, static_cast<GdkWindowHints>(mask));
  // The window's current size follows the new limits at once, as a user's next resize would.
  int w = 0, h = 0;
  gtk_window_get_size(GTK_WINDOW(t->window), &w, &h);
  int nw = std::max(w, t->min_width), nh = std::max(h, t->min_height);
  if (t->max_width) nw = std::min(nw, t->max_width);
  if (t->max_height) nh = std::min(nh, t->max_height);
  if (nw != w || nh != h) gtk_window_resize(GTK_WINDOW(t->window), nw, nh);
}

// A frameless window's shadow is the toolkit's client-side decoration with an empty title bar:
// the theme's shadow is drawn in a transparent margin around the window, and the window manager
// learns the margin from the frame extents, so it places and maximises the visible part. The
// margin lies outside the client container: the client size stays what it was.
bool set_shadow(winsys::WindowHandle hwnd, bool on) {
  TopLevel* t = find_toplevel(hwnd);
  if (!t || !t->frameless) return false;
  if (on == t->shadow) return on;
  GtkWindow* w = GTK_WINDOW(t->window);
  if (on) {
    GdkScreen* screen = gtk_widget_get_screen(t->window);
    if (!gdk_screen_is_composited(screen) || !gdk_screen_get_rgba_visual(screen)) return false;
  }
  int width = 0, height = 0;
  gtk_window_get_size(w, &width, &height);
  // The decoration is chosen when the window is realized: a realized window is made again.
  bool mapped = gtk_widget_get_mapped(t->window);
  if (gtk_widget_get_realized(t->window)) gtk_widget_unrealize(t->window);
  if (on) {
    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);  // never shown: no title area
    gtk_window_set_titlebar(w, bar);
    gtk_window_set_decorated(w, TRUE);
  } else {
    gtk_window_set_titlebar(w, nullptr);
    gtk_window_set_decorated(w, FALSE);
  }
  t->shadow = on;
  gtk_window_resize(w, width, height);
  if (mapped) gtk_widget_map(t->window);
  return on;
}

}  // namespace quevro::display::gtk
