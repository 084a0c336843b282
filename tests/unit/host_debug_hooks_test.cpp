// Hook objects of the debug library and the hook mask of the fiber they are made for, in a state
// opened the way the executables open it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "compiler/chunk_entry.h"
#include "host/startup.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/debug_access.h"

namespace quevro {
namespace {

// The hook mask of the calling fiber, as a number.
int current_mask(VmState* L) {
  push_number(L, hook_mask(L));
  return 1;
}

class DebugHooksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    L = create_main_state();
    ASSERT_NE(L, nullptr);
    push_function(L, current_mask);
    set_field(L, GLOBALS_INDEX, "mask");
  }
  void TearDown() override { close_state(L); }

  // Runs a chunk and returns its numeric results.
  std::vector<double> run(const char* source) {
    std::vector<double> out;
    if (load_buffer(L, source, std::strlen(source), "=test") != STATUS_OK) {
      ADD_FAILURE() << to_string(L, -1);
      return out;
    }
    int base = get_top(L) - 1;
    push_null(L);
    if (pcall(L, 1, -1, 0) != STATUS_OK) {
      ADD_FAILURE() << to_string(L, -1);
      return out;
    }
    for (int i = base + 1; i <= get_top(L); ++i) out.push_back(to_number(L, i));
    set_top(L, base);
    return out;
  }

  VmState* L = nullptr;
};

TEST_F(DebugHooksTest, ClosingTheLastLineHookClearsTheBitAtTheNextEvent) {
  std::vector<double> masks = run(
      "import debug;\n"
      "var h = debug.hook();\n"
      "var installed = mask();\n"
      "h.line = function() {};\n"
      "var set = mask();\n"
      "h.close(); var closed = mask();\n"
      "var later = mask();\n"
      "return installed, set, closed, later;\n");
  // The bit stays until an event finds nobody to take it.
  EXPECT_EQ(masks, (std::vector<double>{0, HOOK_MASK_LINE, HOOK_MASK_LINE, 0}));
}

TEST_F(DebugHooksTest, ANewHookObjectKeepsTheEventsOfTheExistingOnes) {
  std::vector<double> masks = run(
      "import debug;\n"
      "var lines = 0;\n"
      "var first = debug.hook();\n"
      "first.line = function() { lines = lines + 1; };\n"
      "first.call = function() {};\n"
      "var second = debug.hook();\n"
      "var kept = mask();\n"
      "var x = 1;\n"
      "var counted = lines;\n"
      "first.close(); second.close();\n"
      "return kept, counted;\n");
  EXPECT_EQ(masks, (std::vector<double>{HOOK_MASK_LINE | HOOK_MASK_CALL, 5}));
}

TEST_F(DebugHooksTest, CallAndReturnBitsClearWhenTheirHooksAreGone) {
  std::vector<double> masks = run(
      "import debug;\n"
      "var h = debug.hook();\n"
      "h.call = function() {};\n"
      "h['return'] = function() {};\n"
      "var both = mask();\n"
      "h.close();\n"
      "var none = mask();\n"
      "return both, none;\n");
  // close's own return event finds nobody and clears the return bit; the call of mask() then
  // clears the call bit before mask reads it.
  EXPECT_EQ(masks, (std::vector<double>{HOOK_MASK_CALL | HOOK_MASK_RETURN, 0}));
}

}  // namespace
}  // namespace quevro
