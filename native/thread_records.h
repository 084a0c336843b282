// What the creator of a thread can learn about it later: its exit code, looked up by the thread
// handle that thread.create returned.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace quevro {

// GetExitCodeThread's value for a thread that has not ended.
constexpr int32_t STILL_ACTIVE = 259;

struct ThreadRecord {
  std::atomic<int32_t> exit_code{STILL_ACTIVE};
};

// Enters the record of a started thread under its handle.
void remember_thread(void* handle, std::shared_ptr<ThreadRecord> record);

// The record of the thread with that handle; null for a handle thread.create did not return.
std::shared_ptr<ThreadRecord> find_thread(void* handle);

}  // namespace quevro
