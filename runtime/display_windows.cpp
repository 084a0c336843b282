#include "runtime/display_windows.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

// The backend's bytes when the executable carries them (gtk/backend_image.c); weak, so that
// programs without them (the unit tests) link and load the file instead.
extern "C" {
extern const char quevro_display_backend_image[] __attribute__((weak));
extern const char quevro_display_backend_image_end[] __attribute__((weak));
}

namespace quevro::display {

namespace {

constexpr const char* BACKEND_FILE = "libquevro_gtk.so";

struct Display {
  std::once_flag opened;
  std::atomic<const Backend*> backend{nullptr};  // set once, read from any thread
  std::atomic<uint64_t> owner{0};
  std::string error;
  std::mutex lock;  // guards `real`
  std::set<winsys::WindowHandle> real;
};

Display& display() {
  static auto* d = new Display;  // never destroyed: windows may outlive static destruction
  return *d;
}

bool has_display_variable() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

// The backend file beside the executable, for programs that do not carry its bytes.
std::string backend_beside_executable() {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return BACKEND_FILE;
  std::string dir(exe, static_cast<size_t>(n));
  return dir.substr(0, dir.rfind('/') + 1) + BACKEND_FILE;
}

// Loads the bytes the executable carries through a memory file; null (and the reason) when it
// carries none or they cannot be loaded.
void* load_carried_backend(std::string* error) {
  if (!quevro_display_backend_image || !quevro_display_backend_image_end) return nullptr;
  const char* bytes = quevro_display_backend_image;
  size_t size = static_cast<size_t>(quevro_display_backend_image_end - quevro_display_backend_image);
  int fd = memfd_create("quevro-display-backend", MFD_CLOEXEC);
  if (fd < 0) {
    *error = "cannot make a memory file for the display backend";
    return nullptr;
  }
  size_t done = 0;
  while (done < size) {
    ssize_t w = write(fd, bytes + done, size - done);
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  void* lib = nullptr;
  if (done == size) {
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    lib = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!lib) *error = "cannot load the display backend: " + std::string(dlerror());
  } else {
    *error = "cannot write the display backend to memory";
  }
  close(fd);  // the mapping keeps what dlopen needs
  return lib;
}

// QUEVRO_DISPLAY_BACKEND names a backend file (tests); else the executable's own copy; else the
// file beside the executable.
void* load_backend_library(std::string* error) {
  std::string path;
  if (const char* p = std::getenv("QUEVRO_DISPLAY_BACKEND"); p && *p) {
    path = p;
  } else if (void* carried = load_carried_backend(error)) {
    return carried;
  } else if (!error->empty()) {
    return nullptr;
  } else {
    path = backend_beside_executable();
  }
  // Global, so that the web view library finds the client containers by name.
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!lib) *error = "cannot load the display backend: " + std::string(dlerror());
  return lib;
}

const LayerCalls LAYER_CALLS = {winsys::send_message};

void load_backend(Display& d) {
  if (!has_display_variable()) {
    d.error = "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
    return;
  }
  void* lib = load_backend_library(&d.error);
  if (!lib) return;
  auto entry = reinterpret_cast<BackendEntry>(dlsym(lib, BACKEND_ENTRY));
  const Backend* b = entry ? entry() : nullptr;
  if (!b || b->abi != BACKEND_ABI) {
    d.error = "the display backend does not match this program";
    return;
  }
  if (!b->open(&LAYER_CALLS)) {
    d.error = "cannot open the display";
    return;
  }
  d.owner = winsys::current_thread_id();
  d.backend = b;
  winsys::attach_event_pump(&b->pump);
}

// The backend when the calling thread owns the display and the window is a real one.
const Backend* backend_for(winsys::WindowHandle hwnd) {
  Display& d = display();
  if (!on_display_thread()) return nullptr;
  std::lock_guard<std::mutex> guard(d.lock);
  return d.real.count(hwnd) ? d.backend.load() : nullptr;
}

}  // namespace

bool open() {
  Display& d = display();
  std::call_once(d.opened, [&] { load_backend(d); });
  return d.backend != nullptr;
}

bool on_display_thread() {
  Display& d = display();
  return d.backend && d.owner == winsys::current_thread_id();
}

const std::string& last_error() { return display().error; }

winsys::WindowHandle create_window(winsys::WindowProc proc, void* user, const WindowOptions& options) {
  winsys::WindowHandle hwnd = winsys::create_window(proc, user);
  if (!hwnd || !open() || !on_display_thread()) return hwnd;
  Display& d = display();
  if (d.backend.load()->create_window(hwnd, &options)) {
    std::lock_guard<std::mutex> guard(d.lock);
    d.real.insert(hwnd);
  }
  return hwnd;
}

bool destroy_window(winsys::WindowHandle hwnd) {
  if (!winsys::is_window(hwnd)) return false;
  winsys::send_message(hwnd, winsys::WM_DESTROY, 0, 0);
  if (const Backend* b = backend_for(hwnd)) {
    b->destroy_window(hwnd);
    Display& d = display();
    std::lock_guard<std::mutex> guard(d.lock);
    d.real.erase(hwnd);
  }
  return winsys::destroy_window(hwnd);
}

intptr_t default_procedure(winsys::WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  (void)lparam;
  switch (message) {
    case winsys::WM_CLOSE:
      destroy_window(hwnd);
      return 0;
    case WM_NCHITTEST:
      return HTCLIENT;
    case WM_NCLBUTTONDOWN:
      if (const Backend* b = backend_for(hwnd)) b->begin_drag(hwnd, static_cast<int>(wparam));
      return 0;
    case WM_SYSCOMMAND:
      switch (wparam & 0xFFF0) {
        case SC_MINIMIZE: show_window(hwnd, SW_MINIMIZE); break;
        case SC_MAXIMIZE: show_window(hwnd, SW_MAXIMIZE); break;
        case SC_RESTORE: show_window(hwnd, SW_RESTORE); break;
        case SC_CLOSE: winsys::send_message(hwnd, winsys::WM_CLOSE, 0, 0); break;
      }
      return 0;
    default:
      return 0;
  }
}

bool show_window(winsys::WindowHandle hwnd, int command) {
  const Backend* b = backend_for(hwnd);
  return b ? b->show_window(hwnd, command) : false;
}

bool set_title(winsys::WindowHandle hwnd, const std::string& title) {
  const Backend* b = backend_for(hwnd);
  if (b) b->set_title(hwnd, title.c_str());
  return b != nullptr;
}

bool client_size(winsys::WindowHandle hwnd, int32_t* width, int32_t* height) {
  const Backend* b = backend_for(hwnd);
  return b && b->client_size(hwnd, width, height);
}

bool window_position(winsys::WindowHandle hwnd, int32_t* x, int32_t* y) {
  const Backend* b = backend_for(hwnd);
  return b && b->window_position(hwnd, x, y);
}

bool move_window(winsys::WindowHandle hwnd, int32_t x, int32_t y, int32_t width, int32_t height) {
  const Backend* b = backend_for(hwnd);
  if (b) b->move_window(hwnd, x, y, width, height);
  return b != nullptr;
}

uint32_t window_state(winsys::WindowHandle hwnd) {
  const Backend* b = backend_for(hwnd);
  return b ? b->window_state(hwnd) : 0;
}

bool set_size_limits(winsys::WindowHandle hwnd, int32_t min_width, int32_t min_height, int32_t max_width,
                     int32_t max_height) {
  const Backend* b = backend_for(hwnd);
  if (b) b->set_size_limits(hwnd, min_width, min_height, max_width, max_height);
  return b != nullptr;
}

bool set_shadow(winsys::WindowHandle hwnd, bool on) {
  const Backend* b = backend_for(hwnd);
  return b && b->set_shadow(hwnd, on);
}

bool is_real_window(winsys::WindowHandle hwnd) { return backend_for(hwnd) != nullptr; }

int message_box(winsys::WindowHandle owner, const std::string& text, const std::string& caption, uint32_t style) {
  if (open() && on_display_thread()) return display().backend.load()->message_box(owner, text.c_str(), caption.c_str(), style);
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  static const int FIRST_BUTTON[] = {1, 1, 3, 6, 6, 4};
  uint32_t set = style & 0x0F;
  return set < 6 ? FIRST_BUTTON[set] : 1;
}

std::optional<std::string> choose_folder(winsys::WindowHandle owner, const std::string& title,
                                         const std::string& initial) {
  if (!open() || !on_display_thread()) return std::nullopt;
  const Backend* b = display().backend;
  char* chosen = b->choose_folder(owner, title.c_str(), initial.c_str());
  if (!chosen) return std::nullopt;
  std::string r(chosen);
  b->free_text(chosen);
  return r;
}

}  // namespace quevro::display
