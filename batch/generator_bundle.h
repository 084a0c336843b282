// The generator script (the library build of the page's generator modules), embedded in the
// executable's store as a RES file.
#pragma once

#include <string>

namespace quevro::batch {

extern const char kGeneratorBundleName[];  // its name in the store

// The script's text, or "" when the executable carries none.
std::string generator_bundle();

}  // namespace quevro::batch
