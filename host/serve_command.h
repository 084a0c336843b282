// "papyrant serve [--port N]": the application's page served on the loopback address, for any
// browser, by the same HTTP server the window uses; runs until the process is stopped.
#pragma once

#include <string>
#include <vector>

#include "vm/state.h"

namespace quevro {

// The port asked for on the command line: 0 for "any free port", -1 (with a message written
// to standard error) for a command line that cannot be used.
int serve_port_from(const std::vector<std::string>& args);

// Starts the server in L (a state with builtin imported), prints the page's URL and serves
// until stopped. Returns the exit code.
int run_serve(VmState* L, int port);

}  // namespace quevro
