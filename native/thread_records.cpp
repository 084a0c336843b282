#include "native/thread_records.h"

#include <map>
#include <mutex>

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

std::shared_ptr<ThreadRecord> find_thread(void* handle) {
  Records& r = records();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.by_handle.find(handle);
  return it == r.by_handle.end() ? nullptr : it->second;
}

}  // namespace quevro
