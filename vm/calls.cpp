#include "vm/calls.h"

#include "vm/api.h"
#include "vm/collector.h"
#include "vm/error.h"
#include "vm/interpreter.h"
#include "vm/metamethods.h"
#include "vm/runtime_errors.h"

namespace quevro {

namespace {

// Nested resumes each nest the native stack, whichever fiber they run on.
constexpr int RESUME_DEPTH_LIMIT = NATIVE_DEPTH_LIMIT;

bool is_script_frame(const CallFrame* f) { return f->func->tag == TAG_FUNCTION && f->func->closure()->is_script; }

// With p fixed parameters and `actual` arguments: pad to p with nulls, then move the fixed values
// above the extra ones, so the extras lie just below the new base where VARARG finds them.
Value* adjust_varargs(VmState* L, const Prototype* p, int actual) {
  int fixed = p->numparams;
  for (; actual < fixed; ++actual) *L->top++ = make_null();
  Value* first_fixed = L->top - actual;
  Value* base = L->top;
  for (int i = 0; i < fixed; ++i) {
    *L->top++ = first_fixed[i];
    set_null(&first_fixed[i]);
  }
  return base;
}

// A non-function is called through its `_call` handler, which receives it as the owner.
Value* resolve_callable(VmState* L, Value* func) {
  const Value* h = value_handler(L, func, EVENT_CALL);
  if (h->tag != TAG_FUNCTION) type_error(L, func, "call");
  Value handler = *h;
  if (L->top == func + 1) {
    ptrdiff_t at = save_stack(L, func);
    ensure_stack(L, 1);
    func = restore_stack(L, at);
    L->top++;
  }
  func[1] = func[0];
  func[0] = handler;
  return func;
}

void grow_frame_array(VmState* L) {
  // Already past the limit: this is an overflow while handling the overflow.
  if (L->frames_size > FRAMES_LIMIT) throw_status(L, STATUS_HANDLER);
  realloc_frames(L, 2 * L->frames_size);
  if (L->frames_size > FRAMES_LIMIT) runtime_error(L, "stack overflow");
}

}  // namespace

CallFrame* push_frame(VmState* L) {
  if (L->frame == L->frames_end) grow_frame_array(L);
  return ++L->frame;
}

void run_hook(VmState* L, int event, int line) {
  HookFn hook = L->hook;
  if (hook == nullptr || !L->hook_allowed) return;
  ptrdiff_t top = save_stack(L, L->top);
  ptrdiff_t frame_top = save_stack(L, L->frame->top);
  ensure_stack(L, NATIVE_MIN_SLOTS);
  L->frame->top = L->top + NATIVE_MIN_SLOTS;
  L->hook_allowed = 0;
  hook(L, event, line, event == HOOK_TAIL_RETURN ? 0 : L->frame_index());
  L->hook_allowed = 1;
  L->frame->top = restore_stack(L, frame_top);
  L->top = restore_stack(L, top);
}

CallKind prepare_call(VmState* L, Value* func, int wanted_results) {
  if (func->tag != TAG_FUNCTION) func = resolve_callable(L, func);
  ptrdiff_t func_at = save_stack(L, func);
  L->frame->saved_pc = L->saved_pc;
  ClosureObject* c = func->closure();
  if (c->is_script) {
    Prototype* p = c->proto;
    ensure_stack(L, p->max_stack_size + p->numparams);
    func = restore_stack(L, func_at);
    Value* base;
    if (p->vararg_flags == 0) {
      base = func + 1;
      if (L->top > base + p->numparams) L->top = base + p->numparams;
    } else {
      base = adjust_varargs(L, p, static_cast<int>(L->top - func) - 1);
    }
    CallFrame* f = push_frame(L);
    enter_script_frame(L, f, restore_stack(L, func_at), base, p, wanted_results);
    if (L->hook_mask & HOOK_MASK_CALL) {
      L->saved_pc++;  // hooks assume the pc already points past the instruction
      run_hook(L, HOOK_CALL, -1);
      L->saved_pc--;
    }
    return CallKind::SCRIPT;
  }
  ensure_stack(L, NATIVE_MIN_SLOTS);
  CallFrame* f = push_frame(L);
  func = restore_stack(L, func_at);
  enter_native_frame(L, f, func, wanted_results);
  if (L->hook_mask & HOOK_MASK_CALL) run_hook(L, HOOK_CALL, -1);
  int n = c->fn(L);
  if (n < 0) return CallKind::YIELDED;
  finish_call(L, L->top - n);
  return CallKind::NATIVE_DONE;
}

bool finish_call(VmState* L, Value* first) {
  if (L->hook_mask & HOOK_MASK_RETURN) {
    ptrdiff_t at = save_stack(L, first);
    run_hook(L, HOOK_RETURN, -1);
    if (is_script_frame(L->frame)) {
      while (L->frame->tail_calls > 0) {
        L->frame->tail_calls--;
        run_hook(L, HOOK_TAIL_RETURN, -1);
      }
    }
    first = restore_stack(L, at);
  }
  return pop_frame_with_results(L, first);
}

void call_value(VmState* L, Value* func, int wanted_results) {
  if (++L->native_depth >= NATIVE_DEPTH_LIMIT) {
    if (L->native_depth == NATIVE_DEPTH_LIMIT)
      runtime_error(L, "C stack overflow");
    else if (L->native_depth >= NATIVE_DEPTH_LIMIT + (NATIVE_DEPTH_LIMIT >> 3))
      throw_status(L, STATUS_HANDLER);
  }
  if (prepare_call(L, func, wanted_results) == CallKind::SCRIPT) execute(L, 1);
  L->native_depth--;
  check_gc(L);
}

void call(VmState* L, int nargs, int nresults) {
  call_value(L, L->top - (nargs + 1), nresults);
  if (nresults == -1 && L->top >= L->frame->top) L->frame->top = L->top;
}

namespace {

struct CallRequest {
  ptrdiff_t func;
  int wanted;
};

void call_body(VmState* L, void* ud) {
  auto* req = static_cast<CallRequest*>(ud);
  call_value(L, restore_stack(L, req->func), req->wanted);
}

}  // namespace

namespace {

// Runs body under a recovery point; on failure restores frames, counters and the stack top
// (placing the error value at old_top) as they were.
int run_restoring(VmState* L, void (*body)(VmState*, void*), void* ud, ptrdiff_t old_top_at, ptrdiff_t handler) {
  RegionStart start = region_start(L);
  start.top = old_top_at;
  ptrdiff_t previous_handler = L->error_handler;
  L->error_handler = handler;
  int status = run_protected(L, body, ud);
  if (status != STATUS_OK) restore_region(L, status, start);
  L->error_handler = previous_handler;
  return status;
}

}  // namespace

void restore_region(VmState* L, int status, const RegionStart& start) {
  Value* old_top = restore_stack(L, start.top);
  close_upvalues(L, old_top);
  place_error_value(L, status, old_top);
  L->top = old_top + 1;
  L->native_depth = start.native_depth;
  L->frame = reinterpret_cast<CallFrame*>(reinterpret_cast<char*>(L->frames) + start.frame);
  L->base = L->frame->base;
  L->saved_pc = L->frame->saved_pc;
  L->hook_allowed = start.hook_allowed;
  // A failure deep in recursion leaves the frame array oversized; give the memory back.
  if (L->frames_size > FRAMES_LIMIT && L->frame - L->frames + 1 < FRAMES_LIMIT) realloc_frames(L, FRAMES_LIMIT);
}

int protected_call(VmState* L, Value* func, int wanted_results, ptrdiff_t handler) {
  CallRequest req{save_stack(L, func), wanted_results};
  return run_restoring(L, call_body, &req, req.func, handler);
}

int protected_run(VmState* L, void (*body)(VmState* L, void* ud), void* ud) {
  return run_restoring(L, body, ud, save_stack(L, L->top), 0);
}

int pcall(VmState* L, int nargs, int nresults, int handler_index) {
  ptrdiff_t handler = 0;
  if (handler_index != 0) handler = save_stack(L, stack_address(L, handler_index));
  int status = protected_call(L, L->top - (nargs + 1), nresults, handler);
  if (status == STATUS_OK && nresults == -1 && L->top >= L->frame->top) L->frame->top = L->top;
  return status;
}

void raise_error(VmState* L) {
  if (L->error_handler != 0) {
    Value* h = restore_stack(L, L->error_handler);
    if (h->tag != TAG_NULL) {
      if (h->tag != TAG_FUNCTION) throw_status(L, STATUS_HANDLER);
      // The handler runs before any unwinding and gets (null owner, error value); its result
      // replaces the error value.
      ensure_stack(L, 2);
      h = restore_stack(L, L->error_handler);
      Value err = L->top[-1];
      L->top[-1] = *h;
      L->top[0] = make_null();
      L->top[1] = err;
      L->top += 2;
      call_value(L, L->top - 3, 1);
    }
  }
  throw_status(L, STATUS_RUNTIME);
}

namespace {

// Refuses a resume without raising: the message replaces the nargs arguments on the fiber's
// stack. Nothing below them is touched, because the refused fiber may be running (it is the
// caller itself, or it resumed the caller) or may not have started yet, and then what lies below
// is its own frames or its main function.
int refuse_resume(VmState* co, int nargs, const char* message) {
  co->top -= nargs;
  ensure_stack(co, 1);
  *co->top++ = make_string(intern_string(co, message));
  return STATUS_RUNTIME;
}

void resume_body(VmState* co, void* ud) {
  Value* first_arg = restore_stack(co, *static_cast<ptrdiff_t*>(ud));
  if (co->status == STATUS_OK) {
    if (prepare_call(co, first_arg - 1, -1) != CallKind::SCRIPT) return;
  } else {
    co->status = STATUS_OK;
    if (!is_script_frame(co->frame)) {
      // Finish the native call that yielded, with the resume arguments as its results.
      if (finish_call(co, first_arg)) co->top = co->frame->top;
    } else {
      co->base = co->frame->base;  // yielded from a hook: just go on
    }
  }
  execute(co, co->frame_index());
}

}  // namespace

int resume(VmState* co, int nargs) {
  if (co->status != STATUS_YIELD && (co->status != STATUS_OK || co->frame != co->frames)) {
    return refuse_resume(co, nargs,
                         co->status != STATUS_OK ? "cannot resume dead fiber" : "cannot resume non-suspended fiber");
  }
  SharedState* g = G(co);
  if (g->resume_depth >= RESUME_DEPTH_LIMIT) return refuse_resume(co, nargs, "C stack overflow");
  g->resume_depth++;
  ptrdiff_t first_arg = save_stack(co, co->top - nargs);
  int status = run_protected(co, resume_body, &first_arg);
  if (status != STATUS_OK) {
    co->status = static_cast<uint8_t>(status);
    ensure_stack(co, 1);
    place_error_value(co, status, co->top);
    co->top++;
    co->frame->top = co->top;
  } else {
    status = co->status;
  }
  g->resume_depth--;
  return status;
}

int yield(VmState* L, int nresults) {
  if (L->native_depth > 0) runtime_error(L, "\n{Attempt to}: yield across metamethod/Kernel-call boundary");
  L->base = L->top - nresults;  // keep the yielded values where resume finds them
  L->status = STATUS_YIELD;
  return -1;
}

}  // namespace quevro
