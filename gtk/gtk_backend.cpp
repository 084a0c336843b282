// The display backend on GTK 3: top-level windows whose events become the Win32 messages the
// window layer's procedures expect, the thread's GLib main context as the layer's event pump, and
// the modal dialogs. Everything runs on the thread that opened the display.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "gtk/gtk_windows.h"

namespace quevro::display::gtk {

namespace {

const LayerCalls* g_calls = nullptr;
bool g_open = false;

void pump_wake(void*) { g_main_context_wakeup(nullptr); }

gboolean mark_fired(gpointer fired) {
  *static_cast<bool*>(fired) = true;
  return G_SOURCE_REMOVE;
}

// One dispatch round of the default context: the layer calls it again after checking its queue,
// so a round that handled only part of the pending events costs nothing.
void pump_run(void*, uint32_t timeout_ms) {
  if (timeout_ms == 0) {
    // What is ready now, with a bound so that a source that is always ready cannot hold the loop.
    for (int i = 0; i < 64 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
    return;
  }
  bool fired = false;
  guint timer = timeout_ms == winsys::INFINITE ? 0 : g_timeout_add(timeout_ms, mark_fired, &fired);
  g_main_context_iteration(nullptr, TRUE);
  if (timer && !fired) g_source_remove(timer);
}

bool open_display(const LayerCalls* calls) {
  if (g_open) return true;
  if (!gtk_init_check(nullptr, nullptr)) return false;
  g_calls = calls;
  g_open = true;
  return true;
}

// Answers a dialog the way its button would, for runs with nobody at the screen: the test
// harness names the answer in QUEVRO_TEST_DIALOG_ANSWER: for message boxes the number of the
// button to press; for the folder picker "accept" (take the folder shown), "cancel", or a folder
// to open and take. The dialog is shown and run as for a person, and the result read from it.
const char* test_answer() {
  const char* a = std::getenv("QUEVRO_TEST_DIALOG_ANSWER");
  return a && *a ? a : nullptr;
}

struct PendingAnswer {
  GtkDialog* dialog;
  std::string answer;
  bool folder;
};

gboolean give_answer(gpointer data) {
  auto* p = static_cast<PendingAnswer*>(data);
  if (p->folder) {
    if (p->answer == "cancel") {
      gtk_dialog_response(p->dialog, GTK_RESPONSE_CANCEL);
    } else {
      if (p->answer != "accept") gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(p->dialog), p->answer.c_str());
      gtk_dialog_response(p->dialog, GTK_RESPONSE_ACCEPT);
    }
  } else {
    gtk_dialog_response(p->dialog, static_cast<gint>(std::strtol(p->answer.c_str(), nullptr, 10)));
  }
  delete p;
  return G_SOURCE_REMOVE;
}

void answer_when_shown(GtkWidget* dialog, bool folder) {
  const char* a = test_answer();
  if (!a) return;
  auto* p = new PendingAnswer{GTK_DIALOG(dialog), a, folder};
  g_signal_connect_swapped(dialog, "map", G_CALLBACK(+[](PendingAnswer* p) { g_idle_add(give_answer, p); }), p);
}

GtkWindow* parent_of(winsys::WindowHandle owner) {
  TopLevel* t = find_toplevel(owner);
  return t ? GTK_WINDOW(t->window) : nullptr;
}

// MessageBox: the button set and icon of the style's low bits, answers IDOK .. IDNO.
int message_box(winsys::WindowHandle owner, const char* text, const char* caption, uint32_t style) {
  if (!g_open) return 0;
  static const int ID_OK = 1, ID_CANCEL = 2, ID_ABORT = 3, ID_RETRY = 4, ID_IGNORE = 5, ID_YES = 6, ID_NO = 7;
  GtkMessageType type = GTK_MESSAGE_OTHER;
  switch (style & 0xF0) {
    case 0x10: type = GTK_MESSAGE_ERROR; break;
    case 0x20: type = GTK_MESSAGE_QUESTION; break;
    case 0x30: type = GTK_MESSAGE_WARNING; break;
    case 0x40: type = GTK_MESSAGE_INFO; break;
  }
  GtkWidget* d = gtk_message_dialog_new(parent_of(owner), GTK_DIALOG_MODAL, type, GTK_BUTTONS_NONE, "%s", text ? text : "");
  gtk_window_set_title(GTK_WINDOW(d), caption ? caption : "");
  struct Button {
    const char* label;
    int id;
  };
  static const Button sets[][3] = {
      {{"OK", ID_OK}, {nullptr, 0}, {nullptr, 0}},
      {{"OK", ID_OK}, {"Cancel", ID_CANCEL}, {nullptr, 0}},
      {{"Abort", ID_ABORT}, {"Retry", ID_RETRY}, {"Ignore", ID_IGNORE}},
      {{"Yes", ID_YES}, {"No", ID_NO}, {"Cancel", ID_CANCEL}},
      {{"Yes", ID_YES}, {"No", ID_NO}, {nullptr, 0}},
      {{"Retry", ID_RETRY}, {"Cancel", ID_CANCEL}, {nullptr, 0}},
  };
  uint32_t set = style & 0x0F;
  if (set >= sizeof sets / sizeof sets[0]) set = 0;
  for (const Button& b : sets[set])
    if (b.label) gtk_dialog_add_button(GTK_DIALOG(d), b.label, b.id);
  answer_when_shown(d, false);
  int r = gtk_dialog_run(GTK_DIALOG(d));
  gtk_widget_destroy(d);
  for (const Button& b : sets[set])
    if (b.label && b.id == r) return r;
  // Closed by the window manager or Escape: what Win32 answers for a box that can be cancelled.
  return set == 0 ? ID_OK : (set == 4 ? ID_NO : ID_CANCEL);
}

char* choose_folder(winsys::WindowHandle owner, const char* title, const char* initial) {
  if (!g_open) return nullptr;
  GtkWidget* d = gtk_file_chooser_dialog_new(title && *title ? title : "Select Folder", parent_of(owner),
                                             GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "_Cancel",
                                             GTK_RESPONSE_CANCEL, "_Select", GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_modal(GTK_WINDOW(d), TRUE);
  // Without a start folder the picker opens in the home folder rather than on the recently used
  // files, where no folder can be selected.
  gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(d), initial && *initial ? initial : g_get_home_dir());
  answer_when_shown(d, true);
  char* chosen = nullptr;
  if (gtk_dialog_run(GTK_DIALOG(d)) == GTK_RESPONSE_ACCEPT) {
    gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d));
    if (name) chosen = strdup(name);
    g_free(name);
  }
  gtk_widget_destroy(d);
  return chosen;
}

void free_text(char* text) { std::free(text); }

}  // namespace

intptr_t send_to_layer(winsys::WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  return g_calls ? g_calls->send(hwnd, message, wparam, lparam) : 0;
}

const Backend* backend() {
  static const Backend b = {
      BACKEND_ABI,      open_display,    {nullptr, pump_run, pump_wake},
      create_window,    destroy_window,  show_window,
      set_title,        client_size,     window_position,
      move_window,      window_state,    begin_drag,
      message_box,      choose_folder,   free_text,
      client_widget,    set_size_limits, set_shadow,
  };
  return &b;
}

}  // namespace quevro::display::gtk

extern "C" __attribute__((visibility("default"))) const quevro::display::Backend* quevro_display_backend() {
  return quevro::display::gtk::backend();
}

// The web view library finds a window's client container through this name.
extern "C" __attribute__((visibility("default"))) void* quevro_display_client_widget(void* hwnd) {
  return quevro::display::gtk::client_widget(hwnd);
}
