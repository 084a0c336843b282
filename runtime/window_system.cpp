#include "runtime/window_system.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace quevro::winsys {

namespace {

using Clock = std::chrono::steady_clock;

struct Queue;

struct SentMessage {
  Message msg;
  Queue* sender;  // alive while the message is pending: the sender is blocked until done
  intptr_t result = 0;
  bool done = false;
};

struct Timer {
  WindowHandle hwnd;
  uintptr_t id;
  uint32_t period_ms;
  Clock::time_point due;
};

// A thread's queue. Only its own thread waits on `wake`; whoever changes what that thread may be
// waiting for (its posted or sent messages, a reply to its send, its timers, a handle it waits
// on) notifies it.
struct Queue {
  uint64_t thread_id;
  std::condition_variable wake;
  std::deque<Message> posted;
  std::deque<SentMessage*> sent;
  std::vector<Timer> timers;
  bool quit_pending = false;
  int quit_code = 0;
  bool ended = false;
  // Set on the thread whose windows are on a display: its waits run the display's events.
  const EventPump* pump = nullptr;
  bool interrupted = false;  // the next handle wait ends with WAIT_IO_COMPLETION
};

struct Window {
  WindowProc proc;
  void* user;
  std::shared_ptr<Queue> owner;
};

struct Waitable {
  bool manual_reset;
  bool signaled;
};

// All of the layer's state sits behind one lock, so there is no lock order to keep; the lock is
// never held while a window procedure runs. The state is never destroyed: threads may still
// post or end while the process exits.
struct State {
  std::mutex lock;
  std::map<uint64_t, std::shared_ptr<Queue>> queues;
  std::map<WindowHandle, Window> windows;
  std::map<Handle, std::shared_ptr<Waitable>> handles;
  // The keys of handles made by duplicate_handle: each is a byte of its own, so no two open
  // handles ever share an address.
  std::map<Handle, std::unique_ptr<char>> alias_keys;
  std::set<Queue*> handle_waiters;  // queues of threads inside a wait on handles
  uintptr_t next_window = 0x10000;
};

State& state() {
  static State* s = new State;
  return *s;
}

std::atomic<uint64_t> g_next_thread_id{1};

// Ends the calling thread's queue when the thread ends (for threads not started by start_thread,
// which ends it before signalling the thread handle).
struct QueueBinding {
  std::shared_ptr<Queue> queue;
  ~QueueBinding();
};

thread_local QueueBinding t_binding;

uint32_t now_ticks() {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

Message make_message(WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  return Message{hwnd, message, wparam, lparam, now_ticks(), 0, 0};
}

std::shared_ptr<Queue> register_queue(State& s, uint64_t id) {
  auto q = std::make_shared<Queue>();
  q->thread_id = id;
  s.queues.emplace(id, q);
  return q;
}

// The calling thread's queue; called with the lock held.
Queue* my_queue(State& s) {
  if (!t_binding.queue) t_binding.queue = register_queue(s, g_next_thread_id++);
  return t_binding.queue.get();
}

// Ends the queue's thread's wait, whether it sleeps on its condition or inside its display pump.
void wake_queue(Queue* q) {
  q->wake.notify_all();
  if (q->pump) q->pump->wake(q->pump->context);
}

void complete(SentMessage* m, intptr_t result) {
  m->result = result;
  m->done = true;
  wake_queue(m->sender);
}

// Removes the queue's thread from the layer: its windows and timers go, messages sent to it fail
// with 0 and its posted messages are dropped. Called with the lock held.
void end_queue(State& s, Queue* q) {
  if (q->ended) return;
  q->ended = true;
  for (auto it = s.windows.begin(); it != s.windows.end();) {
    if (it->second.owner.get() == q)
      it = s.windows.erase(it);
    else
      ++it;
  }
  for (SentMessage* m : q->sent) complete(m, 0);
  q->sent.clear();
  q->posted.clear();
  q->timers.clear();
  s.queues.erase(q->thread_id);
}

QueueBinding::~QueueBinding() {
  if (!queue) return;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  end_queue(s, queue.get());
}

bool in_filter(const Message& m, WindowHandle hwnd, uint32_t min, uint32_t max) {
  if (hwnd && m.hwnd != hwnd) return false;
  if (min == 0 && max == 0) return true;
  return m.message >= min && m.message <= max;
}

// Handles the messages other threads sent to this one; called with the lock held, which it
// releases around each window procedure.
void deliver_sent(std::unique_lock<std::mutex>& lock, State& s, Queue* q) {
  while (!q->sent.empty()) {
    SentMessage* m = q->sent.front();
    q->sent.pop_front();
    auto it = s.windows.find(m->msg.hwnd);
    WindowProc proc = it != s.windows.end() ? it->second.proc : nullptr;
    void* user = it != s.windows.end() ? it->second.user : nullptr;
    lock.unlock();
    intptr_t r = 0;
    try {
      r = proc ? proc(m->msg.hwnd, m->msg.message, m->msg.wparam, m->msg.lparam, user) : 0;
    } catch (...) {
      // A procedure that unwinds (its thread is being ended) still answers its sender, which
      // would otherwise wait for ever.
      lock.lock();
      complete(m, 0);
      throw;
    }
    lock.lock();
    complete(m, r);
  }
}

// Moves due timers into the posted queue as WM_TIMER messages, at most one pending per timer.
void post_due_timers(Queue* q) {
  auto now = Clock::now();
  for (Timer& t : q->timers) {
    if (t.due > now) continue;
    bool already = std::any_of(q->posted.begin(), q->posted.end(), [&](const Message& m) {
      return m.message == WM_TIMER && m.hwnd == t.hwnd && m.wparam == t.id;
    });
    if (!already) q->posted.push_back(make_message(t.hwnd, WM_TIMER, t.id, 0));
    t.due = now + std::chrono::milliseconds(t.period_ms);
  }
}

Clock::time_point next_timer(const Queue* q, Clock::time_point limit) {
  for (const Timer& t : q->timers) limit = std::min(limit, t.due);
  return limit;
}

// Sleeps until woken or until `until`. A thread with a display pump runs the display's events
// instead when the wait is a message wait (pump_events); the lock is released meanwhile, so the
// window procedures the events reach may use the layer. A wake that comes before the pump sleeps
// is kept by the pump, so none is lost.
void wait_on(std::unique_lock<std::mutex>& lock, Queue* q, Clock::time_point until, bool pump_events = false) {
  if (pump_events && q->pump) {
    uint32_t ms = INFINITE;
    if (until != Clock::time_point::max()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
      ms = static_cast<uint32_t>(std::clamp<int64_t>(left, 0, INFINITE - 1));
    }
    const EventPump* pump = q->pump;
    lock.unlock();
    pump->run(pump->context, ms);
    lock.lock();
    return;
  }
  if (until == Clock::time_point::max())
    q->wake.wait(lock);
  else
    q->wake.wait_until(lock, until);
}

bool take_message(Queue* q, Message* msg, WindowHandle hwnd, uint32_t min, uint32_t max, bool remove) {
  post_due_timers(q);
  for (auto it = q->posted.begin(); it != q->posted.end(); ++it) {
    if (!in_filter(*it, hwnd, min, max)) continue;
    *msg = *it;
    if (remove) q->posted.erase(it);
    return true;
  }
  // WM_QUIT comes only once the queue holds nothing else.
  if (q->quit_pending && hwnd == nullptr && in_filter(make_message(nullptr, WM_QUIT, 0, 0), nullptr, min, max)) {
    *msg = make_message(nullptr, WM_QUIT, static_cast<uintptr_t>(q->quit_code), 0);
    if (remove) q->quit_pending = false;
    return true;
  }
  return false;
}

// Whether the queue holds input of a kind in the wake mask. Sent messages have been handled
// before this is asked, so only posted messages, the quit request and timers count.
bool queue_has_input(Queue* q, uint32_t wake_mask) {
  post_due_timers(q);
  bool timers = false;
  bool posts = q->quit_pending;
  for (const Message& m : q->posted) (m.message == WM_TIMER ? timers : posts) = true;
  return (posts && (wake_mask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE))) || (timers && (wake_mask & QS_TIMER));
}

// Looks up the handles once, so that a handle closed during the wait stays valid for it.
bool resolve_handles(State& s, uint32_t count, const Handle* handles, std::vector<std::shared_ptr<Waitable>>* out) {
  for (uint32_t i = 0; i < count; ++i) {
    if (!handles[i]) {
      out->push_back(nullptr);
      continue;
    }
    auto it = s.handles.find(handles[i]);
    if (it == s.handles.end()) return false;
    out->push_back(it->second);
  }
  return true;
}

void consume(Waitable* w) {
  if (!w->manual_reset) w->signaled = false;
}

// WAIT_OBJECT_0 + i when the wait is satisfied by the handles, WAIT_TIMEOUT when not (yet).
uint32_t check_handles(const std::vector<std::shared_ptr<Waitable>>& ws, bool wait_all) {
  if (wait_all) {
    for (const auto& w : ws)
      if (!w || !w->signaled) return WAIT_TIMEOUT;
    for (const auto& w : ws) consume(w.get());
    return WAIT_OBJECT_0;
  }
  for (size_t i = 0; i < ws.size(); ++i) {
    if (ws[i] && ws[i]->signaled) {
      consume(ws[i].get());
      return WAIT_OBJECT_0 + static_cast<uint32_t>(i);
    }
  }
  return WAIT_TIMEOUT;
}

uint32_t wait_common(uint32_t count, const Handle* handles, bool wait_all, uint32_t timeout_ms, bool with_queue,
                     uint32_t wake_mask) {
  if (count > MAXIMUM_WAIT_OBJECTS || (count == 0 && !with_queue)) return WAIT_FAILED;
  State& s = state();
  std::unique_lock<std::mutex> lock(s.lock);
  std::vector<std::shared_ptr<Waitable>> ws;
  if (!resolve_handles(s, count, handles, &ws)) return WAIT_FAILED;
  Queue* q = my_queue(s);
  auto deadline =
      timeout_ms == INFINITE ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout_ms);
  s.handle_waiters.insert(q);
  uint32_t result = WAIT_TIMEOUT;
  for (;;) {
    if (q->interrupted) {
      q->interrupted = false;
      result = WAIT_IO_COMPLETION;
      break;
    }
    bool input = false;
    if (with_queue) {
      bool had_sent = !q->sent.empty();
      deliver_sent(lock, s, q);
      input = (had_sent && (wake_mask & QS_SENDMESSAGE)) || queue_has_input(q, wake_mask);
      if (input && !(wait_all && count > 0)) {
        result = WAIT_OBJECT_0 + count;
        break;
      }
    }
    // Waiting for all handles together with input: the handles count only once input is there,
    // so that automatic events are not reset by a wait that goes on.
    bool handles_may_end = count > 0 && (!with_queue || !wait_all || input);
    if (handles_may_end && (result = check_handles(ws, wait_all)) != WAIT_TIMEOUT) break;
    result = WAIT_TIMEOUT;
    if (Clock::now() >= deadline) break;
    wait_on(lock, q, with_queue ? next_timer(q, deadline) : deadline, with_queue);
  }
  s.handle_waiters.erase(q);
  return result;
}

void signal(State& s, Waitable* w) {
  w->signaled = true;
  for (Queue* q : s.handle_waiters) wake_queue(q);
}

}  // namespace

uint64_t current_thread_id() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  return my_queue(s)->thread_id;
}

uint32_t tick_count() { return now_ticks(); }

void attach_event_pump(const EventPump* pump) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  my_queue(s)->pump = pump;
}

WindowHandle create_window(WindowProc proc, void* user) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  auto* hwnd = reinterpret_cast<WindowHandle>(s.next_window);
  s.next_window += 0x10;
  my_queue(s);
  s.windows[hwnd] = Window{proc, user, t_binding.queue};
  return hwnd;
}

bool destroy_window(WindowHandle hwnd) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  auto it = s.windows.find(hwnd);
  if (it == s.windows.end()) return false;
  auto& timers = it->second.owner->timers;
  timers.erase(std::remove_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.hwnd == hwnd; }),
               timers.end());
  s.windows.erase(it);
  return true;
}

bool is_window(WindowHandle hwnd) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  return s.windows.count(hwnd) != 0;
}

bool post_message(WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  Queue* q;
  if (hwnd == nullptr) {
    q = my_queue(s);
  } else {
    auto it = s.windows.find(hwnd);
    if (it == s.windows.end()) return false;
    q = it->second.owner.get();
  }
  q->posted.push_back(make_message(hwnd, message, wparam, lparam));
  wake_queue(q);
  return true;
}

bool post_thread_message(uint64_t thread_id, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  auto it = s.queues.find(thread_id);
  if (it == s.queues.end()) return false;
  it->second->posted.push_back(make_message(nullptr, message, wparam, lparam));
  wake_queue(it->second.get());
  return true;
}

void post_quit_message(int exit_code) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  Queue* q = my_queue(s);
  q->quit_pending = true;
  q->quit_code = exit_code;
}

intptr_t send_message(WindowHandle hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  State& s = state();
  std::unique_lock<std::mutex> lock(s.lock);
  auto it = s.windows.find(hwnd);
  if (it == s.windows.end()) return 0;
  Queue* mine = my_queue(s);
  Queue* target = it->second.owner.get();
  if (target == mine) {
    WindowProc proc = it->second.proc;
    void* user = it->second.user;
    lock.unlock();
    return proc ? proc(hwnd, message, wparam, lparam, user) : 0;
  }
  if (target->ended) return 0;
  SentMessage m{make_message(hwnd, message, wparam, lparam), mine};
  target->sent.push_back(&m);
  wake_queue(target);
  // Handling what others send to this thread while it waits keeps two threads that send to each
  // other from blocking each other.
  for (;;) {
    deliver_sent(lock, s, mine);
    if (m.done) break;
    mine->wake.wait(lock);
  }
  return m.result;
}

bool peek_message(Message* msg, WindowHandle hwnd, uint32_t min, uint32_t max, uint32_t remove) {
  State& s = state();
  std::unique_lock<std::mutex> lock(s.lock);
  Queue* q = my_queue(s);
  if (q->pump) wait_on(lock, q, Clock::now(), true);  // what the display has ready, without sleeping
  deliver_sent(lock, s, q);
  return take_message(q, msg, hwnd, min, max, (remove & PM_REMOVE) != 0);
}

int get_message(Message* msg, WindowHandle hwnd, uint32_t min, uint32_t max) {
  State& s = state();
  std::unique_lock<std::mutex> lock(s.lock);
  if (hwnd && s.windows.count(hwnd) == 0) return -1;
  Queue* q = my_queue(s);
  for (;;) {
    deliver_sent(lock, s, q);
    if (take_message(q, msg, hwnd, min, max, true)) return msg->message == WM_QUIT ? 0 : 1;
    wait_on(lock, q, next_timer(q, Clock::time_point::max()), true);
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
    State& s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    auto it = s.windows.find(msg->hwnd);
    if (it == s.windows.end()) return 0;
    proc = it->second.proc;
    user = it->second.user;
  }
  return proc ? proc(msg->hwnd, msg->message, msg->wparam, msg->lparam, user) : 0;
}

uintptr_t set_timer(WindowHandle hwnd, uintptr_t id, uint32_t milliseconds) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  Queue* q = my_queue(s);
  if (hwnd) {
    auto it = s.windows.find(hwnd);
    if (it == s.windows.end()) return 0;
    q = it->second.owner.get();
  }
  if (milliseconds == 0) milliseconds = 1;
  auto due = Clock::now() + std::chrono::milliseconds(milliseconds);
  wake_queue(q);  // the owner may sleep until a later timer
  for (Timer& t : q->timers) {
    if (t.hwnd == hwnd && t.id == id) {
      t.period_ms = milliseconds;
      t.due = due;
      return id ? id : 1;
    }
  }
  q->timers.push_back(Timer{hwnd, id, milliseconds, due});
  return id ? id : 1;
}

bool kill_timer(WindowHandle hwnd, uintptr_t id) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  Queue* q = my_queue(s);
  if (hwnd) {
    auto it = s.windows.find(hwnd);
    if (it == s.windows.end()) return false;
    q = it->second.owner.get();
  }
  auto& timers = q->timers;
  auto it = std::find_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (it == timers.end()) return false;
  timers.erase(it);
  return true;
}

Handle create_event(bool manual_reset, bool initially_set) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  auto w = std::make_shared<Waitable>(Waitable{manual_reset, initially_set});
  Handle h = w.get();
  s.handles.emplace(h, std::move(w));
  return h;
}

Handle create_signal_handle() { return create_event(true, false); }

bool set_event(Handle h) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  auto it = s.handles.find(h);
  if (it == s.handles.end()) return false;
  signal(s, it->second.get());
  return true;
}

void signal_handle(Handle h) { set_event(h); }

bool reset_event(Handle h) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  auto it = s.handles.find(h);
  if (it == s.handles.end()) return false;
  it->second->signaled = false;
  return true;
}

bool close_handle(Handle h) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  if (s.handles.erase(h) == 0) return false;
  s.alias_keys.erase(h);
  return true;
}

Handle duplicate_handle(Handle h) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  auto it = s.handles.find(h);
  if (it == s.handles.end()) return nullptr;
  auto key = std::make_unique<char>();
  Handle alias = key.get();
  s.handles.emplace(alias, it->second);
  s.alias_keys.emplace(alias, std::move(key));
  return alias;
}

Handle start_thread(std::function<void()> body, uint64_t* thread_id) {
  State& s = state();
  std::shared_ptr<Queue> queue;
  std::shared_ptr<Waitable> ended;
  Handle handle;
  {
    std::lock_guard<std::mutex> lock(s.lock);
    queue = register_queue(s, g_next_thread_id++);
    ended = std::make_shared<Waitable>(Waitable{true, false});
    handle = ended.get();
    s.handles.emplace(handle, ended);
  }
  if (thread_id) *thread_id = queue->thread_id;
  std::thread([body = std::move(body), queue, ended]() mutable {
    t_binding.queue = queue;
    body();
    body = nullptr;  // what the body holds goes before anyone sees the thread as ended
    State& s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    end_queue(s, queue.get());
    signal(s, ended.get());
  }).detach();
  return handle;
}

bool interrupt_wait(uint64_t thread_id) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  auto it = s.queues.find(thread_id);
  if (it == s.queues.end()) return false;
  it->second->interrupted = true;
  wake_queue(it->second.get());
  return true;
}

uint32_t wait_for_multiple_objects(uint32_t count, const Handle* handles, bool wait_all, uint32_t timeout_ms) {
  return wait_common(count, handles, wait_all, timeout_ms, false, 0);
}

uint32_t msg_wait_for_multiple_objects(uint32_t count, const Handle* handles, bool wait_all, uint32_t timeout_ms,
                                       uint32_t wake_mask) {
  return wait_common(count, handles, wait_all, timeout_ms, true, wake_mask);
}

}  // namespace quevro::winsys
