// `papyrant generate`: fills a template once per row of a sheet without a display, through the
// page's own generator running in an embedded script engine.
#pragma once

#include <string>
#include <vector>

namespace quevro::batch {

// The arguments after "generate"; returns the process's exit status.
int run_generate(const std::vector<std::string>& args);

}  // namespace quevro::batch
