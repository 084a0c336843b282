// The application executable: starts the runtime and runs the embedded main module.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "compiler/chunk_entry.h"
#include "runtime/app_paths.h"
#include "runtime/display_windows.h"
#include "runtime/module_store.h"
#include "runtime/modules.h"
#include "runtime/random_seed.h"
#include "host/serve_command.h"
#include "host/startup.h"
#include "runtime/window_system.h"
#include "lib/base_library.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/cdata.h"
#include "batch/generate_command.h"

using namespace quevro;

namespace quevro {
extern const StoreEntry APP_STORE[];
extern const size_t APP_STORE_count;
}  // namespace quevro

namespace {

// Whether the window can be shown; when not, why (one line).
bool display_usable(std::string* why) {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0')) {
    *why = "no display (DISPLAY and WAYLAND_DISPLAY are not set)";
    return false;
  }
  if (!display::open()) {
    *why = "the display cannot be opened (" + display::last_error() + ")";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  install_module_store(APP_STORE, APP_STORE_count);
  // "papyrant generate ..." fills templates without a window and without the script runtime.
  if (argc >= 2 && std::strcmp(argv[1], "generate") == 0) {
    return batch::run_generate(std::vector<std::string>(argv + 2, argv + argc));
  }
  // "papyrant serve [--port N]" serves the page for any browser instead of opening the window.
  bool serve = argc >= 2 && std::strcmp(argv[1], "serve") == 0;
  int serve_port = 0;
  if (serve) {
    serve_port = serve_port_from(std::vector<std::string>(argv + 2, argv + argc));
    if (serve_port == -2) return 0;   // --help
    if (serve_port < 0) return 64;    // a command line that cannot be used
  }
  // Without a display the window cannot open: the same page is served for any browser instead.
  if (!serve) {
    std::string why;
    if (!display_usable(&why)) {
      std::fprintf(stderr, "papyrant: %s; serving the page for a browser instead.\n", why.c_str());
      serve = true;
    }
  }
  seed_thread_random(winsys::tick_count());
  set_report_caption(executable_name());
  set_report_dialog(true);

  VmState* L = create_main_state();
  if (L == nullptr) return 255;
  publish_command_line(L, std::vector<std::string>(argv + 1, argv + argc));

  bool builtin_ok = import_builtin(L);
  int code = 0;
  if (serve) {
    code = builtin_ok ? run_serve(L, serve_port) : -1;
  } else if (push_resource(L, "LIB", "builtin.main", true) > 0) {
    if (!builtin_ok) {
      code = -1;
    } else {
      CdataObject* buffer = stack_address(L, -1)->cdata();
      const char* bytes = reinterpret_cast<const char*>(buffer->data());
      size_t size = buffer->size;
      if (size >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) {
        bytes += 3;
        size -= 3;
      }
      if (load_buffer(L, bytes, size, executable_name().c_str()) != STATUS_OK) {
        top_level_report(L, nullptr, false);
        code = -1;
      } else {
        code = run_main_function(L);
      }
    }
  } else if (!builtin_ok) {
    code = -1;
  }
  shut_down(L);
  return code & 0xFF;
}
