// Call, return, tail-return and line hooks as scripts see them run.
#include <cstring>
#include <string>
#include <vector>

#include "compiler/chunk_entry.h"
#include "vm_script_support.h"

namespace quevro::test {
namespace {

struct HookEventRecord {
  int event;
  int line;
  int frame;
};

std::vector<HookEventRecord> g_events;

void record_hook(VmState*, int event, int line, int frame) { g_events.push_back({event, line, frame}); }

// A native function that turns on the line hook of the fiber calling it.
int enable_line_hook(VmState* L) {
  L->hook_mask |= HOOK_MASK_LINE;
  return 0;
}

class HookTest : public ScriptTest {
 protected:
  void SetUp() override {
    ScriptTest::SetUp();
    g_events.clear();
    L->hook = record_hook;
  }

  Value compile(const char* source) {
    EXPECT_EQ(load_buffer(L, source, std::strlen(source), "=test"), STATUS_OK) << top_text(L);
    Value fn = L->top[-1];
    pop(L, 1);
    return fn;
  }

  std::vector<int> lines() const {
    std::vector<int> out;
    for (const HookEventRecord& e : g_events)
      if (e.event == HOOK_LINE) out.push_back(e.line);
    return out;
  }

  std::vector<int> events() const {
    std::vector<int> out;
    for (const HookEventRecord& e : g_events) out.push_back(e.event);
    return out;
  }
};

TEST_F(HookTest, LineEventsOnNewLinesAndOnEveryJumpBack) {
  Value fn = compile(
      "var x = 0;\n"
      "for i = 1, 3 { x = x + i; }\n"
      "return x;\n");
  L->hook_mask = HOOK_MASK_LINE;
  EXPECT_EQ(ok1(fn).number(), 6);
  // Line 2 is reported again for each pass: the loop jumps back without changing line.
  EXPECT_EQ(lines(), (std::vector<int>{1, 2, 2, 2, 2, 3}));
}

TEST_F(HookTest, LineHookTurnedOnByACallFiresForTheRestOfTheCaller) {
  set_global("enable", native(enable_line_hook));
  Value fn = compile(
      "var a = 1;\n"
      "enable();\n"
      "var b = 2;\n"
      "return a + b;\n");
  L->hook_mask = 0;
  EXPECT_EQ(ok1(fn).number(), 3);
  // The call was the last instruction of line 2; every line after it is reported.
  EXPECT_EQ(lines(), (std::vector<int>{3, 4}));
}

TEST_F(HookTest, CallAndReturnEventsPairUpWithFrameIndices) {
  Value fn = compile(
      "var function f(n) { return n + 1; }\n"
      "return f(1) + f(2);\n");
  L->hook_mask = HOOK_MASK_CALL | HOOK_MASK_RETURN;
  EXPECT_EQ(ok1(fn).number(), 5);
  // The main function's call, then two calls of f each with its return, then the main return.
  EXPECT_EQ(events(), (std::vector<int>{HOOK_CALL, HOOK_CALL, HOOK_RETURN, HOOK_CALL, HOOK_RETURN, HOOK_RETURN}));
  ASSERT_EQ(g_events.size(), 6u);
  EXPECT_EQ(g_events[1].frame, g_events[0].frame + 1);
  EXPECT_EQ(g_events[2].frame, g_events[1].frame);
}

TEST_F(HookTest, ReturnAfterTailCallsReportsOneTailReturnPerAbsorbedCall) {
  Value fn = compile(
      "var function c() { return 7; }\n"
      "var function b() { return c(); }\n"
      "var function a() { return b(); }\n"
      "return a();\n");
  L->hook_mask = HOOK_MASK_RETURN;
  EXPECT_EQ(ok1(fn).number(), 7);
  // The main function tail-calls a, a tail-calls b, b tail-calls c: one frame returns, having
  // absorbed three calls.
  EXPECT_EQ(events(), (std::vector<int>{HOOK_RETURN, HOOK_TAIL_RETURN, HOOK_TAIL_RETURN, HOOK_TAIL_RETURN}));
}

TEST_F(HookTest, NoEventsWithoutMaskBits) {
  Value fn = compile("var t = 0; for i = 1, 5 { t = t + i; } return t;\n");
  L->hook_mask = 0;
  EXPECT_EQ(ok1(fn).number(), 15);
  EXPECT_TRUE(g_events.empty());
}

}  // namespace
}  // namespace quevro::test
