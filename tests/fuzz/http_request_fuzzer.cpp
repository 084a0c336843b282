// libFuzzer target: the HTTP server's request parser (the script functions the workers run on
// every received head) on any bytes. Every input must either be refused with a status or yield a
// request whose path stays inside the document root; a script error inside the parser, a crash or
// a sanitizer report is a failure. The modules come from the runner's embedded store.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "compiler/chunk_entry.h"
#include "host/startup.h"
#include "runtime/state_lifecycle.h"
#include "runtime/module_store.h"
#include "vm/api.h"
#include "vm/calls.h"

namespace quevro {
extern const StoreEntry RUNNER_STORE[];
extern const size_t RUNNER_STORE_count;
}  // namespace quevro

namespace {

// Defines the global check function that every input runs through.
const char DRIVER[] = R"(
import wsock.tcp.simpleHttpServer;
var p = wsock.tcp.simpleHttpServer.parse;
__fuzzHttpRequest = function(text) {
  var r, status = p.head(text, 8192, 100);
  if r {
    var path = r.pathInfo;
    if string.indexOf(path, '\0') error("FUZZ: NUL byte in the path");
    if string.indexOf(path, "\\") error("FUZZ: backslash in the path");
    if !string.startsWith(path, "/") error("FUZZ: relative path");
    var n = p.normalize(path);
    if n and (!string.startsWith(n, "/") or string.indexOf(n, "/../") or string.endsWith(n, "/..") or n == "/..")
      error("FUZZ: path leaves the root: " ++ n);
    p.pairs(r.query, "&", true);
    p.pairs(r.headers["cookie"], ";", false);
    for _, size in {0, 1, 1000} {
      var a, b = p.range(r.headers["range"] or text, size);
      if a !== null and a !== false and (a < 0 or b >= size or a > b) error("FUZZ: range outside the body");
    }
  }
  elseif status !== null and status != 400 and status != 414 and status != 431 error("FUZZ: unexpected status");
}
)";

quevro::VmState* driver_state() {
  static quevro::VmState* L = [] {
    quevro::install_module_store(quevro::RUNNER_STORE, quevro::RUNNER_STORE_count);
    quevro::VmState* s = quevro::create_main_state();
    if (s == nullptr || !quevro::import_builtin(s) ||
        quevro::load_buffer(s, DRIVER, sizeof DRIVER - 1, "=http_request_fuzzer") != quevro::STATUS_OK) {
      std::fprintf(stderr, "http_request_fuzzer: cannot set up: %s\n", s ? quevro::to_string(s, -1) : "no state");
      std::abort();
    }
    quevro::push_null(s);
    if (quevro::pcall(s, 1, 0, 0) != quevro::STATUS_OK) {
      std::fprintf(stderr, "http_request_fuzzer: driver failed: %s\n", quevro::to_string(s, -1));
      std::abort();
    }
    return s;
  }();
  return L;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quevro::VmState* L = driver_state();
  int top = quevro::get_top(L);
  quevro::get_field(L, quevro::GLOBALS_INDEX, "__fuzzHttpRequest");
  quevro::push_null(L);
  quevro::push_lstring(L, reinterpret_cast<const char*>(data), size);
  if (quevro::pcall(L, 2, 0, 0) != quevro::STATUS_OK) {
    std::fprintf(stderr, "http_request_fuzzer: %s\n", quevro::to_string(L, -1));
    std::abort();
  }
  quevro::set_top(L, top);
  return 0;
}
