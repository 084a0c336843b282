// thread.callWnd, getWnd and setWnd against a window of the window-system layer whose thread runs
// a message loop and answers through thread.applyCallWnd, each side in a state opened the way the
// executables open theirs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "compiler/chunk_entry.h"
#include "host/startup.h"
#include "native/window_calls.h"
#include "runtime/window_system.h"
#include "vm/api.h"
#include "vm/calls.h"

namespace quevro {
namespace {

using namespace winsys;

constexpr uint32_t END_LOOP = WM_USER + 1;

// Runs a chunk in L; returns its first result as text, or the error prefixed by "error: ".
std::string run(VmState* L, const char* source) {
  int base = get_top(L);
  if (load_buffer(L, source, std::strlen(source), "=test") != STATUS_OK) return std::string("error: ") + to_string(L, -1);
  push_null(L);
  std::string out = pcall(L, 1, 1, 0) == STATUS_OK ? "" : "error: ";
  size_t len = 0;
  const char* s = to_lstring(L, -1, &len);
  out += s ? std::string(s, len) : std::string("(") + type_name(L, -1) + ")";
  set_top(L, base);
  return out;
}

// The receiving window: its procedure passes the packet message to the script's handler.
intptr_t answering_procedure(WindowHandle, uint32_t message, uintptr_t wparam, intptr_t lparam, void* user) {
  auto* R = static_cast<VmState*>(user);
  if (message == END_LOOP) {
    post_quit_message(0);
    return 0;
  }
  if (message != WINDOW_CALL_MESSAGE) return 0;
  int base = get_top(R);
  get_field(R, GLOBALS_INDEX, "on_message");
  push_null(R);
  push_number(R, static_cast<double>(wparam));
  push_number(R, static_cast<double>(lparam));  // as a message table carries it
  pcall(R, 3, 0, 0);
  set_top(R, base);
  return 1;
}

// A window whose thread does not answer the packet message.
intptr_t silent_procedure(WindowHandle, uint32_t, uintptr_t, intptr_t, void*) { return 0; }

class WindowCall : public ::testing::Test {
 protected:
  void SetUp() override {
    S = create_main_state();
    ASSERT_NE(S, nullptr);
    receiver = start_thread([this] { run_receiver(); }, nullptr);
    while (!ready.load()) msg_wait_for_multiple_objects(0, nullptr, false, 10, QS_ALLINPUT);
    push_pointer(S, window);
    set_field(S, GLOBALS_INDEX, "hwnd");
    push_pointer(S, silent);
    set_field(S, GLOBALS_INDEX, "silent");
  }
  void TearDown() override {
    post_message(window, END_LOOP, 0, 0);
    EXPECT_EQ(wait_for_multiple_objects(1, &receiver, false, INFINITE), WAIT_OBJECT_0);
    close_handle(receiver);
    close_state(S);
  }

  void run_receiver() {
    VmState* R = create_main_state();
    std::string setup = run(R, R"(
      target = {
        value = 5,
        add = function(a, b) { return a + b, "sum" },
        apply = function(f, x) { return f(x) },
        fail = function() { error("boom in the window thread") },
        thread_id = function() { return thread.getId() },
      }
      on_message = function(w, l) { return thread.applyCallWnd(target, w, l) }
      return "ok")");
    EXPECT_EQ(setup, "ok");
    window = create_window(answering_procedure, R);
    silent = create_window(silent_procedure, nullptr);
    ready.store(true);
    Message m;
    while (get_message(&m, nullptr, 0, 0) > 0) dispatch_message(&m);
    close_state(R);
  }

  VmState* S = nullptr;
  Handle receiver = nullptr;
  WindowHandle window = nullptr;
  WindowHandle silent = nullptr;
  std::atomic<bool> ready{false};
};

TEST_F(WindowCall, CallsRunInTheWindowThreadAndReturnTheirResults) {
  EXPECT_EQ(run(S, R"(
    var n, word = thread.callWnd(hwnd, "add", 2, 3)
    var other = thread.callWnd(hwnd, "thread_id") != thread.getId()
    return n ++ " " ++ word ++ " " ++ tostring(other))"), "5 sum true");
  // A function and a table cross as copies; the function runs in the window thread.
  EXPECT_EQ(run(S, R"(return thread.callWnd(hwnd, "apply", function(t) { return t.x * 2 }, {x = 21}))"), "42");
}

TEST_F(WindowCall, GetAndSetReachTheTargetTable) {
  EXPECT_EQ(run(S, R"(return thread.getWnd(hwnd, "value"))"), "5");
  EXPECT_EQ(run(S, R"(return #{thread.setWnd(hwnd, "value", {7, 8, "nine"})})"), "0");
  EXPECT_EQ(run(S, R"(var t = thread.getWnd(hwnd, "value"); return t[1] + t[2] ++ t[3])"), "15nine");
  EXPECT_EQ(run(S, R"(return tostring(thread.getWnd(hwnd, "nothing") == null))"), "true");
  // A value left out is written as null; a name left out is refused before anything is sent.
  run(S, R"(thread.setWnd(hwnd, "value"))");
  EXPECT_EQ(run(S, R"(return tostring(thread.getWnd(hwnd, "value") == null))"), "true");
  EXPECT_EQ(run(S, R"(return thread.getWnd(hwnd))").rfind("error: ", 0), 0u);
}

TEST_F(WindowCall, AnErrorInTheWindowThreadIsRaisedInTheCallerWithItsPosition) {
  std::string e = run(S, R"(var m; try { thread.callWnd(hwnd, "fail") } catch (e) { m = e }; return m)");
  EXPECT_EQ(e.rfind("\n{File}:test\n{Line}:#1\n{Error}:", 0), 0u) << e;
  EXPECT_NE(e.find("boom in the window thread"), std::string::npos) << e;
  // Calling a missing name fails the same way.
  EXPECT_NE(run(S, R"(var m; try { thread.callWnd(hwnd, "missing") } catch (e) { m = e }; return m)").find("{Error}:"),
            std::string::npos);
}

TEST_F(WindowCall, NoAnswerGivesNoResults) {
  EXPECT_EQ(run(S, R"(return #{thread.callWnd(silent, "add", 1, 2)})"), "0");
  EXPECT_EQ(run(S, R"(return #{thread.callWnd(raw.toPointer(12345), "add", 1, 2)})"), "0");
}

TEST_F(WindowCall, ApplyRefusesAnAddressThatIsNoPacket) {
  std::string e = run(S, R"(return thread.applyCallWnd({}, 0, 4096))");
  EXPECT_NE(e.find("not a window-call packet"), std::string::npos) << e;
}

}  // namespace
}  // namespace quevro
