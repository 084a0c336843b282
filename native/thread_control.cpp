#include "native/thread_control.h"

#include "runtime/window_system.h"

namespace quevro {
namespace {

thread_local std::shared_ptr<ThreadRecord> t_record;
thread_local int t_shared_depth = 0;

bool has_ended(const ThreadRecord& record) { return record.exit_code.load() != STILL_ACTIVE; }

}  // namespace

void bind_thread_record(std::shared_ptr<ThreadRecord> record) { t_record = std::move(record); }

std::shared_ptr<ThreadRecord> current_thread_record() { return t_record; }

SharedStateUse::SharedStateUse() { ++t_shared_depth; }
SharedStateUse::~SharedStateUse() { --t_shared_depth; }
bool in_shared_state_use() { return t_shared_depth > 0; }

void thread_safe_point() {
  ThreadRecord* r = t_record.get();
  if (r == nullptr || t_shared_depth > 0) return;
  std::unique_lock<std::mutex> guard(r->lock);
  r->changed.wait(guard, [r] { return r->suspend_count == 0 || r->stop_requested; });
  if (r->stop_requested) throw ThreadStop{r->stop_code};
}

int suspend_thread(ThreadRecord& record) {
  std::lock_guard<std::mutex> guard(record.lock);
  if (has_ended(record)) return -1;
  return record.suspend_count++;
}

int resume_thread(ThreadRecord& record) {
  std::lock_guard<std::mutex> guard(record.lock);
  if (has_ended(record)) return -1;
  int previous = record.suspend_count;
  if (previous > 0 && --record.suspend_count == 0) record.changed.notify_all();
  return previous;
}

bool terminate_thread(ThreadRecord& record, int32_t exit_code) {
  {
    std::lock_guard<std::mutex> guard(record.lock);
    if (has_ended(record)) return false;
    if (!record.stop_requested) {
      record.stop_requested = true;
      record.stop_code = exit_code;
    }
    record.changed.notify_all();
  }
  // A thread blocked in its message loop or a wait wakes up and reaches its next safe point.
  winsys::post_thread_message(record.id, winsys::WM_NULL, 0, 0);
  winsys::interrupt_wait(record.id);
  return true;
}

}  // namespace quevro
