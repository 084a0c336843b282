#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/window_system.h"

namespace quevro::winsys {
namespace {

struct Recorder {
  int calls = 0;
  uint32_t last_message = 0;
  uintptr_t last_wparam = 0;
  std::thread::id thread;
};

intptr_t record(WindowHandle, uint32_t message, uintptr_t wparam, intptr_t lparam, void* user) {
  auto* r = static_cast<Recorder*>(user);
  r->calls++;
  r->last_message = message;
  r->last_wparam = wparam;
  r->thread = std::this_thread::get_id();
  return lparam * 2;
}

void drain() {
  Message m;
  while (peek_message(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
}

TEST(WindowSystem, PostedMessagesArriveInOrderAndDispatchToTheProcedure) {
  drain();
  Recorder r;
  WindowHandle w = create_window(record, &r);
  ASSERT_TRUE(post_message(w, WM_USER + 1, 10, 0));
  ASSERT_TRUE(post_message(w, WM_USER + 2, 20, 0));
  Message m;
  ASSERT_EQ(get_message(&m, nullptr, 0, 0), 1);
  EXPECT_EQ(m.message, WM_USER + 1);
  dispatch_message(&m);
  EXPECT_EQ(r.calls, 1);
  EXPECT_EQ(r.last_wparam, 10u);
  ASSERT_EQ(get_message(&m, nullptr, 0, 0), 1);
  EXPECT_EQ(m.message, WM_USER + 2);
  destroy_window(w);
}

TEST(WindowSystem, PeekFiltersByRangeAndCanLeaveTheMessage) {
  drain();
  Recorder r;
  WindowHandle w = create_window(record, &r);
  post_message(w, WM_USER + 5, 0, 0);
  post_message(w, WM_APP + 1, 0, 0);
  Message m;
  ASSERT_TRUE(peek_message(&m, nullptr, WM_APP, WM_APP + 10, PM_NOREMOVE));
  EXPECT_EQ(m.message, WM_APP + 1);
  ASSERT_TRUE(peek_message(&m, nullptr, WM_APP, WM_APP + 10, PM_REMOVE));
  EXPECT_FALSE(peek_message(&m, nullptr, WM_APP, WM_APP + 10, PM_REMOVE));
  ASSERT_TRUE(peek_message(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_USER + 5);
  destroy_window(w);
}

TEST(WindowSystem, QuitEndsGetMessageWithItsCode) {
  drain();
  post_quit_message(3);
  Message m;
  EXPECT_EQ(get_message(&m, nullptr, 0, 0), 0);
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wparam, 3u);
}

TEST(WindowSystem, SendFromAnotherThreadRunsOnTheOwnerAndWaitsForTheResult) {
  drain();
  Recorder r;
  WindowHandle w = create_window(record, &r);
  std::atomic<intptr_t> result{0};
  std::thread sender([&] { result = send_message(w, WM_USER, 1, 21); });
  // The owner's loop handles the sent message while it waits for input.
  while (r.calls == 0) msg_wait_for_multiple_objects(0, nullptr, false, 50, 0x1CFF);
  sender.join();
  EXPECT_EQ(result.load(), 42);
  EXPECT_EQ(r.thread, std::this_thread::get_id());
  destroy_window(w);
}

TEST(WindowSystem, EventsWakeWaitersAndAutoResetOnce) {
  Handle manual = create_event(true, false);
  Handle automatic = create_event(false, false);
  Handle both[] = {manual, automatic};
  EXPECT_EQ(wait_for_multiple_objects(2, both, false, 0), WAIT_TIMEOUT);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    set_event(automatic);
  });
  EXPECT_EQ(wait_for_multiple_objects(2, both, false, 2000), WAIT_OBJECT_0 + 1);
  setter.join();
  // An automatic event was consumed by the wait; a manual one stays set.
  EXPECT_EQ(wait_for_multiple_objects(1, &automatic, false, 0), WAIT_TIMEOUT);
  set_event(manual);
  EXPECT_EQ(wait_for_multiple_objects(1, &manual, false, 0), WAIT_OBJECT_0);
  EXPECT_EQ(wait_for_multiple_objects(1, &manual, false, 0), WAIT_OBJECT_0);
  EXPECT_EQ(wait_for_multiple_objects(2, both, true, 0), WAIT_TIMEOUT);
  set_event(automatic);
  EXPECT_EQ(wait_for_multiple_objects(2, both, true, 0), WAIT_OBJECT_0);
  close_handle(manual);
  close_handle(automatic);
  EXPECT_EQ(wait_for_multiple_objects(1, &manual, false, 0), WAIT_FAILED);
}

TEST(WindowSystem, MessageWaitReturnsForQueuedInput) {
  drain();
  Handle e = create_event(true, false);
  post_message(nullptr, WM_USER, 0, 0);
  EXPECT_EQ(msg_wait_for_multiple_objects(1, &e, false, 1000, 0x1CFF), WAIT_OBJECT_0 + 1);
  drain();
  EXPECT_EQ(msg_wait_for_multiple_objects(1, &e, false, 10, 0x1CFF), WAIT_TIMEOUT);
  close_handle(e);
}

// Waiting for all handles together with input needs both: signalled handles alone do not end it
// (nor reset an automatic event), input alone does not either.
TEST(WindowSystem, MessageWaitForAllNeedsEveryHandleAndInput) {
  drain();
  Handle manual = create_event(true, true);
  Handle automatic = create_event(false, true);
  Handle both[] = {manual, automatic};
  EXPECT_EQ(msg_wait_for_multiple_objects(2, both, true, 20, QS_ALLINPUT), WAIT_TIMEOUT);
  EXPECT_EQ(wait_for_multiple_objects(1, &automatic, false, 0), WAIT_OBJECT_0);  // still set
  post_message(nullptr, WM_USER, 0, 0);
  EXPECT_EQ(msg_wait_for_multiple_objects(2, both, true, 20, QS_ALLINPUT), WAIT_TIMEOUT);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    set_event(automatic);
  });
  EXPECT_EQ(msg_wait_for_multiple_objects(2, both, true, 2000, QS_ALLINPUT), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(wait_for_multiple_objects(1, &automatic, false, 0), WAIT_TIMEOUT);  // consumed
  // The input that completed the wait is still queued.
  Message m;
  EXPECT_TRUE(peek_message(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_USER);
  close_handle(manual);
  close_handle(automatic);
}

// An interrupted wait ends with WAIT_IO_COMPLETION, once; a later wait is not affected.
TEST(WindowSystem, InterruptEndsTheWaitOfThatThreadOnce) {
  Handle never = create_event(true, false);
  uint64_t id = 0;
  std::atomic<uint32_t> first{0};
  std::atomic<uint32_t> second{0};
  Handle waiter = start_thread(
      [&] {
        first = wait_for_multiple_objects(1, &never, false, INFINITE);
        second = wait_for_multiple_objects(1, &never, false, 0);
      },
      &id);
  EXPECT_TRUE(interrupt_wait(id));
  EXPECT_EQ(wait_for_multiple_objects(1, &waiter, false, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(first.load(), WAIT_IO_COMPLETION);
  EXPECT_EQ(second.load(), WAIT_TIMEOUT);
  EXPECT_FALSE(interrupt_wait(id));  // the thread has ended
  close_handle(waiter);
  close_handle(never);
}

// A duplicated handle names the same object and is closed on its own.
TEST(WindowSystem, DuplicatedHandlesShareTheObjectAndCloseApart) {
  Handle e = create_event(true, false);
  Handle d = duplicate_handle(e);
  ASSERT_NE(d, nullptr);
  EXPECT_NE(d, e);
  set_event(d);
  EXPECT_EQ(wait_for_multiple_objects(1, &e, false, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(close_handle(e));
  EXPECT_EQ(wait_for_multiple_objects(1, &d, false, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(close_handle(d));
  EXPECT_FALSE(close_handle(d));
  EXPECT_EQ(duplicate_handle(d), nullptr);
}

TEST(WindowSystem, TimersPostTimerMessagesUntilKilled) {
  drain();
  Recorder r;
  WindowHandle w = create_window(record, &r);
  set_timer(w, 7, 5);
  Message m;
  ASSERT_EQ(get_message(&m, nullptr, 0, 0), 1);
  EXPECT_EQ(m.message, WM_TIMER);
  EXPECT_EQ(m.wparam, 7u);
  EXPECT_TRUE(kill_timer(w, 7));
  EXPECT_FALSE(kill_timer(w, 7));
  drain();
  EXPECT_FALSE(peek_message(&m, nullptr, 0, 0, PM_REMOVE));
  destroy_window(w);
}

TEST(WindowSystem, PostingToAMissingWindowFails) {
  EXPECT_FALSE(post_message(reinterpret_cast<WindowHandle>(0x1), WM_USER, 0, 0));
  EXPECT_FALSE(is_window(reinterpret_cast<WindowHandle>(0x1)));
}

}  // namespace
}  // namespace quevro::winsys
