// Application paths: where the executable lives, and how script paths resolve against it.
#pragma once

#include <string>

#include "vm/state.h"

namespace quevro {

// The executable's directory and file name (from /proc/self/exe, split at the last '/').
const std::string& application_directory();
const std::string& executable_name();
void set_application_path(const std::string& full_path);

// Resolves a path the way scripts write them: '\\' counts as '/'; "//x" is the absolute "/x";
// "~/x" and a leading single '/' are relative to the application directory, except that a
// leading '/' whose first component exists only at the filesystem root names that absolute path;
// anything else is relative to the current directory. With a sub-folder (module search), one
// leading separator is dropped and the path goes below application directory + sub-folder.
std::string resolve_app_path(const std::string& path, const char* subfolder = nullptr);

// The same against the state's root directory, when it has one: a leading single separator is
// taken relative to the root.
std::string resolve_against_root(VmState* L, const std::string& path);

// The root directory of the running fiber ("" when none). Each fiber has its own; a new fiber
// starts with its creator's.
std::string state_root(VmState* L);
void set_state_root(VmState* L, const std::string& dir);

bool file_exists(const std::string& path);
bool directory_exists(const std::string& path);

}  // namespace quevro
