// Holding, resuming and ending script threads. A std::thread cannot be frozen or killed from
// outside without risking held locks and half-changed state, so each request is honoured by the
// thread itself at its next safe point: on entry to the thread-library functions that reach
// other threads (create, get, set, call, lock, unlock), in the message primitives and waits, and
// before its function starts. A suspended thread blocks there until its
// suspend count is back to 0; a terminated one unwinds its script, leaves its locks, closes its
// state and ends with the requested exit code.
#pragma once

#include <cstdint>
#include <memory>

#include "native/thread_records.h"

namespace quevro {

// Thrown at a safe point of a thread that must end; caught by the thread's body.
struct ThreadStop {
  int32_t exit_code;
};

// What thread.getHandle gives on a thread thread.create did not start: it means "the calling
// thread" to the functions that take a handle.
inline void* const CURRENT_THREAD_HANDLE = reinterpret_cast<void*>(static_cast<intptr_t>(-2));

// Binds the calling thread to its record (for the length of its body); null unbinds it.
void bind_thread_record(std::shared_ptr<ThreadRecord> record);
std::shared_ptr<ThreadRecord> current_thread_record();

// The safe-point check: blocks while the calling thread is suspended, throws ThreadStop when it
// is to end. Threads without a record pass freely, and so does a thread while it runs code in
// the shared state: unwinding there would leave the state every thread shares half-changed, and
// holding there would hold every thread. Its request waits for the next safe point outside.
void thread_safe_point();

// Marks the calling thread as running code in the shared state while it lives.
class SharedStateUse {
 public:
  SharedStateUse();
  ~SharedStateUse();
  SharedStateUse(const SharedStateUse&) = delete;
  SharedStateUse& operator=(const SharedStateUse&) = delete;
};
bool in_shared_state_use();

// SuspendThread: the previous suspend count, or -1 for a thread that has ended.
int suspend_thread(ThreadRecord& record);
// ResumeThread: the previous suspend count (0: it was not suspended), -1 for an ended thread.
int resume_thread(ThreadRecord& record);
// Asks the thread to end with the exit code; false when it has already ended.
bool terminate_thread(ThreadRecord& record, int32_t exit_code);

}  // namespace quevro
