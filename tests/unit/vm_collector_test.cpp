#include <cstring>
#include <string>
#include <vector>

#include "compiler/chunk_entry.h"
#include "lib/base_library.h"

#include "vm_script_support.h"

namespace quevro::test {
namespace {

// The other tests stop the collector; these run it on objects that are reachable only through
// the stack, the globals and closed upvalues, and check that nothing reachable is lost.
class CollectorTest : public ScriptTest {
 protected:
  void SetUp() override {
    ScriptTest::SetUp();
    gc_control(L, GC_RESTART, 0);
  }
};

TEST_F(CollectorTest, FullCollectionKeepsReachableTablesAndStrings) {
  new_table(L, 0, 0);
  TableObject* t = L->top[-1].table();
  for (int i = 0; i < 2000; ++i) {
    std::string key = "key" + std::to_string(i);
    push_string(L, key.c_str());
    push_fstring(L, "value%d", i);
    raw_set(L, 1);
    // Garbage alongside.
    new_table(L, 4, 4);
    push_fstring(L, "garbage%d", i);
    pop(L, 2);
  }
  gc_control(L, GC_COLLECT, 0);
  gc_control(L, GC_COLLECT, 0);
  for (int i = 0; i < 2000; i += 97) {
    std::string key = "key" + std::to_string(i);
    EXPECT_EQ(text_of(*table_get_str(t, intern_string(L, key.c_str()))), "value" + std::to_string(i));
  }
}

TEST_F(CollectorTest, ClosedUpvaluesSurviveCollection) {
  Assembler inc(L, 1);
  inc.nupvalues = 1;
  inc.abc(OP_GETUPVAL, 0, 0);
  inc.abc(OP_MOVE, 1, 0);
  inc.abc(OP_CONCAT, 0, 0, 1);  // doubles the text (a new string each time)
  inc.abc(OP_SETUPVAL, 0, 0);
  inc.ret(0, 1);
  Assembler make(L, 1);
  int c = make.child(inc.build());
  make.loadk(0, "ab");
  make.abx(OP_CLOSURE, 1, c);
  make.abc(OP_MOVE, 0, 0);
  make.ret(1, 1);
  Value maker = make.closure();
  set_global("maker", maker);
  Value counter = ok1(maker);
  set_global("counter", counter);
  gc_control(L, GC_COLLECT, 0);
  for (int i = 0; i < 10; ++i) ok(counter);
  gc_control(L, GC_COLLECT, 0);
  Value text = ok1(counter);
  ASSERT_EQ(text.tag, TAG_STRING);
  EXPECT_EQ(text.string()->length, 2u << 11);
}

// With stacks of two entries almost every object misses its place on the gray stack; marking must
// still find all of them (by walking the heap in the atomic step), or live data would be freed.
TEST_F(CollectorTest, MarkingFindsObjectsThatMissedTheGrayStack) {
  ASSERT_EQ(protect(L, [](VmState* s) { open_base_library(s); }), STATUS_OK);
  gc_control(L, GC_COLLECT, 0);  // between cycles the stacks are idle and can be dropped
  release_gray_stacks(G(L));
  G(L)->gray_stack_limit = 2;
  const char* source = R"(
    var root = {};
    for i = 1, 300 { root[i] = {name = "item" ++ i, child = {value = i}}; }
    var weak = {};
    weak@ = {_weak = "v"};
    for i = 1, 50 { weak[i] = root[i]; weak[i + 50] = {}; }
    var weaks = [];
    for i = 1, 20 { var w = {}; w@ = {_weak = "k"}; w[root[i]] = i; w[{}] = i; weaks[i] = w; }
    for round = 1, 40 {
      collectgarbage("step", 0);
      root[round].child = {value = round * 1000};
    }
    collectgarbage();
    collectgarbage();
    var sum = 0;
    for i = 1, 300 { sum = sum + root[i].child.value; }
    var alive = 0;
    for i = 1, 100 { if weak[i] != null alive = alive + 1; }
    var keys = 0;
    for i = 1, 20 { for k, v in weaks[i] { keys = keys + 1; } }
    return sum, alive, keys;
  )";
  ASSERT_EQ(load_buffer(L, source, std::strlen(source), "=test"), STATUS_OK) << top_text(L);
  Value fn = L->top[-1];
  std::vector<Value> results = ok(fn);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].number(), 40 * 41 / 2 * 1000 + (300 * 301 / 2 - 40 * 41 / 2));
  EXPECT_EQ(results[1].number(), 50);  // the tables only the weak table held are gone
  EXPECT_EQ(results[2].number(), 20);
  EXPECT_LE(G(L)->gray.capacity, 2u);
}

}  // namespace
}  // namespace quevro::test

namespace quevro::test {
namespace {

int g_finalized = 0;
int count_finalizer(VmState* L) {
  (void)L;
  ++g_finalized;
  return 0;
}

// A cdata with a metatable holding (or not) a `_gc` finaliser, left on the stack.
void push_finalizable(VmState* L, bool with_finalizer) {
  new_cdata(L, 8);
  new_table(L, 0, 1);
  if (with_finalizer) {
    push_string(L, "_gc");
    push_function(L, count_finalizer);
    raw_set(L, -3);
  }
  set_metatable(L, -2);
}

class FinalizerTest : public CollectorTest {
 protected:
  void SetUp() override {
    CollectorTest::SetUp();
    g_finalized = 0;
  }
};

TEST_F(FinalizerTest, RunsOnceInTheCycleAfterUnreachabilityAndFreesLater) {
  push_finalizable(L, true);
  gc_control(L, GC_COLLECT, 0);
  EXPECT_EQ(g_finalized, 0);  // still on the stack
  size_t with_object = G(L)->total_bytes;
  pop(L, 1);
  gc_control(L, GC_COLLECT, 0);
  EXPECT_EQ(g_finalized, 1);
  // The finalised object was kept for that cycle; the next one frees it without a second call.
  gc_control(L, GC_COLLECT, 0);
  gc_control(L, GC_COLLECT, 0);
  EXPECT_EQ(g_finalized, 1);
  EXPECT_LT(G(L)->total_bytes, with_object);
}

TEST_F(FinalizerTest, NoFinaliserAtUnreachabilityMeansNoCall) {
  push_finalizable(L, false);
  // Keep the metatable so that `_gc` can be added after the object was found unreachable.
  get_metatable(L, -1);
  Value mt = L->top[-1];
  set_global("keepmt", mt);
  pop(L, 2);
  gc_control(L, GC_COLLECT, 0);
  push(L, mt);
  push_string(L, "_gc");
  push_function(L, count_finalizer);
  raw_set(L, -3);
  pop(L, 1);
  gc_control(L, GC_COLLECT, 0);
  EXPECT_EQ(g_finalized, 0);
}

TEST_F(FinalizerTest, ClosingTheStateRunsPendingFinalisers) {
  for (int i = 0; i < 5; ++i) push_finalizable(L, true);
  close_state(L);
  L = open_state();  // the fixture closes a state when the test ends
  EXPECT_EQ(g_finalized, 5);
}

}  // namespace
}  // namespace quevro::test
