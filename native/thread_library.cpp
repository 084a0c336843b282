#include "native/thread_library.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "compiler/chunk_entry.h"
#include "lib/library_support.h"
#include "native/callbacks.h"
#include "native/thread_control.h"
#include "native/thread_records.h"
#include "native/thread_shared.h"
#include "native/thread_transfer.h"
#include "native/window_calls.h"
#include "runtime/callback_states.h"
#include "runtime/library_registry.h"
#include "runtime/random_seed.h"
#include "runtime/safe_points.h"
#include "runtime/state_lifecycle.h"
#include "runtime/window_system.h"
#include "vm/api.h"
#include "vm/arguments.h"
#include "vm/calls.h"
#include "vm/metamethods.h"

namespace quevro {
namespace {

constexpr const char* LOCKS_HELD = "_criticalSection_locks";
constexpr const char* FUNCTION_NOT_FOUND = "Thread function not found!";

std::atomic<uint64_t> main_thread_id{0};

// What a new state takes over from the state that starts it (or first uses the shared state).
void copy_host_globals(VmState* from, VmState* to) {
  raw_get_field(from, GLOBALS_INDEX, "_STUDIO_INVOKED");
  if (type_of(from, -1) == TAG_STRING) {
    transfer_value(from, -1, to);
    raw_set_field(to, GLOBALS_INDEX, "_STUDIO_INVOKED");
  }
  pop(from, 1);
  raw_get_field(from, GLOBALS_INDEX, "onError");
  if (type_of(from, -1) == TAG_FUNCTION && transfer_value(from, -1, to))
    raw_set_field(to, GLOBALS_INDEX, "onError");
  pop(from, 1);
}

// The text of an error value for reports: strings and numbers as they are, others by type.
std::string error_text(VmState* L, int idx) {
  int t = type_of(L, idx);
  if (t == TAG_STRING || t == TAG_NUMBER) {
    size_t len = 0;
    const char* s = to_lstring(L, idx, &len);
    return std::string(s, len);
  }
  return std::string("(error object is a ") + type_name(L, idx) + " value)";
}

void report_thread_error(VmState* L) {
  int t = type_of(L, -1);
  if (t != TAG_STRING && t != TAG_NUMBER) return;
  std::string line = "\nthread id:" + std::to_string(winsys::current_thread_id()) + "\nthread error:" + error_text(L, -1);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// Ends a thread's state after a failure or a stop: the locks go first, as other threads may
// wait on them while __beforeUnload runs.
void close_failed_state(VmState* L, bool call_before_unload) {
  release_all_named_locks();
  if (call_before_unload) {
    // __beforeUnload may itself fail; that must not take the process down with it.
    raw_get_field(L, GLOBALS_INDEX, "__beforeUnload");
    if (type_of(L, -1) == TAG_FUNCTION) pcall(L, 0, 0, 0); else pop(L, 1);
  }
  close_state(L);
}

// Runs the thread's function and closes its state: the function's exit code, or -1 when it
// failed (the failure is reported first).
int32_t run_thread_function(VmState* L, int nargs) {
  if (pcall(L, nargs + 1, 1, 0) == STATUS_OK) {
    double n = 0;
    int32_t code = to_number_value(stack_address(L, -1), &n) ? to_int32(n) : 0;
    close_state(L);
    return code;
  }
  report_thread_error(L);
  close_failed_state(L, true);
  return -1;
}

// Runs on the new thread. The state holds the function, a null owner and the arguments.
void run_thread_body(VmState* L, int nargs, const std::shared_ptr<ThreadRecord>& record) {
  bind_thread_record(record);
  int32_t exit_code;
  try {
    thread_safe_point();  // a thread created suspended holds here until it is resumed
    seed_thread_random(system_random_seed());
    exit_code = run_thread_function(L, nargs);
  } catch (const ThreadStop& stop) {
    // thread.stop or thread.terminate: the script was unwound at a safe point.
    L->recovery = nullptr;
    close_failed_state(L, false);
    exit_code = stop.exit_code;
  }
  // A lock still held by an ended thread could never be taken again: leave them all.
  release_all_named_locks();
  end_thread_callback_states();
  {
    std::lock_guard<std::mutex> guard(record->lock);
    record->exit_code.store(exit_code);
  }
  bind_thread_record(nullptr);
}

// Puts the thread's function into the new state: a script file named by a string, or a copy of
// a script function. Returns false when the function cannot be copied; raises in the caller when
// the file does not load.
bool place_thread_function(VmState* L, VmState* T) {
  if (type_of(L, ARG1) == TAG_STRING) {
    if (load_file(T, to_string(L, ARG1)) != STATUS_OK) {
      transfer_value(T, -1, L);
      close_state(T);
      raise_error(L);
    }
    return true;
  }
  if (type_of(L, ARG1) != TAG_FUNCTION) {
    close_state(T);
    type_arg_error(L, ARG1, "function");
  }
  return transfer_value(L, ARG1, T);
}

// The owner of thread.create (normally the thread table) asks for a thread that waits for
// thread.resume before its function starts.
bool starts_suspended(VmState* L) {
  if (type_of(L, 1) != TAG_TABLE) return false;
  raw_get_field(L, 1, "create_suspended");
  bool yes = to_boolean(L, -1);
  pop(L, 1);
  return yes;
}

// thread.create(f or path, args...): the new thread's handle and identifier, or nothing.
int thread_create(VmState* L) {
  thread_safe_point();
  int top = get_top(L);
  if (type_of(L, ARG1) != TAG_STRING && type_of(L, ARG1) != TAG_FUNCTION) type_arg_error(L, ARG1, "function");
  VmState* T = create_library_state();
  if (T == nullptr) return 0;
  copy_host_globals(L, T);
  if (!import_builtin(T) || !place_thread_function(L, T)) {
    close_state(T);
    return 0;
  }
  push_null(T);  // the owner
  for (int i = ARG2; i <= top; ++i) {
    if (!transfer_value(L, i, T)) {
      close_state(T);
      return 0;
    }
  }
  int nargs = top >= ARG2 ? top - ARG1 : 0;
  auto record = std::make_shared<ThreadRecord>();
  record->suspend_count = starts_suspended(L) ? 1 : 0;
  // start_thread writes the id before the thread starts.
  winsys::Handle h = winsys::start_thread([T, nargs, record] { run_thread_body(T, nargs, record); }, &record->id);
  if (h == nullptr) {
    close_state(T);
    return 0;
  }
  uint64_t id = record->id;
  remember_thread(h, record);
  push_pointer(L, h);
  push_number(L, static_cast<double>(id));
  return 2;
}

void* check_handle(VmState* L, int idx) {
  if (type_of(L, idx) != TAG_POINTER || stack_address(L, idx)->u.p == nullptr) type_arg_error(L, idx, "pointer");
  return stack_address(L, idx)->u.p;
}

// The record a handle argument names; the pseudo handle of thread.getHandle names the caller.
std::shared_ptr<ThreadRecord> record_of(VmState* L, int idx) {
  void* h = check_handle(L, idx);
  return h == CURRENT_THREAD_HANDLE ? current_thread_record() : find_thread(h);
}

int thread_resume(VmState* L) {
  std::shared_ptr<ThreadRecord> record = record_of(L, ARG1);
  push_boolean(L, record && resume_thread(*record) == 1);
  return 1;
}

int thread_suspend(VmState* L) {
  std::shared_ptr<ThreadRecord> record = record_of(L, ARG1);
  bool done = record && suspend_thread(*record) >= 0;
  push_boolean(L, done);
  // A thread that suspends itself holds at once (or, inside the shared state, once it is out).
  if (done && record == current_thread_record()) thread_safe_point();
  return 1;
}

int32_t opt_exit_code(VmState* L, int idx) {
  return is_none_or_null(L, idx) ? 0 : to_int32(check_number(L, idx));
}

int thread_terminate(VmState* L) {
  std::shared_ptr<ThreadRecord> record = record_of(L, ARG1);
  int32_t code = opt_exit_code(L, ARG2);
  bool done = record && terminate_thread(*record, code);
  if (done && record == current_thread_record()) thread_safe_point();
  push_boolean(L, done);
  return 1;
}

// thread.stop(code): ends the calling thread. The main thread has no thread body to unwind to:
// stopping it ends the process with the code. A native thread that runs a callback belongs to
// the native code that started it, which must not lose it halfway through its call.
int thread_stop(VmState* L) {
  int32_t code = opt_exit_code(L, ARG1);
  if (std::shared_ptr<ThreadRecord> me = current_thread_record()) {
    terminate_thread(*me, code);
    thread_safe_point();  // inside the shared state the stop waits until the thread is out
    return 0;
  }
  if (winsys::current_thread_id() != main_thread_id.load())
    runtime_error(L, "thread.stop: this thread was not started by thread.create");
  std::fflush(nullptr);
  std::_Exit(code & 0xFF);
}

int thread_get_handle(VmState* L) {
  push_pointer(L, CURRENT_THREAD_HANDLE);
  return 1;
}

// thread.open(id): a new handle to a running (or ended but still named) thread, to be closed on
// its own; null for an identifier no thread.create thread has. Access and inheritance have no
// meaning for a handle that never leaves the process.
int thread_open(VmState* L) {
  uint64_t id = static_cast<uint64_t>(check_number(L, ARG1));
  void* named_by = nullptr;
  std::shared_ptr<ThreadRecord> record = find_thread_by_id(id, &named_by);
  winsys::Handle h = record ? winsys::duplicate_handle(named_by) : nullptr;
  if (h == nullptr) {
    push_null(L);
    return 1;
  }
  remember_thread(h, record);
  push_pointer(L, h);
  return 1;
}

int thread_get_exit_code(VmState* L) {
  std::shared_ptr<ThreadRecord> record = record_of(L, ARG1);
  if (!record) return 0;
  push_number(L, record->exit_code.load());
  return 1;
}

int thread_get_id(VmState* L) {
  push_number(L, static_cast<double>(winsys::current_thread_id()));
  return 1;
}

int thread_get_main_id(VmState* L) {
  push_number(L, static_cast<double>(main_thread_id.load()));
  return 1;
}

int thread_main(VmState* L) {
  push_boolean(L, winsys::current_thread_id() == main_thread_id.load());
  return 1;
}

// Names of shared globals: strings, numbers and pointers as they are; nothing else.
void check_shared_name(VmState* L, int idx) {
  int t = type_of(L, idx);
  if (t != TAG_STRING && t != TAG_NUMBER && t != TAG_POINTER) type_arg_error(L, idx, "string");
}

// Holds the shared-state lock and puts the shared state's stack back as it was on every exit,
// errors raised in the calling state included.
class SharedAccess {
 public:
  SharedAccess() : guard_(shared_state_lock()), use_(), S_(shared_state()), top_(S_ ? get_top(S_) : 0) {}
  ~SharedAccess() {
    if (S_ != nullptr) set_top(S_, top_);
  }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;
  VmState* state() const { return S_; }

 private:
  std::lock_guard<std::recursive_mutex> guard_;
  SharedStateUse use_;
  VmState* S_;
  int top_;
};

bool is_shared_state(VmState* L) {
  std::lock_guard<std::recursive_mutex> guard(shared_state_lock());
  return shared_state() == L;
}

int thread_get(VmState* L) {
  thread_safe_point();
  check_shared_name(L, ARG1);
  if (is_shared_state(L)) {
    push_value(L, ARG1);
    raw_get(L, GLOBALS_INDEX);
    return type_of(L, -1) == TAG_NULL ? 0 : 1;
  }
  SharedAccess shared;
  VmState* S = shared.state();
  if (S == nullptr || !transfer_value(L, ARG1, S)) return 0;
  raw_get(S, GLOBALS_INDEX);
  if (type_of(S, -1) == TAG_NULL) return 0;
  return transfer_value(S, -1, L) ? 1 : 0;
}

int thread_set(VmState* L) {
  thread_safe_point();
  check_shared_name(L, ARG1);
  set_top(L, ARG2);
  if (is_shared_state(L)) {
    raw_set(L, GLOBALS_INDEX);
    return 0;
  }
  bool copied;
  {
    SharedAccess shared;
    VmState* S = shared.state();
    if (S == nullptr) return 0;
    copied = transfer_value(L, ARG1, S) && transfer_value(L, ARG2, S);
    if (copied) raw_set(S, GLOBALS_INDEX);
  }
  if (!copied) arg_error(L, ARG2, "value cannot be copied to another thread");
  return 0;
}

// thread.call run by the shared state itself: a direct call.
int call_in_shared_state(VmState* L) {
  int top = get_top(L);
  if (type_of(L, ARG1) != TAG_FUNCTION) {
    push_value(L, ARG1);
    raw_get(L, GLOBALS_INDEX);
    replace(L, ARG1);
  }
  if (type_of(L, ARG1) != TAG_FUNCTION) {
    push_null(L);
    push_string(L, FUNCTION_NOT_FOUND);
    return 2;
  }
  push_null(L);
  insert(L, ARG2);  // the owner goes between the function and its arguments
  call(L, top - ARG1 + 1, -1);
  return get_top(L) - 1;
}

void prepare_shared_state_for_calls(VmState* L, VmState* S) {
  static bool prepared = false;  // guarded by the shared-state lock
  if (prepared) return;
  prepared = true;
  import_builtin(S);
  copy_host_globals(L, S);
}

int thread_call(VmState* L) {
  thread_safe_point();
  if (is_shared_state(L)) return call_in_shared_state(L);
  int top = get_top(L);
  std::string failure;
  int results = 0;
  {
    SharedAccess shared;
    VmState* S = shared.state();
    if (S == nullptr) return 0;
    prepare_shared_state_for_calls(L, S);
    int base = get_top(S);
    if (type_of(L, ARG1) == TAG_FUNCTION) {
      if (!transfer_value(L, ARG1, S)) arg_error(L, ARG1, FUNCTION_NOT_FOUND);
    } else {
      check_shared_name(L, ARG1);
      if (!transfer_value(L, ARG1, S)) arg_error(L, ARG1, FUNCTION_NOT_FOUND);
      raw_get(S, GLOBALS_INDEX);
    }
    if (type_of(S, -1) != TAG_FUNCTION) arg_error(L, ARG1, FUNCTION_NOT_FOUND);
    push_null(S);
    for (int i = ARG2; i <= top; ++i)
      if (!transfer_value(L, i, S)) arg_error(L, i, "value cannot be copied to another thread");
    int nargs = top >= ARG2 ? top - ARG1 : 0;
    if (pcall(S, nargs + 1, -1, 0) != STATUS_OK) {
      failure = error_text(S, -1);
    } else {
      int count = get_top(S) - base;
      check_stack(L, count);
      for (int i = base + 1; i <= base + count; ++i)
        if (transfer_value(S, i, L)) ++results;
    }
  }
  if (!failure.empty()) library_error(L, "thread.call() error\n%s", failure.c_str());
  return results;
}

// Records in the state's registry which named locks it holds, as the lock list of a failing
// thread is read from there.
void record_lock(VmState* L, int name_idx, NamedLock* lock) {
  registry_subtable(L, LOCKS_HELD);
  push_value(L, name_idx);
  if (lock != nullptr) push_pointer(L, lock); else push_null(L);
  raw_set(L, -3);
  pop(L, 1);
}

int thread_lock(VmState* L) {
  thread_safe_point();
  size_t len = 0;
  const char* name = check_lstring(L, ARG1, &len);
  NamedLock* lock = named_lock(name, len);
  record_lock(L, ARG1, lock);
  lock->enter();
  if (type_of(L, ARG2) != TAG_FUNCTION) return 0;
  int top = get_top(L);
  int base = top;
  push_value(L, ARG2);
  push_null(L);
  for (int i = ARG3; i <= top; ++i) push_value(L, i);
  // The lock is left even when the function fails, so that no other thread waits on it forever.
  int status = pcall(L, top - ARG2 + 1, -1, 0);
  lock->leave();
  record_lock(L, ARG1, nullptr);
  if (status != STATUS_OK) raise_error(L);
  return get_top(L) - base;
}

int thread_unlock(VmState* L) {
  thread_safe_point();
  size_t len = 0;
  const char* name = check_lstring(L, ARG1, &len);
  named_lock(name, len)->leave();
  record_lock(L, ARG1, nullptr);
  return 0;
}

constexpr const char* CALLBACK_INITIALIZED = "_quevroThreadCallbackInitialized";

// thread.callbackInitialize(): marks the state as one that runs thread callbacks. The automation
// layer keeps no per-thread state here, so there is nothing that could fail.
int thread_callback_initialize(VmState* L) {
  raw_get_field(L, REGISTRY_INDEX, CALLBACK_INITIALIZED);
  bool done = to_boolean(L, -1);
  pop(L, 1);
  if (done) return 0;
  push_boolean(L, true);
  raw_set_field(L, REGISTRY_INDEX, CALLBACK_INITIALIZED);
  push_boolean(L, true);
  return 1;
}

// What thread.callbackUninitialize points to: on the thread it names, ends that thread's
// callback state (its __beforeUnload runs) and leaves the locks it holds; on any other thread
// it does nothing.
void callback_uninitialize(uint32_t thread_id) {
  if (thread_id != winsys::current_thread_id()) return;
  release_all_named_locks();
  end_thread_callback_states();
}

const LibraryFunction THREAD_FUNCTIONS[] = {
    {"create", thread_create},
    {"getExitCode", thread_get_exit_code},
    {"getId", thread_get_id},
    {"getMainId", thread_get_main_id},
    {"main", thread_main},
    {"get", thread_get},
    {"set", thread_set},
    {"call", thread_call},
    {"lock", thread_lock},
    {"unlock", thread_unlock},
    {"resume", thread_resume},
    {"suspend", thread_suspend},
    {"terminate", thread_terminate},
    {"stop", thread_stop},
    {"getHandle", thread_get_handle},
    {"open", thread_open},
    {"callWnd", thread_call_wnd},
    {"getWnd", thread_get_wnd},
    {"setWnd", thread_set_wnd},
    {"applyCallWnd", thread_apply_call_wnd},
    {"tostdcall", thread_tostdcall},
    {"tocdecl", thread_tocdecl},
    {"tofastcall", thread_tofastcall},
    {"callbackInitialize", thread_callback_initialize},
    {nullptr, nullptr},
};

}  // namespace

void open_thread_library(VmState* L) {
  // The first state opened is the one the runtime starts on.
  uint64_t unset = 0;
  main_thread_id.compare_exchange_strong(unset, winsys::current_thread_id());
  install_safe_point_check(thread_safe_point);
  register_library(L, "thread", THREAD_FUNCTIONS);
  push_pointer(L, reinterpret_cast<void*>(&callback_uninitialize));
  raw_set_field(L, -2, "callbackUninitialize");
  pop(L, 1);
}

}  // namespace quevro
