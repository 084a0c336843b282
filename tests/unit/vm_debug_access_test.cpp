// The debug library's view of a fiber: levels with tail-call gaps, local variables (hidden and
// '$' names, temporaries, the frame's end), upvalues and the collector barrier on setting one.
#include <cstring>
#include <string>
#include <vector>

#include "compiler/chunk_entry.h"
#include "lib/base_library.h"
#include "vm/closure.h"
#include "vm/debug_access.h"
#include "vm_script_support.h"

namespace quevro::test {
namespace {

// What the native `capture` saw of the fiber calling it, one line per level.
std::vector<std::string> g_levels;
int g_deepest;

int capture_levels(VmState* L) {
  g_levels.clear();
  StackLevel at;
  for (int level = 0; find_level(L, level, &at); ++level) {
    FunctionReport r = describe_level(L, at);
    g_levels.push_back(std::string(r.kind) + " " + r.short_source + ":" + std::to_string(r.current_line) + " " +
                       r.name_kind + " " + r.name);
  }
  g_deepest = deepest_level(L);
  return 0;
}

// Local variables of the caller (level 1), n = 1.. until there is none.
struct LocalSeen {
  std::string name;
  Value value;
};
std::vector<LocalSeen> g_locals;

int capture_locals(VmState* L) {
  g_locals.clear();
  StackLevel at;
  EXPECT_TRUE(find_level(L, 1, &at));
  std::string name;
  for (int n = 1; n < 50 && push_local(L, L, at, n, &name); ++n) {
    g_locals.push_back({name, L->top[-1]});
    L->top--;
  }
  return 0;
}

class DebugAccessTest : public ScriptTest {
 protected:
  Value compile(const char* source) {
    EXPECT_EQ(load_buffer(L, source, std::strlen(source), "=test"), STATUS_OK) << top_text(L);
    Value fn = L->top[-1];
    L->top--;
    return fn;
  }
};

TEST_F(DebugAccessTest, TailCallsLeaveOnePseudoLevelPerAbsorbedCall) {
  set_global("capture", native(capture_levels));
  Value fn = compile(
      "var function leaf() { capture(); return 1; }\n"
      "var function mid() { return leaf(); }\n"
      "var function top() { var r = mid(); return r; }\n"
      "return top();\n");
  ok(fn);
  // leaf absorbed mid, top absorbed the main function: each is followed by one gap level, and
  // a frame that absorbed calls has no name from its caller.
  EXPECT_EQ(g_levels, (std::vector<std::string>{
                          "kernel [kernel]:-1 self(namespace) capture",
                          "function test:1  ",
                          "tail (tail call):-1  ",
                          "function test:3  ",
                          "tail (tail call):-1  ",
                      }));
  EXPECT_EQ(g_deepest, 4);
  StackLevel at;
  EXPECT_FALSE(find_level(L, -1, &at));
}

TEST_F(DebugAccessTest, LocalsFollowTheRecordsActiveAtTheCurrentInstruction) {
  set_global("capture", native(capture_locals));
  Assembler a(L, 1);
  a.loadk(1, 10);        // 0: local a
  a.loadk(2, 20);        // 1: "$b": its value is kept in the next slot
  a.loadk(3, 30);        // 2
  a.abx(OP_GETGLOBAL, 4, a.k("capture"));  // 3
  a.abc(OP_CALL, 4, 1, 1);                 // 4
  a.ret(0, 0);                             // 5
  a.local("owner", 0, 6);
  a.local("a", 1, 6);
  a.local("$b", 2, 6);
  a.local("later", 5, 6);  // not active yet at the call
  ok(a.closure());
  ASSERT_EQ(g_locals.size(), 4u);
  EXPECT_EQ(g_locals[0].name, "owner");
  EXPECT_TRUE(g_locals[0].value.is_null());
  EXPECT_EQ(g_locals[1].name, "a");
  EXPECT_EQ(g_locals[1].value.number(), 10);
  EXPECT_EQ(g_locals[2].name, "b");
  EXPECT_EQ(g_locals[2].value.number(), 30);
  // The slot after the named ones is a temporary; the called function's slot ends the frame.
  EXPECT_EQ(g_locals[3].name, "(temporary)");
  EXPECT_EQ(g_locals[3].value.number(), 30);
}

TEST_F(DebugAccessTest, SuspendedFiberLocalsCanBeReadAndWritten) {
  ASSERT_EQ(protect(L, [](VmState* s) { open_base_library(s); }), STATUS_OK);
  Value body = compile(
      "var x = 5;\n"
      "fiber.yield();\n"
      "return x;\n");
  VmState* co = new_fiber(L);
  set_global("co", make_object(co));
  push(co, body);
  push(co, make_null());
  ASSERT_EQ(resume(co, 1), STATUS_YIELD);
  StackLevel at;
  ASSERT_TRUE(find_level(co, 1, &at));  // level 0 is the yield
  std::string name;
  ASSERT_TRUE(push_local(L, co, at, 2, &name));
  EXPECT_EQ(name, "x");
  EXPECT_EQ(L->top[-1].number(), 5);
  L->top--;
  push(L, str("changed"));
  ASSERT_TRUE(set_local(L, co, at, 2, &name));
  EXPECT_FALSE(push_local(L, co, at, 40, &name));
  ASSERT_EQ(resume(co, 0), STATUS_OK);
  EXPECT_EQ(text_of(co->top[-1]), "changed");
}

TEST_F(DebugAccessTest, SettingAClosedUpvalueOfABlackClosureKeepsTheNewValue) {
  Value maker = compile("var cell = 1; return function() { return cell; };");
  Value getter = ok1(maker);
  set_global("getter", getter);
  UpvalueObject* uv = getter.closure()->script_upvalues()[0];
  ASSERT_FALSE(uv->is_open());
  // Step a new cycle, one object at a time, until the closed cell has been marked black.
  SharedState* g = G(L);
  gc_control(L, GC_SETSTEPMUL, 1);
  for (int i = 0; i < 100000 && !(g->gc_phase == PHASE_PROPAGATE && is_black(uv)); ++i) collector_step(L);
  ASSERT_EQ(g->gc_phase, PHASE_PROPAGATE);
  ASSERT_TRUE(is_black(uv));
  // A new (white) table stored into the black cell: without the barrier the cycle would free it.
  push(L, getter);
  new_table(L, 0, 1);
  TableObject* fresh = L->top[-1].table();
  set_field(fresh, "kept", str("yes"));
  std::string name;
  ASSERT_TRUE(set_upvalue(L, -2, 1, &name));
  EXPECT_EQ(name, "cell");
  L->top--;
  for (int i = 0; i < 100000 && g->gc_phase != PHASE_PAUSE; ++i) collector_step(L);
  ASSERT_EQ(g->gc_phase, PHASE_PAUSE);
  // Had the table been freed, these would take its memory.
  for (int i = 0; i < 8; ++i) set_field(new_tab(0, 1), "kept", str("overwritten"));
  Value seen = ok1(getter);
  ASSERT_EQ(seen.tag, TAG_TABLE);
  EXPECT_EQ(text_of(field(seen.table(), "kept")), "yes");
}

TEST_F(DebugAccessTest, UpvalueIndicesOutsideTheFunctionFindNothing) {
  Value getter = ok1(compile("var cell = 1; return function() { return cell; };"));
  push(L, getter);
  std::string name;
  EXPECT_FALSE(push_upvalue(L, -1, 0, &name));
  EXPECT_FALSE(push_upvalue(L, -1, 2, &name));
  push(L, num(3));
  EXPECT_FALSE(push_upvalue(L, -1, 1, &name));
  L->top -= 2;
}

}  // namespace
}  // namespace quevro::test
