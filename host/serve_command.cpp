#include "host/serve_command.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "compiler/chunk_entry.h"
#include "host/startup.h"

namespace quevro {

namespace {

constexpr const char* SERVE_USAGE = "usage: papyrant serve [--port N]   (N from 1 to 65535; default: a free port)\n";

// Digits only, 1..65535; -1 otherwise.
int parse_port(const std::string& text) {
  if (text.empty() || text.size() > 5) return -1;
  int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    port = port * 10 + (c - '0');
  }
  return port >= 1 && port <= 65535 ? port : -1;
}

// The page is the application's own: the embedded files under /WEB/, every path that names no
// file answered with the page so that its router handles it.
std::string serve_source(int port) {
  std::string source =
      "import wsock.tcp.simpleHttpServer;\n"
      "var srv = wsock.tcp.simpleHttpServer;\n";
  source += "srv.startPort = " + (port > 0 ? std::to_string(port) : std::string("null")) + ";\n";
  source +=
      "var url = srv.startSpaUrl(\"/web/index.html\", \"/web\");\n"
      "io.print(\"Serving the page at \" ++ url ++ \" (Ctrl+C stops)\");\n"
      "io.stdout.flush();\n"
      "srv.wait();\n";
  return source;
}

}  // namespace

int serve_port_from(const std::vector<std::string>& args) {
  int port = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(SERVE_USAGE, stdout);
      return -2;
    }
    std::string value;
    if (arg == "--port") {
      value = i + 1 < args.size() ? args[++i] : "";
    } else if (arg.rfind("--port=", 0) == 0) {
      value = arg.substr(7);
    } else {
      std::fprintf(stderr, "papyrant serve: unexpected argument '%s'\n%s", arg.c_str(), SERVE_USAGE);
      return -1;
    }
    port = parse_port(value);
    if (port < 0) {
      std::fprintf(stderr, "papyrant serve: the port must be a number from 1 to 65535, not '%s'\n", value.c_str());
      return -1;
    }
  }
  return port;
}

int run_serve(VmState* L, int port) {
  std::string source = serve_source(port);
  if (load_buffer(L, source.data(), source.size(), "=papyrant serve") != STATUS_OK) {
    top_level_report(L, nullptr, false);
    return -1;
  }
  return run_main_function(L);
}

}  // namespace quevro
