#include "native/thread_shared.h"

#include <map>
#include <memory>
#include <string>

#include "runtime/state_lifecycle.h"

namespace quevro {
namespace {

// How often the calling thread holds each named lock. Only the owning thread reads or writes
// its own counts, so no lock guards this map.
thread_local std::map<NamedLock*, int> held_counts;

}  // namespace

std::recursive_mutex& shared_state_lock() {
  // Never destroyed, for threads still running while the process exits.
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

VmState* shared_state() {
  static VmState* state = nullptr;
  static bool tried = false;
  if (!tried) {
    tried = true;
    state = create_library_state();
    if (state != nullptr) import_builtin(state);
  }
  return state;
}

void NamedLock::enter() {
  mutex_.lock();
  ++held_counts[this];
}

bool NamedLock::leave() {
  auto it = held_counts.find(this);
  if (it == held_counts.end() || it->second == 0) return false;
  if (--it->second == 0) held_counts.erase(it);
  mutex_.unlock();
  return true;
}

void NamedLock::leave_all() {
  while (leave()) {
  }
}

void release_all_named_locks() {
  while (!held_counts.empty()) held_counts.begin()->first->leave_all();
}

NamedLock* named_lock(const char* name, size_t len) {
  // Named locks live as long as the process, as the shared state does. The map is never
  // destroyed: threads still running while the process exits may reach it.
  static auto* locks = new std::map<std::string, std::unique_ptr<NamedLock>>;
  std::lock_guard<std::recursive_mutex> guard(shared_state_lock());
  std::unique_ptr<NamedLock>& slot = (*locks)[std::string(name, len)];
  if (!slot) slot = std::make_unique<NamedLock>();
  return slot.get();
}

}  // namespace quevro
