// Calling functions: frames, the owner-slot convention, varargs, protected calls, error raising
// through the handler chain, hooks, and fibers.
#pragma once

#include <cassert>
#include <new>

#include "vm/error.h"
#include "vm/prototype.h"
#include "vm/state.h"

namespace quevro {

// Hook events and mask bits.
enum HookEvent { HOOK_CALL = 0, HOOK_RETURN = 1, HOOK_LINE = 2, HOOK_TAIL_RETURN = 3 };
constexpr uint8_t HOOK_MASK_CALL = 1;
constexpr uint8_t HOOK_MASK_RETURN = 2;
constexpr uint8_t HOOK_MASK_LINE = 4;

inline ptrdiff_t save_stack(VmState* L, const Value* p) {
  return reinterpret_cast<const char*>(p) - reinterpret_cast<const char*>(L->stack);
}
inline Value* restore_stack(VmState* L, ptrdiff_t offset) {
  return reinterpret_cast<Value*>(reinterpret_cast<char*>(L->stack) + offset);
}

enum class CallKind { SCRIPT, NATIVE_DONE, YIELDED };

// Prepares a call of the value at func with the values up to the top as arguments. A script
// function gets a new frame (the caller then runs the interpreter on it); a native function runs
// at once.
CallKind prepare_call(VmState* L, Value* func, int wanted_results);
// Ends the running frame: copies the results starting at first to the function's slot, padded
// with nulls to the wanted count. Returns false when all results were wanted.
bool finish_call(VmState* L, Value* first);

// Fills the frame just pushed for a script function whose registers start at base, with room
// for its registers (the caller made sure of it): registers the arguments did not fill are set
// to null, and the function's first instruction becomes the one to run.
inline void enter_script_frame(VmState* L, CallFrame* f, Value* func, Value* base, const Prototype* p,
                               int wanted_results) {
  f->func = func;
  f->base = L->base = base;
  Value* limit = base + p->max_stack_size;
  f->top = limit;
  f->wanted_results = wanted_results;
  f->tail_calls = 0;
  L->saved_pc = p->code;
  // A local limit: the stores below could alias f->top as far as the compiler knows. Slots are
  // cleared two at a time, up to one past the limit: nothing above the new frame is live, and
  // the callers leave the limit below the last usable slot, which STACK_RESERVE slots follow.
  static_assert(STACK_RESERVE >= 2, "the clearing may run one slot past the last usable one");
  for (Value* s = L->top; s < limit; s += 2) {
    set_null(s);
    set_null(s + 1);
  }
  L->top = limit;
}

// Fills the frame just pushed for a native function at func, whose arguments run up to the top.
inline void enter_native_frame(VmState* L, CallFrame* f, Value* func, int wanted_results) {
  f->func = func;
  f->base = L->base = func + 1;
  f->top = L->top + NATIVE_MIN_SLOTS;
  f->wanted_results = wanted_results;
  f->tail_calls = 0;
}

// Whether a script function's frame can be pushed here without prepare_call's general cases:
// a free frame and stack for its registers above the top (call_room also turns vararg
// functions away). The call hook is the caller's to check.
inline bool script_call_fits(const VmState* L, const Prototype* p) {
  assert(p->call_room == (p->vararg_flags ? UINT32_MAX : (p->max_stack_size + p->numparams) * sizeof(Value)));
  auto room = static_cast<size_t>(reinterpret_cast<const char*>(L->stack_last) - reinterpret_cast<const char*>(L->top));
  return room > p->call_room && L->frame != L->frames_end;
}

// The part of finish_call after the hooks, inline for the interpreter's return: pops the frame,
// moves the results (first up to the top) to the function's slot, padded with nulls to the
// wanted count, and reports whether that count was fixed.
inline bool pop_frame_with_results(VmState* L, Value* first) {
  CallFrame* f = L->frame--;
  Value* result = f->func;
  int wanted = f->wanted_results;
  L->base = L->frame->base;
  L->saved_pc = L->frame->saved_pc;
  int n = wanted;
  for (; n != 0 && first < L->top; --n) *result++ = *first++;
  while (n-- > 0) set_null(result++);
  L->top = result;
  return wanted != -1;
}

// A native-level call (the native interface's call): errors propagate. wanted -1 = all results.
void call_value(VmState* L, Value* func, int wanted_results);
void call(VmState* L, int nargs, int nresults);

// A protected call; returns the status. handler is a stack offset (save_stack) of the error
// handler, or 0 for none. On error the error value replaces the function and its arguments.
int protected_call(VmState* L, Value* func, int wanted_results, ptrdiff_t handler);
int pcall(VmState* L, int nargs, int nresults, int handler_index);
// Runs a native body in protected mode; on error the stack is cut back to where it was and the
// error value pushed. Returns the status.
int protected_run(VmState* L, void (*body)(VmState* L, void* ud), void* ud);

// What a protected region puts back when an error ends it: the stack top it started with (where
// the error value goes), its frame, the native call depth and whether hooks may run.
// Both positions are byte offsets, so that a stack or frame array moved by the body is found again.
struct RegionStart {
  ptrdiff_t top;
  ptrdiff_t frame;
  uint16_t native_depth;
  uint8_t hook_allowed;
};
inline RegionStart region_start(VmState* L) {
  return {save_stack(L, L->top), reinterpret_cast<char*>(L->frame) - reinterpret_cast<char*>(L->frames),
          L->native_depth, L->hook_allowed};
}
// Restores the state a region started with after an error of the given status ended it.
void restore_region(VmState* L, int status, const RegionStart& start);

// The protected region of protected_run with the body inline, for callers on a hot path (a call
// from native code into a script): body() runs with the handler at the given stack offset (0 for
// none) installed; an error in it cuts the stack back to where it was and pushes the error value.
// Returns the status.
template <class Body>
inline int run_region(VmState* L, ptrdiff_t handler, Body&& body) {
  RegionStart start = region_start(L);
  ptrdiff_t previous_handler = L->error_handler;
  L->error_handler = handler;
  RecoveryPoint point{L->recovery, STATUS_OK};
  L->recovery = &point;
  try {
    body();
  } catch (const ErrorUnwind& e) {
    point.status = e.status;
  } catch (const std::bad_alloc&) {
    point.status = STATUS_MEMORY;
  }
  L->recovery = point.previous;
  if (point.status != STATUS_OK) [[unlikely]]
    restore_region(L, point.status, start);
  L->error_handler = previous_handler;
  return point.status;
}

// Pushes the frame of a call of the script function at func, with its arguments up to the top,
// when nothing needs prepare_call's general cases: no call hook, fixed parameters, and room for
// the frame and its registers. The caller then runs the interpreter on it, as after
// prepare_call. False (and nothing changed) otherwise.
inline bool enter_plain_script_call(VmState* L, Value* func, int wanted_results) {
  if (func->tag != TAG_FUNCTION || (L->hook_mask & HOOK_MASK_CALL)) return false;
  ClosureObject* c = func->closure();
  if (!c->is_script) return false;
  Prototype* p = c->proto;
  if (!script_call_fits(L, p)) return false;
  L->frame->saved_pc = L->saved_pc;
  Value* base = func + 1;
  if (L->top > base + p->numparams) L->top = base + p->numparams;
  enter_script_frame(L, ++L->frame, func, base, p, wanted_results);
  return true;
}

// Runs the hook for an event when hooks are set and allowed.
void run_hook(VmState* L, int event, int line);

CallFrame* push_frame(VmState* L);

// Fibers.
// Starts or continues a fiber with the nargs values on top of its stack; returns its status.
// A refused resume (dead or running fiber, resumes nested too deeply) replaces those values with
// the message and leaves the rest of the fiber's stack alone.
int resume(VmState* co, int nargs);
int yield(VmState* L, int nresults);

}  // namespace quevro
