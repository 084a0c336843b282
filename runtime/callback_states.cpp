#include "runtime/callback_states.h"

#include <cstdlib>
#include <list>
#include <mutex>
#include <thread>

#include "runtime/random_seed.h"
#include "runtime/state_lifecycle.h"
#include "vm/api.h"

namespace quevro {

namespace {

struct CallbackState {
  VmState* state;
  std::thread::id owner;
  int count;
};

struct CallbackStates {
  std::mutex lock;
  std::list<CallbackState> states;
};

// Never destroyed: threads still running while the process exits may end and release theirs.
CallbackStates& callback_states() {
  static auto* s = new CallbackStates;
  return *s;
}

void close_entry_state(VmState* L) { shut_down(L); }

}  // namespace

VmState* acquire_callback_state() {
  std::thread::id me = std::this_thread::get_id();
  VmState* created = nullptr;
  {
    CallbackStates& all = callback_states();
    std::lock_guard<std::mutex> lock(all.lock);
    for (CallbackState& e : all.states) {
      if (e.owner == me) {
        e.count++;
        return e.state;
      }
    }
    created = create_library_state();
    if (created == nullptr) return nullptr;
    all.states.push_back(CallbackState{created, me, 1});
  }
  if (!import_builtin_with_caption(created, "THREAD CALLBACK ERROR")) {
    release_callback_state(created);
    return nullptr;
  }
  // The thread's generator, seeded from the system's secure source when a state is made for it.
  seed_thread_random(system_random_seed());
  return created;
}

void release_callback_state(VmState* L) {
  VmState* to_close = nullptr;
  {
    CallbackStates& all = callback_states();
    std::lock_guard<std::mutex> lock(all.lock);
    for (auto it = all.states.begin(); it != all.states.end(); ++it) {
      // Only the owning thread releases its state; the check keeps a stale pointer from another
      // thread from matching a newer state made at the same address.
      if (it->state == L && it->owner == std::this_thread::get_id() && --it->count == 0) {
        to_close = L;
        all.states.erase(it);
        break;
      }
    }
  }
  if (to_close) close_entry_state(to_close);
}

void close_thread_callback_state() {
  std::thread::id me = std::this_thread::get_id();
  VmState* to_close = nullptr;
  {
    CallbackStates& all = callback_states();
    std::lock_guard<std::mutex> lock(all.lock);
    for (auto it = all.states.begin(); it != all.states.end(); ++it) {
      if (it->owner == me) {
        to_close = it->state;
        all.states.erase(it);
        break;
      }
    }
  }
  if (to_close) close_entry_state(to_close);
}

}  // namespace quevro
