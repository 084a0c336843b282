// The display's event pump inside the layer's message waits: a thread with a pump sleeps in the
// pump, not on its condition, and everything that would wake it (posts, sends, timers, handles
// signalled by others) ends the pump's sleep. The pump here is an eventfd, as a display's would be.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "runtime/window_system.h"

namespace quevro::winsys {
namespace {

struct FakeDisplay {
  int fd = eventfd(0, EFD_NONBLOCK);
  std::atomic<int> runs{0};
  std::atomic<int> sleeping_runs{0};  // runs that were allowed to sleep
  std::atomic<int> wakes{0};
  ~FakeDisplay() { close(fd); }
};

void fake_run(void* context, uint32_t timeout_ms) {
  auto* d = static_cast<FakeDisplay*>(context);
  d->runs++;
  if (timeout_ms != 0) d->sleeping_runs++;
  pollfd p{d->fd, POLLIN, 0};
  poll(&p, 1, timeout_ms == INFINITE ? -1 : static_cast<int>(timeout_ms));
  uint64_t n;
  [[maybe_unused]] ssize_t r = read(d->fd, &n, sizeof n);
}

void fake_wake(void* context) {
  auto* d = static_cast<FakeDisplay*>(context);
  d->wakes++;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t r = write(d->fd, &one, sizeof one);
}

intptr_t answer(WindowHandle, uint32_t message, uintptr_t wparam, intptr_t, void*) {
  return message == WM_USER ? static_cast<intptr_t>(wparam) + 1 : 0;
}

// Runs body on a thread of the layer with the fake pump attached, and joins it.
template <typename Body>
void on_pumping_thread(FakeDisplay* d, Body body) {
  EventPump pump{d, fake_run, fake_wake};
  std::thread t([&] {
    attach_event_pump(&pump);
    body();
    attach_event_pump(nullptr);
  });
  t.join();
}

TEST(EventPump, PostFromAnotherThreadEndsTheSleepInGetMessage) {
  FakeDisplay d;
  std::atomic<uint64_t> id{0};
  Message m{};
  int got = -2;
  std::thread poster([&] {
    while (id == 0) std::this_thread::yield();
    while (d.sleeping_runs == 0) std::this_thread::yield();  // it sleeps in the pump now
    post_thread_message(id, WM_USER + 7, 42, 0);
  });
  on_pumping_thread(&d, [&] {
    id = current_thread_id();
    got = get_message(&m, nullptr, 0, 0);
  });
  poster.join();
  EXPECT_EQ(got, 1);
  EXPECT_EQ(m.message, WM_USER + 7);
  EXPECT_EQ(m.wparam, 42u);
  EXPECT_GE(d.wakes, 1);
}

TEST(EventPump, SentMessagesAreAnsweredWhileThePumpSleeps) {
  FakeDisplay d;
  std::atomic<WindowHandle> w{nullptr};
  std::atomic<bool> done{false};
  intptr_t result = 0;
  std::thread sender([&] {
    while (!w || d.sleeping_runs == 0) std::this_thread::yield();
    result = send_message(w, WM_USER, 41, 0);
    done = true;
    post_message(w, WM_QUIT, 0, 0);  // ends the owner's loop below
  });
  on_pumping_thread(&d, [&] {
    w = create_window(answer, nullptr);
    Message m{};
    while (!done) msg_wait_for_multiple_objects(0, nullptr, false, INFINITE, QS_ALLINPUT);
    while (peek_message(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
    destroy_window(w);
  });
  sender.join();
  EXPECT_EQ(result, 42);
}

TEST(EventPump, TimersBoundTheSleepAndPeekNeverSleeps) {
  FakeDisplay d;
  Message m{};
  bool peeked = true;
  int got = -2;
  on_pumping_thread(&d, [&] {
    peeked = peek_message(&m, nullptr, 0, 0, PM_REMOVE);
    EXPECT_EQ(d.runs, 1);
    EXPECT_EQ(d.sleeping_runs, 0);  // peek asks the display for what is ready, without sleeping
    WindowHandle w = create_window(answer, nullptr);
    set_timer(w, 5, 20);
    got = get_message(&m, nullptr, 0, 0);  // no one wakes the pump: the timer's due time ends its sleep
    destroy_window(w);
  });
  EXPECT_FALSE(peeked);
  EXPECT_EQ(got, 1);
  EXPECT_EQ(m.message, WM_TIMER);
  EXPECT_EQ(m.wparam, 5u);
}

TEST(EventPump, HandleWaitsLeaveThePumpAloneAndMessageWaitsEndOnASignal) {
  FakeDisplay d;
  Handle plain = create_event(true, false);
  Handle with_messages = create_event(true, false);
  uint32_t plain_result = 0, message_result = 0;
  int runs_during_plain_wait = -1;
  std::atomic<int> phase{0};
  std::thread signaller([&] {
    while (phase != 1) std::this_thread::yield();
    set_event(plain);
    while (phase != 2 || d.sleeping_runs == 0) std::this_thread::yield();
    set_event(with_messages);
  });
  on_pumping_thread(&d, [&] {
    int before = d.runs;
    phase = 1;
    plain_result = wait_for_multiple_objects(1, &plain, false, INFINITE);
    runs_during_plain_wait = d.runs - before;
    phase = 2;
    message_result = msg_wait_for_multiple_objects(1, &with_messages, false, INFINITE, QS_ALLINPUT);
  });
  signaller.join();
  EXPECT_EQ(plain_result, WAIT_OBJECT_0);
  EXPECT_EQ(runs_during_plain_wait, 0);
  EXPECT_EQ(message_result, WAIT_OBJECT_0);
  close_handle(plain);
  close_handle(with_messages);
}

}  // namespace
}  // namespace quevro::winsys
