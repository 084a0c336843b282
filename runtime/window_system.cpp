#include "runtime/window_system.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quevro::winsys {

namespace {

using Clock = std::chrono::steady_clock;

// One lock and one condition for the whole layer: every queue change and every handle change
// notifies all waiters, who then check what concerns them. Simple, and ample for the few
// threads a script starts.
std::mutex g_lock;
std::condition_variable g_changed;

struct SentMessage {
  Message msg;
  intptr_t result = 0;
  bool done = false;
};

struct Timer {
  WindowHandle hwnd;
  uintptr_t id;
  uint32_t period_ms;
  Clock::time_point due;
};

struct Queue {
  uint64_t thread_id;
  std::deque<Message> posted;
  std::deque<SentMessage*> sent;
  std::vector<Timer> timers;
  bool quit_pending = false;
  int quit_code = 0;
};

struct Window {
  WindowProc proc;
  void* user;
  Queue* owner;
};

struct Waitable {
  bool manual_reset;
  bool signaled;
};

std::map<uint64_t, std::unique_ptr<Queue>> g_queues;
std::map<WindowHandle, Window> g_windows;
std::map<Handle, std::unique_ptr<Waitable>> g_handles;
uintptr_t g_next_window = 0x10000;

uint64_t thread_key() {
  return static_cast<uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
}

Queue* queue_of(uint64_t id) {
  auto it = g_queues.find(id);
  if (it != g_queues.end()) return it->second.get();
  auto q = std::make_unique<Queue>();
  q->thread_id = id;
  Queue* raw = q.get();
  g_queues.emplace(id, std::move(q));
  return raw;
}

Queue* my_queue() { return queue_of(thread_key()); }

uint32_t now_ticks() {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

bool in_filter(const Message& m, WindowHandle hwnd, uint32_t min, uint32_t max) {
  if (hwnd && m.hwnd != hwnd) return false;
  if (min == 0 && max == 0) return true;
  return m.message >= min && m.message <= max;
}

// Handles messages sent from other threads; called with the lock held, releases it around the
// window procedures.
void deliver_sent(std::unique_lock<std::mutex>& lock, Queue* q) {
  while (!q->sent.empty()) {
    SentMessage* s = q->sent.front();
    q->sent.pop_front();
    auto it = g_windows.find(s->msg.hwnd);
    WindowProc proc = it != g_windows.end() ? it->second.proc : nullptr;
    void* user = it != g_windows.end() ? it->second.user : nullptr;
    lock.unlock();
    intptr_t r = proc ? proc(s->msg.hwnd, s->msg.message, s->msg.wparam, s->msg.lparam, user) : 0;
    lock.lock();
    s->result = r;
    s->done = true;
    g_changed.notify_all();
  }
}

// Moves due timers into the posted queue as WM_TIMER messages.
void post_due_timers(Queue* q) {
  auto now = Clock::now();
  for (Timer& t : q->timers) {
    if (t.due > now) continue;
    bool already = std::any_of(q->posted.begin(), q->posted.end(), [&](const Message& m) {
      return m.message == WM_TIMER && m.hwnd == t.hwnd && m.wparam == t.id;
    });
    if (!already) q->posted.push_back(Message{t.hwnd, WM_TIMER, t.id, 0, now_ticks(), 0, 0});
    t.due = now + std::chrono::milliseconds(t.period_ms);
  }
}

Clock::time_point next_timer(const Queue* q, Clock::time_point limit) {
  for (const Timer& t : q->timers) limit = std::min(limit, t.due);
  return limit;
}

bool take_message(Queue* q, Message* msg, WindowHandle hwnd, uint32_t min, uint32_t max, bool remove) {
  post_due_timers(q);
  for (auto it = q->posted.begin(); it != q->posted.end(); ++it) {
    if (!in_filter(*it, hwnd, min, max)) continue;
    *msg = *it;
    if (remove) q->posted.erase(it);
    return true;
  }
  if (q->quit_pending && (hwnd == nullptr) && in_filter(Message{nullptr, WM_QUIT, 0, 0, 0, 0, 0}, nullptr, min, max)) {
    *msg = Message{nullptr, WM_QUIT, static_cast<uintptr_t>(q->quit_code), 0, now_ticks(), 0, 0};
    if (remove) q->quit_pending = false;
    return true;
  }
  return false;
}

bool queue_has_input(Queue* q) {
  post_due_timers(q);
  return !q->posted.empty() || !q->sent.empty() || q->quit_pending;
}

bool handle_ready(Handle h) {
  auto it = g_handles.find(h);
  return it != g_handles.end() && it->second->signaled;
}

void consume(Handle h) {
  auto it = g_handles.find(h);
  if (it != g_handles.end() && !it->second->manual_reset) it->second->signaled = false;
}

uint32_t wait_common(uint32_t count, const Handle* handles, bool wait_all, uint32_t timeout_ms, bool with_queue) {
  std::unique_lock<std::mutex> lock(g_lock);
  for (uint32_t i = 0; i < count; ++i)
    if (handles[i] && g_handles.find(handles[i]) == g_handles.end()) return WAIT_FAILED;
  Queue* q = with_queue ? my_queue() : nullptr;
  auto deadline = timeout_ms == INFINITE ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (q) deliver_sent(lock, q);
    if (wait_all && count > 0) {
      bool all = true;
      for (uint32_t i = 0; i < count; ++i) all = all && handles[i] && handle_ready(handles[i]);
      if (all) {
        for (uint32_t i = 0; i < count; ++i) consume(handles[i]);
        return WAIT_OBJECT_0;
      }
    } else {
      for (uint32_t i = 0; i < count; ++i) {
        if (handles[i] && handle_ready(handles[i])) {
          consume(handles[i]);
          return WAIT_OBJECT_0 + i;
        }
      }
    }
    if (q && queue_has_input(q)) return WAIT_OBJECT_0 + count;
    auto until = q ? next_timer(q, deadline) : deadline;
    if (Clock::now() >= deadline) return WAIT_TIMEOUT;
    if (until == Clock::time_point::max())
      g_changed.wait(lock);
    else
      g_changed.wait_until(lock, until);
  }
}

}  // namespace

uint64_t current_thread_id() { return thread_key(); }

uint32_t tick_count() { return now_ticks(); }

WindowHandle create_window(WindowProc proc, void* user) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto* hwnd = reinterpret_cast<WindowHandle>(g_next_window);
  g_next_window += 0x10;
  g_windows[hwnd] = Window{proc, user, my_queue()};
  return hwnd;
}

bool destroy_window(WindowHandle hwnd) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_windows.find(hwnd);
  if (it == g_windows.end()) return false;
  Queue* q = it->second.owner;
  q->timers.erase(std::remove_if(q->timers.begin(), q->timers.end(), [&](const Timer& t) { return t.hwnd == hwnd; }),
                  q->timers.end());
  g_windows.erase(it);
  return true;
}

bool is_window(WindowHandle hwnd) {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_windows.count(hwnd) != 0;
}

bool post_message(WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  std::lock_guard<std::mutex> lock(g_lock);
  Queue* q;
  if (hwnd == nullptr) {
    q = my_queue();
  } else {
    auto it = g_windows.find(hwnd);
    if (it == g_windows.end()) return false;
    q = it->second.owner;
  }
  q->posted.push_back(Message{hwnd, message, wparam, lparam, now_ticks(), 0, 0});
  g_changed.notify_all();
  return true;
}

bool post_thread_message(uint64_t thread_id, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_queues.find(thread_id);
  if (it == g_queues.end()) return false;
  it->second->posted.push_back(Message{nullptr, message, wparam, lparam, now_ticks(), 0, 0});
  g_changed.notify_all();
  return true;
}

void post_quit_message(int exit_code) {
  std::lock_guard<std::mutex> lock(g_lock);
  Queue* q = my_queue();
  q->quit_pending = true;
  q->quit_code = exit_code;
  g_changed.notify_all();
}

intptr_t send_message(WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  std::unique_lock<std::mutex> lock(g_lock);
  auto it = g_windows.find(hwnd);
  if (it == g_windows.end()) return 0;
  Window w = it->second;
  Queue* mine = my_queue();
  if (w.owner == mine) {
    lock.unlock();
    return w.proc ? w.proc(hwnd, message, wparam, lparam, w.user) : 0;
  }
  SentMessage s;
  s.msg = Message{hwnd, message, wparam, lparam, now_ticks(), 0, 0};
  w.owner->sent.push_back(&s);
  g_changed.notify_all();
  // While waiting, messages sent to this thread are still handled, so two threads sending to
  // each other cannot deadlock.
  while (!s.done) {
    deliver_sent(lock, mine);
    if (s.done) break;
    g_changed.wait(lock);
  }
  return s.result;
}

bool peek_message(Message* msg, WindowHandle hwnd, uint32_t min, uint32_t max, uint32_t remove) {
  std::unique_lock<std::mutex> lock(g_lock);
  Queue* q = my_queue();
  deliver_sent(lock, q);
  return take_message(q, msg, hwnd, min, max, (remove & PM_REMOVE) != 0);
}

int get_message(Message* msg, WindowHandle hwnd, uint32_t min, uint32_t max) {
  std::unique_lock<std::mutex> lock(g_lock);
  if (hwnd && g_windows.count(hwnd) == 0) return -1;
  Queue* q = my_queue();
  for (;;) {
    deliver_sent(lock, q);
    if (take_message(q, msg, hwnd, min, max, true)) return msg->message == WM_QUIT ? 0 : 1;
    auto until = next_timer(q, Clock::time_point::max());
    if (until == Clock::time_point::max())
      g_changed.wait(lock);
    else
      g_changed.wait_until(lock, until);
  }
}

bool translate_message(const Message* msg) {
  (void)msg;
  return false;  // there is no keyboard input to translate without a display
}

intptr_t dispatch_message(const Message* msg) {
  WindowProc proc = nullptr;
  void* user = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_windows.find(msg->hwnd);
    if (it == g_windows.end()) return 0;
    proc = it->second.proc;
    user = it->second.user;
  }
  return proc ? proc(msg->hwnd, msg->message, msg->wparam, msg->lparam, user) : 0;
}

uintptr_t set_timer(WindowHandle hwnd, uintptr_t id, uint32_t milliseconds) {
  std::lock_guard<std::mutex> lock(g_lock);
  Queue* q = my_queue();
  if (hwnd) {
    auto it = g_windows.find(hwnd);
    if (it == g_windows.end()) return 0;
    q = it->second.owner;
  }
  if (milliseconds == 0) milliseconds = 1;
  auto due = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (Timer& t : q->timers) {
    if (t.hwnd == hwnd && t.id == id) {
      t.period_ms = milliseconds;
      t.due = due;
      return id ? id : 1;
    }
  }
  q->timers.push_back(Timer{hwnd, id, milliseconds, due});
  g_changed.notify_all();
  return id ? id : 1;
}

bool kill_timer(WindowHandle hwnd, uintptr_t id) {
  std::lock_guard<std::mutex> lock(g_lock);
  for (auto& entry : g_queues) {
    auto& timers = entry.second->timers;
    auto it = std::find_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it != timers.end()) {
      timers.erase(it);
      return true;
    }
  }
  return false;
}

Handle create_event(bool manual_reset, bool initially_set) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto w = std::make_unique<Waitable>(Waitable{manual_reset, initially_set});
  Handle h = w.get();
  g_handles.emplace(h, std::move(w));
  return h;
}

Handle create_signal_handle() { return create_event(true, false); }

bool set_event(Handle h) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_handles.find(h);
  if (it == g_handles.end()) return false;
  it->second->signaled = true;
  g_changed.notify_all();
  return true;
}

void signal_handle(Handle h) { set_event(h); }

bool reset_event(Handle h) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_handles.find(h);
  if (it == g_handles.end()) return false;
  it->second->signaled = false;
  return true;
}

bool close_handle(Handle h) {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_handles.erase(h) != 0;
}

uint32_t wait_for_multiple_objects(uint32_t count, const Handle* handles, bool wait_all, uint32_t timeout_ms) {
  return wait_common(count, handles, wait_all, timeout_ms, false);
}

uint32_t msg_wait_for_multiple_objects(uint32_t count, const Handle* handles, bool wait_all, uint32_t timeout_ms,
                                       uint32_t wake_mask) {
  (void)wake_mask;  // every kind of queued input wakes the waiter in this layer
  return wait_common(count, handles, wait_all, timeout_ms, true);
}

}  // namespace quevro::winsys
