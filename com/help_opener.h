// Help files: `com.ShowHelp(file[, map id])` opens a help file with the desktop's opener for its
// type (`xdg-open`, or the program named by QUEVRO_HELP_OPENER) and waits for the opener to hand
// it on. Compiled help and the older help format have no viewer of their own here: every help
// file is opened as a file, and a map id (a topic of compiled help) is accepted and ignored.
#pragma once

#include <string>
#include <vector>

#include "vm/api.h"

namespace quevro::com {

inline constexpr const char* HELP_OPENER_VARIABLE = "QUEVRO_HELP_OPENER";
inline constexpr const char* DEFAULT_HELP_OPENER = "xdg-open";

// The opener's argument vector for the file: the opener, then the path (a path that would pass
// for an option is made to start with "./").
std::vector<std::string> help_opener_arguments(const std::string& opener, const std::string& path);

// com.ShowHelp(file[, map id]): true when the opener took the file, false when it could not be
// started or reported a failure; a file that does not exist raises the file-not-found text.
int show_help(VmState* L);

}  // namespace quevro::com
