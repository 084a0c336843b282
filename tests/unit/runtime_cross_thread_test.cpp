// The window-system layer between threads. Timeouts here are safety nets that keep a broken
// build from hanging; the assertions are on results only.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "runtime/window_system.h"

namespace quevro::winsys {
namespace {

constexpr uint32_t SAFETY_MS = 30000;

void drain() {
  Message m;
  while (peek_message(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
}

// Runs body on a thread of the layer and waits (bounded) until it has ended.
bool run_on_thread(std::function<void()> body) {
  Handle h = start_thread(std::move(body), nullptr);
  uint32_t r = wait_for_multiple_objects(1, &h, false, SAFETY_MS);
  close_handle(h);
  return r == WAIT_OBJECT_0;
}

struct Owner {
  std::atomic<uint64_t> thread{0};
  std::atomic<int> calls{0};
};

// Records the thread the procedure runs on and answers lparam + 1.
intptr_t answer(WindowHandle, uint32_t, uintptr_t, intptr_t lparam, void* user) {
  auto* o = static_cast<Owner*>(user);
  o->thread = current_thread_id();
  o->calls++;
  return lparam + 1;
}

TEST(CrossThread, PostsFromManyThreadsArriveCompleteAndInEachSendersOrder) {
  drain();
  constexpr int senders = 8;
  constexpr int per_sender = 10000;
  uint64_t receiver = current_thread_id();
  std::vector<Handle> done;
  for (int s = 0; s < senders; ++s) {
    done.push_back(start_thread(
        [receiver, s] {
          for (int i = 0; i < per_sender; ++i) ASSERT_TRUE(post_thread_message(receiver, WM_APP, s, i));
        },
        nullptr));
  }
  std::vector<intptr_t> next(senders, 0);
  int received = 0;
  Message m;
  while (received < senders * per_sender) {
    ASSERT_EQ(get_message(&m, nullptr, 0, 0), 1);
    ASSERT_EQ(m.message, WM_APP);
    ASSERT_LT(m.wparam, static_cast<uintptr_t>(senders));
    ASSERT_EQ(m.lparam, next[m.wparam]) << "sender " << m.wparam;
    next[m.wparam]++;
    received++;
  }
  EXPECT_EQ(wait_for_multiple_objects(senders, done.data(), true, SAFETY_MS), WAIT_OBJECT_0);
  for (Handle h : done) close_handle(h);
  EXPECT_FALSE(peek_message(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST(CrossThread, SendReturnsTheResultOfTheProcedureRunOnTheOwnerThread) {
  drain();
  Owner owner;
  WindowHandle w = create_window(answer, &owner);
  std::atomic<intptr_t> result{0};
  std::atomic<uint64_t> sender_id{0};
  Handle sender = start_thread(
      [&] {
        sender_id = current_thread_id();
        result = send_message(w, WM_USER, 0, 41);
      },
      nullptr);
  Handle waits[] = {sender};
  // The sender's message is handled inside this wait, which then reports it as input.
  uint32_t r = WAIT_TIMEOUT;
  while (r != WAIT_OBJECT_0) {
    r = msg_wait_for_multiple_objects(1, waits, false, SAFETY_MS, QS_ALLINPUT);
    ASSERT_NE(r, WAIT_TIMEOUT);
    ASSERT_NE(r, WAIT_FAILED);
  }
  close_handle(sender);
  EXPECT_EQ(result.load(), 42);
  EXPECT_EQ(owner.calls.load(), 1);
  EXPECT_EQ(owner.thread.load(), current_thread_id());
  EXPECT_NE(owner.thread.load(), sender_id.load());
  destroy_window(w);
}

TEST(CrossThread, SendToAWindowOfTheOwnThreadCallsTheProcedureDirectly) {
  Owner owner;
  WindowHandle w = create_window(answer, &owner);
  EXPECT_EQ(send_message(w, WM_USER, 0, 6), 7);
  EXPECT_EQ(owner.calls.load(), 1);
  EXPECT_EQ(owner.thread.load(), current_thread_id());
  destroy_window(w);
}

// Two threads, each with a window, send to each other's window at the same time.
struct Pair {
  std::atomic<WindowHandle> windows[2] = {nullptr, nullptr};
  Owner owners[2];
  intptr_t results[2] = {0, 0};
  Handle ready = nullptr;
  std::atomic<int> created{0};
};

void send_to_the_other(Pair* p, int me) {
  p->windows[me] = create_window(answer, &p->owners[me]);
  if (++p->created == 2) set_event(p->ready);
  ASSERT_EQ(wait_for_multiple_objects(1, &p->ready, false, SAFETY_MS), WAIT_OBJECT_0);
  p->results[me] = send_message(p->windows[1 - me], WM_USER, 0, 100 * (me + 1));
  // Stay until the other side's message has been answered too (handled inside this wait).
  while (p->owners[me].calls == 0)
    ASSERT_NE(msg_wait_for_multiple_objects(0, nullptr, false, SAFETY_MS, QS_SENDMESSAGE), WAIT_TIMEOUT);
}

TEST(CrossThread, TwoThreadsSendingToEachOtherBothComplete) {
  Pair p;
  p.ready = create_event(true, false);
  Handle threads[] = {start_thread([&] { send_to_the_other(&p, 0); }, nullptr),
                      start_thread([&] { send_to_the_other(&p, 1); }, nullptr)};
  ASSERT_EQ(wait_for_multiple_objects(2, threads, true, SAFETY_MS), WAIT_OBJECT_0);
  // Thread 0 sent 100 to thread 1's window, thread 1 sent 200 to thread 0's.
  EXPECT_EQ(p.results[0], 101);
  EXPECT_EQ(p.results[1], 201);
  EXPECT_NE(p.owners[0].thread.load(), p.owners[1].thread.load());
  for (Handle h : threads) close_handle(h);
  close_handle(p.ready);
}

// A procedure that, while handling a message sent to it, sends one back to the window in `user`.
intptr_t send_back(WindowHandle, uint32_t, uintptr_t, intptr_t lparam, void* user) {
  return 1000 + send_message(static_cast<WindowHandle>(user), WM_USER, 0, lparam);
}

TEST(CrossThread, ASenderHandlesTheMessageItsReceiverSendsBackMeanwhile) {
  drain();
  Owner owner;
  WindowHandle mine = create_window(answer, &owner);
  std::atomic<WindowHandle> theirs{nullptr};
  Handle created = create_event(true, false);
  uint64_t worker_id = 0;
  Handle worker = start_thread(
      [&] {
        theirs = create_window(send_back, mine);
        set_event(created);
        Message m;
        while (get_message(&m, nullptr, 0, 0) == 1 && m.message != WM_APP) dispatch_message(&m);
      },
      &worker_id);
  ASSERT_EQ(wait_for_multiple_objects(1, &created, false, SAFETY_MS), WAIT_OBJECT_0);
  EXPECT_EQ(send_message(theirs.load(), WM_USER, 0, 5), 1006);
  EXPECT_EQ(owner.calls.load(), 1);
  EXPECT_EQ(owner.thread.load(), current_thread_id());
  ASSERT_TRUE(post_thread_message(worker_id, WM_APP, 0, 0));
  EXPECT_EQ(wait_for_multiple_objects(1, &worker, false, SAFETY_MS), WAIT_OBJECT_0);
  for (Handle h : {created, worker}) close_handle(h);
  destroy_window(mine);
}

TEST(CrossThread, SendToTheWindowOfAnEndedThreadReturnsZero) {
  Owner owner;
  WindowHandle w = nullptr;
  ASSERT_TRUE(run_on_thread([&] { w = create_window(answer, &owner); }));
  EXPECT_FALSE(is_window(w));
  std::atomic<intptr_t> result{-1};
  ASSERT_TRUE(run_on_thread([&] { result = send_message(w, WM_USER, 0, 1); }));
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(owner.calls.load(), 0);
  EXPECT_FALSE(post_message(w, WM_USER, 0, 0));
}

TEST(CrossThread, ASendPendingWhenTheOwnerEndsReturnsZero) {
  Owner owner;
  std::atomic<WindowHandle> w{nullptr};
  Handle created = create_event(true, false);
  Handle may_end = create_event(true, false);
  Handle owner_thread = start_thread(
      [&] {
        w = create_window(answer, &owner);
        set_event(created);
        // Ends without ever looking at its queue.
        wait_for_multiple_objects(1, &may_end, false, SAFETY_MS);
      },
      nullptr);
  ASSERT_EQ(wait_for_multiple_objects(1, &created, false, SAFETY_MS), WAIT_OBJECT_0);
  std::atomic<intptr_t> result{-1};
  Handle sender = start_thread([&] { result = send_message(w.load(), WM_USER, 0, 1); }, nullptr);
  set_event(may_end);
  Handle both[] = {owner_thread, sender};
  ASSERT_EQ(wait_for_multiple_objects(2, both, true, SAFETY_MS), WAIT_OBJECT_0);
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(owner.calls.load(), 0);
  for (Handle h : {created, may_end, owner_thread, sender}) close_handle(h);
}

TEST(CrossThread, WaitAnyReportsTheFirstSignalledHandle) {
  Handle a = create_event(true, false);
  Handle b = create_event(false, false);
  Handle c = create_event(true, false);
  Handle all[] = {a, b, c};
  EXPECT_EQ(wait_for_multiple_objects(3, all, false, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(run_on_thread([&] { set_event(c); }));
  EXPECT_EQ(wait_for_multiple_objects(3, all, false, SAFETY_MS), WAIT_OBJECT_0 + 2);
  ASSERT_TRUE(run_on_thread([&] { set_event(b); }));
  EXPECT_EQ(wait_for_multiple_objects(3, all, false, SAFETY_MS), WAIT_OBJECT_0 + 1);
  // b resets itself; c is manual and stays set.
  EXPECT_EQ(wait_for_multiple_objects(3, all, false, 0), WAIT_OBJECT_0 + 2);
  for (Handle h : all) close_handle(h);
}

TEST(CrossThread, WaitAllNeedsEveryHandleAndResetsAutomaticOnes) {
  Handle manual = create_event(true, false);
  Handle automatic = create_event(false, false);
  Handle both[] = {manual, automatic};
  set_event(manual);
  EXPECT_EQ(wait_for_multiple_objects(2, both, true, 0), WAIT_TIMEOUT);
  // A wait-all that times out takes nothing: the automatic event set later is still there.
  Handle setter = start_thread([&] { set_event(automatic); }, nullptr);
  EXPECT_EQ(wait_for_multiple_objects(2, both, true, SAFETY_MS), WAIT_OBJECT_0);
  EXPECT_EQ(wait_for_multiple_objects(1, &automatic, false, 0), WAIT_TIMEOUT);
  EXPECT_EQ(wait_for_multiple_objects(1, &manual, false, 0), WAIT_OBJECT_0);
  EXPECT_EQ(wait_for_multiple_objects(1, &setter, false, SAFETY_MS), WAIT_OBJECT_0);
  for (Handle h : {manual, automatic, setter}) close_handle(h);
}

TEST(CrossThread, WaitsFailForNoHandlesTooManyOrAClosedOne) {
  Handle e = create_event(true, true);
  EXPECT_EQ(wait_for_multiple_objects(0, nullptr, false, 0), WAIT_FAILED);
  std::vector<Handle> many(MAXIMUM_WAIT_OBJECTS + 1, e);
  EXPECT_EQ(wait_for_multiple_objects(static_cast<uint32_t>(many.size()), many.data(), false, 0), WAIT_FAILED);
  EXPECT_EQ(wait_for_multiple_objects(MAXIMUM_WAIT_OBJECTS, many.data(), false, 0), WAIT_OBJECT_0);
  close_handle(e);
  EXPECT_EQ(wait_for_multiple_objects(1, &e, false, 0), WAIT_FAILED);
  EXPECT_EQ(msg_wait_for_multiple_objects(1, &e, false, 0, QS_ALLINPUT), WAIT_FAILED);
}

TEST(CrossThread, AThreadHandleIsSignalledWhenTheThreadEnds) {
  Handle release = create_event(true, false);
  std::atomic<bool> body_ended{false};
  Handle t = start_thread(
      [&] {
        wait_for_multiple_objects(1, &release, false, SAFETY_MS);
        body_ended = true;
      },
      nullptr);
  EXPECT_EQ(wait_for_multiple_objects(1, &t, false, 0), WAIT_TIMEOUT);
  set_event(release);
  EXPECT_EQ(wait_for_multiple_objects(1, &t, false, SAFETY_MS), WAIT_OBJECT_0);
  EXPECT_TRUE(body_ended.load());
  // It stays signalled.
  EXPECT_EQ(wait_for_multiple_objects(1, &t, false, 0), WAIT_OBJECT_0);
  close_handle(t);
  close_handle(release);
}

TEST(CrossThread, MessagesPostedToANewThreadBeforeItRunsAreKept) {
  uint64_t id = 0;
  std::atomic<uint64_t> got{0};
  Handle go = create_event(true, false);
  Handle t = start_thread(
      [&] {
        wait_for_multiple_objects(1, &go, false, SAFETY_MS);
        Message m;
        if (peek_message(&m, nullptr, WM_APP, WM_APP, PM_REMOVE)) got = m.wparam;
      },
      &id);
  ASSERT_TRUE(post_thread_message(id, WM_APP, 77, 0));
  set_event(go);
  ASSERT_EQ(wait_for_multiple_objects(1, &t, false, SAFETY_MS), WAIT_OBJECT_0);
  EXPECT_EQ(got.load(), 77u);
  // The queue ended with the thread.
  EXPECT_FALSE(post_thread_message(id, WM_APP, 0, 0));
  close_handle(t);
  close_handle(go);
}

TEST(CrossThread, MessageWaitWakesForAMessagePostedByAnotherThread) {
  drain();
  uint64_t me = current_thread_id();
  Handle never = create_event(true, false);
  Handle poster = start_thread([me] { post_thread_message(me, WM_APP + 3, 0, 0); }, nullptr);
  EXPECT_EQ(msg_wait_for_multiple_objects(1, &never, false, SAFETY_MS, QS_POSTMESSAGE), WAIT_OBJECT_0 + 1);
  Message m;
  ASSERT_TRUE(peek_message(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_APP + 3);
  EXPECT_EQ(wait_for_multiple_objects(1, &poster, false, SAFETY_MS), WAIT_OBJECT_0);
  close_handle(poster);
  close_handle(never);
}

TEST(CrossThread, MessageWaitIgnoresInputOutsideItsWakeMask) {
  drain();
  post_message(nullptr, WM_USER, 0, 0);
  EXPECT_EQ(msg_wait_for_multiple_objects(0, nullptr, false, 0, QS_TIMER), WAIT_TIMEOUT);
  EXPECT_EQ(msg_wait_for_multiple_objects(0, nullptr, false, 0, QS_ALLPOSTMESSAGE), WAIT_OBJECT_0);
  drain();
}

TEST(CrossThread, MessageWaitWakesForASentMessageAndHandlesIt) {
  drain();
  Owner owner;
  WindowHandle w = create_window(answer, &owner);
  std::atomic<intptr_t> result{0};
  Handle sender = start_thread([&] { result = send_message(w, WM_USER, 0, 9); }, nullptr);
  EXPECT_EQ(msg_wait_for_multiple_objects(0, nullptr, false, SAFETY_MS, QS_SENDMESSAGE), WAIT_OBJECT_0);
  EXPECT_EQ(owner.calls.load(), 1);
  EXPECT_EQ(wait_for_multiple_objects(1, &sender, false, SAFETY_MS), WAIT_OBJECT_0);
  EXPECT_EQ(result.load(), 10);
  close_handle(sender);
  destroy_window(w);
}

TEST(CrossThread, TimersOfAnotherThreadsWindowDeliverTimerMessagesThere) {
  Owner owner;
  std::atomic<WindowHandle> w{nullptr};
  std::atomic<int> timer_messages{0};
  std::atomic<uintptr_t> timer_id{0};
  Handle created = create_event(true, false);
  Handle t = start_thread(
      [&] {
        w = create_window(answer, &owner);
        set_event(created);
        Message m;
        while (get_message(&m, nullptr, 0, 0) == 1) {
          if (m.message != WM_TIMER) continue;
          timer_id = m.wparam;
          if (++timer_messages == 3) {
            kill_timer(m.hwnd, m.wparam);
            post_quit_message(0);
          }
        }
      },
      nullptr);
  ASSERT_EQ(wait_for_multiple_objects(1, &created, false, SAFETY_MS), WAIT_OBJECT_0);
  // Set from this thread, the timer still belongs to the window's thread.
  EXPECT_EQ(set_timer(w.load(), 5, 1), 5u);
  ASSERT_EQ(wait_for_multiple_objects(1, &t, false, SAFETY_MS), WAIT_OBJECT_0);
  EXPECT_EQ(timer_messages.load(), 3);
  EXPECT_EQ(timer_id.load(), 5u);
  close_handle(t);
  close_handle(created);
}

TEST(CrossThread, ThreadIdsAreDistinctPerThread) {
  std::atomic<uint64_t> other{0};
  ASSERT_TRUE(run_on_thread([&] { other = current_thread_id(); }));
  EXPECT_NE(other.load(), 0u);
  EXPECT_NE(other.load(), current_thread_id());
  EXPECT_EQ(current_thread_id(), current_thread_id());
}

}  // namespace
}  // namespace quevro::winsys
