// What other threads can learn about and ask of a thread that thread.create started: its exit
// code, and the requests to hold it (suspend), let it go on (resume) or end it (terminate),
// looked up by any handle that names it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace quevro {

// GetExitCodeThread's value for a thread that has not ended.
constexpr int32_t STILL_ACTIVE = 259;

struct ThreadRecord {
  uint64_t id = 0;
  std::atomic<int32_t> exit_code{STILL_ACTIVE};
  // Guarded by `lock`. A thread holds while suspend_count is above 0 and ends when stop is
  // requested, both only at its safe points (see thread_control.h).
  std::mutex lock;
  std::condition_variable changed;
  int suspend_count = 0;
  bool stop_requested = false;
  int32_t stop_code = 0;
};

// Enters the record of a started thread under a handle (the one thread.create returned, or one
// that thread.open made for it).
void remember_thread(void* handle, std::shared_ptr<ThreadRecord> record);

// Forgets a handle (it was closed); the record lives on while other handles or the thread use it.
void forget_thread_handle(void* handle);

// The record of the thread with that handle; null for a handle that names no such thread.
std::shared_ptr<ThreadRecord> find_thread(void* handle);

// The record of the thread with that identifier, while any handle still names it, and one such
// handle.
std::shared_ptr<ThreadRecord> find_thread_by_id(uint64_t id, void** handle);

}  // namespace quevro
