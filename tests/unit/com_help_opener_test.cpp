// com.ShowHelp: the opener's argument vector, and what the script sees when the opener cannot
// be started. (The script test tests/scripts/com/show_help runs a recording opener.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "com/help_opener.h"
#include "com_script_run.h"
#include "host/startup.h"

namespace quevro::test {
namespace {

using namespace quevro::com;

TEST(HelpOpener, PathsThatLookLikeOptionsStayPaths) {
  EXPECT_EQ(help_opener_arguments("xdg-open", "-mapid"), (std::vector<std::string>{"xdg-open", "./-mapid"}));
  EXPECT_EQ(help_opener_arguments("o", "/a b/c.chm"), (std::vector<std::string>{"o", "/a b/c.chm"}));
  EXPECT_EQ(help_opener_arguments("o", "c.hlp"), (std::vector<std::string>{"o", "c.hlp"}));
}

TEST(HelpOpener, AnOpenerThatCannotStartGivesFalse) {
  char dir[] = "/tmp/quevro_help_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/guide.chm";
  std::ofstream(file) << "help";
  const char* saved = std::getenv(HELP_OPENER_VARIABLE);
  std::string kept = saved ? saved : "";
  setenv(HELP_OPENER_VARIABLE, "/nonexistent/quevro-opener", 1);
  VmState* L = create_main_state();
  ASSERT_NE(L, nullptr);
  EXPECT_EQ(run_script(L, "return com.ShowHelp('" + file + "', 3)"), "false");
  // An opener that runs and fails is a false too.
  setenv(HELP_OPENER_VARIABLE, "false", 1);
  EXPECT_EQ(run_script(L, "return com.ShowHelp('" + file + "')"), "false");
  setenv(HELP_OPENER_VARIABLE, "true", 1);
  EXPECT_EQ(run_script(L, "return com.ShowHelp('" + file + "')"), "true");
  close_state(L);
  if (saved) setenv(HELP_OPENER_VARIABLE, kept.c_str(), 1);
  else unsetenv(HELP_OPENER_VARIABLE);
  unlink(file.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace quevro::test
