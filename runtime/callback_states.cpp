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

std::mutex g_lock;
std::list<CallbackState> g_states;

void close_entry_state(VmState* L) { shut_down(L); }

}  // namespace

VmState* acquire_callback_state() {
  std::thread::id me = std::this_thread::get_id();
  VmState* created = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    for (CallbackState& e : g_states) {
      if (e.owner == me) {
        e.count++;
        return e.state;
      }
    }
    created = create_library_state();
    if (created == nullptr) return nullptr;
    g_states.push_back(CallbackState{created, me, 1});
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
    std::lock_guard<std::mutex> lock(g_lock);
    for (auto it = g_states.begin(); it != g_states.end(); ++it) {
      // Only the owning thread releases its state; the check keeps a stale pointer from another
      // thread from matching a newer state made at the same address.
      if (it->state == L && it->owner == std::this_thread::get_id() && --it->count == 0) {
        to_close = L;
        g_states.erase(it);
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
    std::lock_guard<std::mutex> lock(g_lock);
    for (auto it = g_states.begin(); it != g_states.end(); ++it) {
      if (it->owner == me) {
        to_close = it->state;
        g_states.erase(it);
        break;
      }
    }
  }
  if (to_close) close_entry_state(to_close);
}

}  // namespace quevro
