#include "com/help_opener.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "com/com_error.h"
#include "com/com_types.h"
#include "vm/arguments.h"

namespace quevro::com {
namespace {

constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;

// Starts the opener without a shell, in the process's current environment, and waits for it;
// true when it ended with status 0 (an opener that cannot be started ends the child with 127).
bool run_opener(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::vector<std::string> help_opener_arguments(const std::string& opener, const std::string& path) {
  return {opener, !path.empty() && path[0] == '-' ? "./" + path : path};
}

int show_help(VmState* L) {
  size_t len;
  const char* file = check_lstring(L, ARG1, &len);
  std::string path(file, len);
  // The map id names a topic of compiled help; an opened file has no such topics.
  if (!is_none_or_null(L, ARG2)) check_integer(L, ARG2);
  struct stat st;
  if (path.empty() || path.find('\0') != std::string::npos || stat(path.c_str(), &st) != 0)
    runtime_error_text(L, com_error_text(hresult_from_win32(ERROR_FILE_NOT_FOUND)));
  const char* chosen = std::getenv(HELP_OPENER_VARIABLE);
  std::string opener = chosen && *chosen ? chosen : DEFAULT_HELP_OPENER;
  push_boolean(L, run_opener(help_opener_arguments(opener, path)));
  return 1;
}

}  // namespace quevro::com
