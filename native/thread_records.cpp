#include "native/thread_records.h"

#include <map>

namespace quevro {
namespace {

struct Records {
  std::mutex lock;
  std::map<void*, std::shared_ptr<ThreadRecord>> by_handle;
};

Records& records() {
  // Never destroyed: threads still running while the process exits record their exit codes.
  static auto* r = new Records;
  return *r;
}

}  // namespace

void remember_thread(void* handle, std::shared_ptr<ThreadRecord> record) {
  Records& r = records();
  std::lock_guard<std::mutex> guard(r.lock);
  r.by_handle[handle] = std::move(record);
}

void forget_thread_handle(void* handle) {
  Records& r = records();
  std::lock_guard<std::mutex> guard(r.lock);
  r.by_handle.erase(handle);
}

std::shared_ptr<ThreadRecord> find_thread(void* handle) {
  Records& r = records();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.by_handle.find(handle);
  return it == r.by_handle.end() ? nullptr : it->second;
}

std::shared_ptr<ThreadRecord> find_thread_by_id(uint64_t id, void** handle) {
  Records& r = records();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const auto& [h, record] : r.by_handle) {
    if (record->id != id) continue;
    *handle = h;
    return record;
  }
  return nullptr;
}

}  // namespace quevro
