#include <string>

#include "vm/interpreter.h"
#include "vm_script_support.h"

namespace quevro::test {
namespace {

using CallsTest = ScriptTest;

// ---- natives used by the tests ----

int return_owner_and_count(VmState* L) {
  int n = get_top(L);
  push_value(L, 1);
  push_number(L, n);
  return 2;
}

int raise_message(VmState* L) { runtime_error(L, "native failure"); }

struct HandlerRecord {
  int calls = 0;
  int frame_depth = 0;
  int owner_tag = -2;
  std::string error;
};
HandlerRecord handler_record;

int recording_handler(VmState* L) {
  handler_record.calls++;
  handler_record.frame_depth = L->frame_index();
  handler_record.owner_tag = type_of(L, 1);
  handler_record.error = to_string(L, 2) ? to_string(L, 2) : "<not a string>";
  push_fstring(L, "handled: %s", to_string(L, 2));
  return 1;
}

int failing_handler(VmState* L) {
  handler_record.calls++;
  runtime_error(L, "handler broke");
}

int grow_stack_native(VmState* L) {
  check_stack(L, 5000);
  return 0;
}

int yield_all(VmState* L) { return yield(L, get_top(L) - 1); }

int resume_self(VmState* L) {
  int status = resume(L, 0);
  push_number(L, status);
  return 2;
}

// A script function that calls the global `name` with null owner and the given constants,
// returning all its results.
Value caller_of(VmState* L, const char* name, std::vector<const char*> args = {}) {
  Assembler a(L, 1);
  a.abx(OP_GETGLOBAL, 1, a.k(name));
  a.abc(OP_LOADNIL, 2, 2);
  int r = 3;
  for (const char* s : args) a.loadk(r++, s);
  a.abc(OP_CALL, 1, r - 1, 0);
  a.abc(OP_RETURN, 1, 0);
  return a.closure();
}

// ---- calling convention ----

TEST_F(CallsTest, CallingATableWithCallHandlerPassesItAsOwner) {
  TableObject* obj = new_tab();
  TableObject* mt = new_tab();
  set_field(mt, "_call", native(return_owner_and_count));
  set_meta(obj, mt);
  set_global("obj", make_object(obj));
  std::vector<Value> r = ok(caller_of(L, "obj", {"x", "y"}));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].tag, TAG_TABLE);
  EXPECT_EQ(r[0].table(), obj);
  EXPECT_EQ(r[1].number(), 3);  // owner plus the two visible arguments
}

TEST_F(CallsTest, CallingANonCallableRaisesTypeError) {
  const std::string described = "\n{Attempt to}:call\n{Kind}:global(namespace)\n{Name}:'value'\n{Type}:";
  set_global("value", num(3));
  EXPECT_EQ(fails(caller_of(L, "value")), annotated(3, described + "number"));
  set_global("value", tab());
  EXPECT_EQ(fails(caller_of(L, "value")), annotated(3, described + "table"));
  // A value that no instruction of the frame loaded by name is not described.
  Assembler a(L, 2);
  a.abc(OP_CALL, 1, 1, 1);
  a.ret(0, 0);
  EXPECT_EQ(fails(a.closure(), {make_boolean(1)}), annotated(1, "\n{Attempt to}:call\n{Type}:boolean"));
}

TEST_F(CallsTest, NativeResultsAdjustToWantedCount) {
  set_global("pair", native(return_owner_and_count));
  Assembler a(L, 1);
  a.abx(OP_GETGLOBAL, 1, a.k("pair"));
  a.abc(OP_LOADNIL, 2, 2);
  a.abc(OP_CALL, 1, 2, 4);  // three results wanted: the third is null
  a.ret(1, 3);
  std::vector<Value> r = ok(a.closure());
  ASSERT_EQ(r.size(), 3u);
  EXPECT_TRUE(r[0].is_null());
  EXPECT_EQ(r[1].number(), 1);
  EXPECT_TRUE(r[2].is_null());
}

// ---- tail calls and recursion limits ----

Value countdown(VmState* L) {
  // countdown(n): if n == 0 return "done" else return countdown(n - 1) as a tail call.
  Assembler a(L, 2);
  a.abc(OP_EQ, 1, 1, a.kn(0));
  int to_done = a.asbx(OP_JMP, 0, 0);
  a.abx(OP_GETGLOBAL, 2, a.k("countdown"));
  a.abc(OP_LOADNIL, 3, 3);
  a.abc(OP_SUB, 4, 1, a.kn(1));
  a.abc(OP_TAILCALL, 2, 3);
  a.abc(OP_RETURN, 2, 0);
  a.patch(to_done, a.here());
  a.loadk(2, "done");
  a.ret(2, 1);
  return a.closure();
}

TEST_F(CallsTest, TailCallsReuseTheFrame) {
  Value fn = countdown(L);
  set_global("countdown", fn);
  EXPECT_EQ(text_of(ok1(fn, {num(50000)})), "done");  // far deeper than the frame limit
  EXPECT_LT(L->frames_size, 64);
}

TEST_F(CallsTest, TailCallOfANativeReturnsItsResults) {
  set_global("pair", native(return_owner_and_count));
  Assembler a(L, 1);
  a.abx(OP_GETGLOBAL, 1, a.k("pair"));
  a.loadk(2, "me");
  a.loadk(3, "arg");
  a.abc(OP_TAILCALL, 1, 3);
  a.abc(OP_RETURN, 1, 0);
  std::vector<Value> r = ok(a.closure());
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(text_of(r[0]), "me");
  EXPECT_EQ(r[1].number(), 2);
}

// A function that calls itself through the global "rec" without end.
Value unbounded_recursion(VmState* L) {
  Assembler a(L, 1);
  a.max_stack = 4;
  a.abx(OP_GETGLOBAL, 1, a.k("rec"));
  a.abc(OP_LOADNIL, 2, 2);
  a.abc(OP_CALL, 1, 2, 2);
  a.ret(1, 1);
  return a.closure();
}

TEST_F(CallsTest, DeepRecursionEndsWithStackOverflowAndFramesShrinkBack) {
  Value rec = unbounded_recursion(L);
  set_global("rec", rec);
  std::string message = fails(rec);
  EXPECT_TRUE(ends_with(message, " stack overflow")) << message;
  EXPECT_EQ(message, annotated(3, "stack overflow"));
  EXPECT_EQ(L->frames_size, FRAMES_LIMIT);
  EXPECT_EQ(L->frame, L->frames);
  // The state is still usable, also for another deep recursion.
  EXPECT_EQ(fails(rec), annotated(3, "stack overflow"));
  EXPECT_EQ(L->frames_size, FRAMES_LIMIT);
  EXPECT_EQ(binop(OP_ADD, num(1), num(2)).number(), 3);
}

TEST_F(CallsTest, RecursionThroughGetHandlerEndsWithCStackOverflow) {
  // _get handler (t, key, flag): return t[key], which calls the handler again.
  Assembler h(L, 3);
  h.abc(OP_GETTABLE, 3, 0, 1);
  h.ret(3, 1);
  TableObject* t = new_tab();
  TableObject* mt = new_tab();
  set_field(mt, "_get", h.closure());
  set_meta(t, mt);
  std::string message = fails(binary_function(OP_GETTABLE), {make_object(t), str("k")});
  EXPECT_EQ(message, annotated(1, "C stack overflow"));
  EXPECT_EQ(L->native_depth, 0);
  EXPECT_EQ(L->frame, L->frames);
}

// ---- protected calls and handlers ----

TEST_F(CallsTest, HandlerRunsBeforeUnwindingAndReplacesTheError) {
  set_global("fail", native(raise_message));
  Value handler = native(recording_handler);
  handler_record = {};
  std::vector<Value> out;
  int status = call_protected(caller_of(L, "fail"), {}, &out, &handler);
  EXPECT_EQ(status, STATUS_RUNTIME);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(text_of(out[0]), "handled: native failure");
  EXPECT_EQ(handler_record.calls, 1);
  EXPECT_EQ(handler_record.owner_tag, static_cast<int>(TAG_NULL));
  EXPECT_EQ(handler_record.error, "native failure");  // raised from a native frame: not annotated
  // Frames at the time: the script caller (1), the failing native (2), the handler (3).
  EXPECT_EQ(handler_record.frame_depth, 3);
  EXPECT_EQ(L->frame, L->frames);
  EXPECT_EQ(L->error_handler, 0);
}

TEST_F(CallsTest, HandlerSeesAnnotatedScriptErrors) {
  Value handler = native(recording_handler);
  handler_record = {};
  std::vector<Value> out;
  int status = call_protected(binary_function(OP_ADD), {make_null(), num(1)}, &out, &handler);
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(handler_record.error, annotated(1, "\n{Attempt to}:perform arithmetic on\n{Type}:null"));
  EXPECT_EQ(handler_record.frame_depth, 2);
}

TEST_F(CallsTest, FailingHandlerGivesStatusFive) {
  set_global("fail", native(raise_message));
  Value handler = native(failing_handler);
  handler_record = {};
  std::vector<Value> out;
  int status = call_protected(caller_of(L, "fail"), {}, &out, &handler);
  EXPECT_EQ(status, STATUS_HANDLER);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(text_of(out[0]), "error in error handling");
  EXPECT_GE(handler_record.calls, 1);
  EXPECT_EQ(L->native_depth, 0);
  EXPECT_EQ(L->frame, L->frames);
  // The state works afterwards.
  EXPECT_EQ(binop(OP_ADD, num(1), num(2)).number(), 3);
}

TEST_F(CallsTest, NonFunctionHandlerGivesStatusFiveAndNullHandlerIsIgnored) {
  set_global("fail", native(raise_message));
  Value not_a_function = num(5);
  std::vector<Value> out;
  EXPECT_EQ(call_protected(caller_of(L, "fail"), {}, &out, &not_a_function), STATUS_HANDLER);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(text_of(out[0]), "error in error handling");
  Value null_handler = make_null();
  EXPECT_EQ(call_protected(caller_of(L, "fail"), {}, &out, &null_handler), STATUS_RUNTIME);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(text_of(out[0]), "native failure");
}

TEST_F(CallsTest, NestedProtectedCallsRestoreTheOuterHandler) {
  // Inner pcall with no handler inside an outer protected call with a handler: the inner error
  // must not reach the outer handler.
  set_global("fail", native(raise_message));
  handler_record = {};
  Value handler = native(recording_handler);
  set_global("inner", caller_of(L, "fail"));
  auto inner_pcall = [](VmState* s) -> int {
    push(s, *table_get_str(s->globals.table(), intern_string(s, "inner")));
    push_null(s);
    int status = pcall(s, 1, 0, 0);
    push_number(s, status);
    return 1;
  };
  set_global("run_inner", native(inner_pcall));
  std::vector<Value> out;
  EXPECT_EQ(call_protected(caller_of(L, "run_inner"), {}, &out, &handler), STATUS_OK);
  ASSERT_GE(out.size(), 1u);
  EXPECT_EQ(out.back().number(), STATUS_RUNTIME);
  EXPECT_EQ(handler_record.calls, 0);
}

// ---- the inline protected region and the direct script entry ----

TEST_F(CallsTest, RunRegionKeepsResultsWhenNothingFails) {
  ptrdiff_t before = save_stack(L, L->top);
  int status = run_region(L, 0, [&] {
    push(L, binary_function(OP_ADD));
    push_null(L);
    push(L, num(2));
    push(L, num(5));
    call_value(L, L->top - 4, 1);
  });
  EXPECT_EQ(status, STATUS_OK);
  ASSERT_EQ(L->top, restore_stack(L, before) + 1);
  EXPECT_EQ(L->top[-1].number(), 7);
  L->top--;
  EXPECT_EQ(L->error_handler, 0);
}

TEST_F(CallsTest, RunRegionRestoresTheStateAndPlacesTheErrorValue) {
  set_global("fail", native(raise_message));
  ptrdiff_t before = save_stack(L, L->top);
  CallFrame* frame = L->frame;
  uint16_t depth = L->native_depth;
  int status = run_region(L, 0, [&] {
    for (int i = 0; i < 10; ++i) push(L, num(i));
    push(L, caller_of(L, "fail"));
    push_null(L);
    call_value(L, L->top - 2, 0);
    ADD_FAILURE() << "the call should have raised";
  });
  EXPECT_EQ(status, STATUS_RUNTIME);
  ASSERT_EQ(L->top, restore_stack(L, before) + 1);
  EXPECT_EQ(top_text(L), "native failure");
  EXPECT_EQ(L->frame, frame);
  EXPECT_EQ(L->native_depth, depth);
  EXPECT_EQ(L->error_handler, 0);
  L->top--;
  EXPECT_EQ(binop(OP_ADD, num(1), num(2)).number(), 3);
}

TEST_F(CallsTest, RunRegionPassesErrorsThroughItsHandlerAndRestoresTheOuterOne) {
  set_global("fail", native(raise_message));
  handler_record = {};
  push(L, native(recording_handler));
  ptrdiff_t handler_at = save_stack(L, L->top - 1);
  L->error_handler = 12345;  // an outer region's, never used here
  int status = run_region(L, handler_at, [&] {
    push(L, caller_of(L, "fail"));
    push_null(L);
    call_value(L, L->top - 2, 0);
  });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "handled: native failure");
  EXPECT_EQ(handler_record.calls, 1);
  EXPECT_EQ(L->error_handler, 12345);
  L->error_handler = 0;
  L->top -= 2;
}

TEST_F(CallsTest, RunRegionReportsADeepOverflowAndShrinksTheFrames) {
  Value rec = unbounded_recursion(L);
  set_global("rec", rec);
  int status = run_region(L, 0, [&] {
    push(L, rec);
    push_null(L);
    call_value(L, L->top - 2, 1);
  });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), annotated(3, "stack overflow"));
  EXPECT_EQ(L->frames_size, FRAMES_LIMIT);
  EXPECT_EQ(L->frame, L->frames);
  L->top--;
}

TEST_F(CallsTest, PlainScriptEntryRunsLikeACall) {
  // Room for the five values and the callee's registers: the entry never grows the stack.
  check_stack(L, 5 + 40);
  ptrdiff_t func_at = save_stack(L, L->top);
  push(L, binary_function(OP_MUL));
  push_null(L);
  push(L, num(6));
  push(L, num(7));
  push(L, num(99));  // one argument more than the function takes: dropped
  CallFrame* frame = L->frame;
  ASSERT_TRUE(enter_plain_script_call(L, restore_stack(L, func_at), -1));
  EXPECT_EQ(L->frame, frame + 1);
  execute(L, 1);
  EXPECT_EQ(L->frame, frame);
  ASSERT_EQ(L->top, restore_stack(L, func_at) + 1);
  EXPECT_EQ(L->top[-1].number(), 42);
  L->top--;
}

TEST_F(CallsTest, PlainScriptEntryLeavesOtherCallsToPrepareCall) {
  Value* func = L->top;
  check_stack(L, 3);
  push(L, native(return_owner_and_count));
  push_null(L);
  Value* top = L->top;
  CallFrame* frame = L->frame;
  EXPECT_FALSE(enter_plain_script_call(L, func, -1));  // a native function
  *func = tab();
  EXPECT_FALSE(enter_plain_script_call(L, func, -1));  // not a function
  *func = binary_function(OP_ADD);
  L->hook_mask = HOOK_MASK_CALL;
  EXPECT_FALSE(enter_plain_script_call(L, func, -1));  // a call hook must see the call
  L->hook_mask = 0;
  EXPECT_EQ(L->frame, frame);
  EXPECT_EQ(L->top, top);
  L->top = func;
}

TEST(StatusText, TextsOfTheStatusTable) {
  EXPECT_EQ(status_text(0), "no error");
  EXPECT_EQ(status_text(2, "oops"), "runtime error: oops");
  EXPECT_EQ(status_text(2), "runtime error");
  EXPECT_EQ(status_text(3), "unknown error.");
  EXPECT_EQ(status_text(4), "memory allocation error.");
  EXPECT_EQ(status_text(5), "error while running the error handler.");
  EXPECT_EQ(status_text(6), "unknown error.");
  EXPECT_EQ(status_text(1), "unknown error.");
}

// ---- stack growth ----

TEST_F(CallsTest, StackGrowthRebasesOpenUpvalues) {
  Assembler get(L, 1);
  get.nupvalues = 1;
  get.abc(OP_GETUPVAL, 0, 0);
  get.ret(0, 1);
  set_global("grow", native(grow_stack_native));
  Assembler a(L, 1);
  int g = a.child(get.build());
  a.loadk(0, 5);
  a.abx(OP_CLOSURE, 1, g);
  a.abc(OP_MOVE, 0, 0);
  a.abx(OP_GETGLOBAL, 2, a.k("grow"));
  a.abc(OP_LOADNIL, 3, 3);
  a.abc(OP_CALL, 2, 2, 1);
  a.loadk(0, 7);  // written to the moved stack
  a.abc(OP_MOVE, 2, 1);
  a.abc(OP_LOADNIL, 3, 3);
  a.abc(OP_CALL, 2, 2, 2);
  a.ret(2, 1);
  Value* before = L->stack;
  EXPECT_EQ(ok1(a.closure()).number(), 7);
  EXPECT_NE(L->stack, before);
}

// ---- source names ----

TEST(SourceDisplayName, Forms) {
  VmState* L = open_state();
  gc_control(L, GC_STOP, 0);
  auto name = [&](const std::string& s) { return source_display_name(intern_string(L, s.data(), s.size())); };
  EXPECT_EQ(name("=stdin"), "stdin");
  EXPECT_EQ(name("=" + std::string(60, 'x')), std::string(49, 'x'));
  EXPECT_EQ(name("@main.quevro"), "main.quevro");
  std::string long_file = "@" + std::string(30, 'd') + "/" + std::string(20, 'f') + ".quevro";
  std::string shown = name(long_file);
  EXPECT_EQ(shown.substr(0, 3), "...");
  EXPECT_EQ(shown.size(), 3u + 42u);
  EXPECT_TRUE(ends_with(shown, "ffff.quevro"));
  EXPECT_EQ(name("print(1)"), "[string \"print(1)\"]");
  EXPECT_EQ(name("line one\nline two"), "[string \"line one...\"]");
  EXPECT_EQ(name(std::string(40, 'a')), "[string \"" + std::string(33, 'a') + "...\"]");
  // The cut falls back to a UTF-8 character boundary: 32 ASCII bytes then a two-byte character.
  std::string utf = std::string(32, 'a') + "\xC3\xA9" + "tail";
  EXPECT_EQ(name(utf), "[string \"" + std::string(32, 'a') + "...\"]");
  close_state(L);
}

// ---- fibers ----

class FiberTest : public ScriptTest {
 protected:
  VmState* start(const Value& fn, const std::vector<Value>& args) {
    VmState* co = new_fiber(L);
    push(L, make_object(co));  // keeps it reachable
    push(co, fn);
    push(co, make_null());
    for (const Value& v : args) push(co, v);
    last_status = resume(co, static_cast<int>(args.size()) + 1);
    return co;
  }
  int last_status = -1;
};

TEST_F(FiberTest, YieldAndResumeExchangeValues) {
  set_global("yield", native(yield_all));
  VmState* co = start(caller_of(L, "yield", {"a", "b"}), {});
  EXPECT_EQ(last_status, STATUS_YIELD);
  EXPECT_EQ(co->status, STATUS_YIELD);
  ASSERT_GE(co->top - co->stack, 2);
  EXPECT_EQ(text_of(co->top[-2]), "a");
  EXPECT_EQ(text_of(co->top[-1]), "b");
  push(co, str("x"));
  push(co, str("y"));
  push(co, str("z"));
  EXPECT_EQ(resume(co, 3), STATUS_OK);
  EXPECT_EQ(co->status, STATUS_OK);
  EXPECT_EQ(co->frame, co->frames);
  EXPECT_EQ(text_of(co->top[-3]), "x");
  EXPECT_EQ(text_of(co->top[-1]), "z");
}

TEST_F(FiberTest, YieldFromNestedScriptFunctionWorks) {
  set_global("yield", native(yield_all));
  set_global("inner", caller_of(L, "yield", {"deep"}));
  Assembler main(L, 1);
  main.abx(OP_GETGLOBAL, 1, main.k("inner"));
  main.abc(OP_LOADNIL, 2, 2);
  main.abc(OP_CALL, 1, 2, 2);
  main.loadk(2, "!");
  main.abc(OP_CONCAT, 1, 1, 2);
  main.ret(1, 1);
  VmState* co = start(main.closure(), {});
  ASSERT_EQ(last_status, STATUS_YIELD);
  EXPECT_EQ(text_of(co->top[-1]), "deep");
  push(co, str("back"));
  EXPECT_EQ(resume(co, 1), STATUS_OK);
  EXPECT_EQ(text_of(co->top[-1]), "back!");
}

TEST_F(FiberTest, ArgumentsReachTheFunction) {
  Assembler a(L, 3);
  a.abc(OP_ADD, 0, 1, 2);
  a.ret(0, 1);
  VmState* co = start(a.closure(), {num(2), num(40)});
  EXPECT_EQ(last_status, STATUS_OK);
  EXPECT_EQ(co->top[-1].number(), 42);
}

TEST_F(FiberTest, DeadFiberCannotBeResumed) {
  VmState* co = start(binary_function(OP_ADD), {tab(), num(1)});
  EXPECT_EQ(last_status, STATUS_RUNTIME);
  EXPECT_EQ(text_of(co->top[-1]), annotated(1, "\n{Attempt to}:perform arithmetic on\n{Type}:table"));
  EXPECT_EQ(resume(co, 0), STATUS_RUNTIME);
  EXPECT_EQ(text_of(co->top[-1]), "cannot resume dead fiber");
  EXPECT_EQ(resume(co, 0), STATUS_RUNTIME);
  EXPECT_EQ(text_of(co->top[-1]), "cannot resume dead fiber");
}

TEST_F(FiberTest, RunningFiberCannotBeResumed) {
  set_global("resume_self", native(resume_self));
  VmState* co = start(caller_of(L, "resume_self"), {});
  EXPECT_EQ(last_status, STATUS_OK);
  ASSERT_GE(co->top - co->stack, 2);
  EXPECT_EQ(text_of(co->top[-2]), "cannot resume non-suspended fiber");
  EXPECT_EQ(co->top[-1].number(), STATUS_RUNTIME);
}

TEST_F(FiberTest, RefusedResumeReplacesOnlyItsArguments) {
  // Resumes nested as deeply as allowed: the next one is refused, and the fiber that has not
  // started keeps its function below the arguments, so it can run once the nesting has gone.
  Assembler a(L, 3);
  a.abc(OP_ADD, 0, 1, 2);
  a.ret(0, 1);
  VmState* co = new_fiber(L);
  push(L, make_object(co));
  push(co, a.closure());
  push(co, make_null());
  push(co, num(2));
  push(co, num(40));
  int saved_depth = G(L)->resume_depth;
  G(L)->resume_depth = 1 << 20;  // beyond any nesting limit
  EXPECT_EQ(resume(co, 3), STATUS_RUNTIME);
  G(L)->resume_depth = saved_depth;
  ASSERT_EQ(get_top(co), 2);
  EXPECT_EQ(text_of(co->top[-1]), "C stack overflow");
  EXPECT_EQ(co->status, STATUS_OK);
  co->top--;
  push(co, make_null());
  push(co, num(2));
  push(co, num(40));
  EXPECT_EQ(resume(co, 3), STATUS_OK);
  EXPECT_EQ(co->top[-1].number(), 42);
}

TEST_F(FiberTest, YieldInsideGetHandlerRaises) {
  TableObject* t = new_tab();
  TableObject* mt = new_tab();
  set_field(mt, "_get", native(yield_all));
  set_meta(t, mt);
  VmState* co = start(binary_function(OP_GETTABLE), {make_object(t), str("k")});
  EXPECT_EQ(last_status, STATUS_RUNTIME);
  EXPECT_EQ(text_of(co->top[-1]), "\n{Attempt to}: yield across metamethod/Kernel-call boundary");
}

TEST_F(FiberTest, FiberSharesGlobalsAndStartsFresh) {
  VmState* co = new_fiber(L);
  push(L, make_object(co));
  EXPECT_EQ(co->globals.table(), globals());
  EXPECT_EQ(co->status, STATUS_OK);
  EXPECT_EQ(co->frames_size, FRAMES_INITIAL);
  EXPECT_EQ(co->stack_size, STACK_INITIAL + STACK_RESERVE);
  EXPECT_EQ(co->shared, L->shared);
}

}  // namespace
}  // namespace quevro::test
