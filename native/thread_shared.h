// The process-wide shared state that threads reach through thread.get, thread.set and
// thread.call, and the named locks kept in it. The shared state is made on first use and lives
// for the rest of the process; it is touched only while shared_state_lock() is held.
#pragma once

#include <mutex>

#include "vm/state.h"

namespace quevro {

// Guards every use of the shared state and the creation of named locks. Recursive, so that a
// function run by thread.call may itself use thread.get or thread.set.
std::recursive_mutex& shared_state_lock();

// The shared state (made, with "import builtin;" run, on the first call); null when it could
// not be made. Call with shared_state_lock() held.
VmState* shared_state();

// A named process-wide lock: a recursive mutex that also knows how often each thread holds it,
// so that leaving a lock a thread does not hold is harmless and a failing thread can leave
// everything it still holds.
class NamedLock {
 public:
  void enter();
  // False (doing nothing) when the calling thread does not hold the lock.
  bool leave();
  // Leaves every hold the calling thread has on the lock.
  void leave_all();

 private:
  std::recursive_mutex mutex_;
};

// Leaves every named lock the calling thread still holds (a thread that failed).
void release_all_named_locks();

// The lock of that name, created on first use; it lives for the rest of the process.
NamedLock* named_lock(const char* name, size_t len);

}  // namespace quevro
