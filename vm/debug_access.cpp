#include "vm/debug_access.h"

#include "vm/api.h"
#include "vm/collector.h"
#include "vm/debug_info.h"
#include "vm/error.h"
#include "vm/metamethods.h"

namespace quevro {

namespace {

bool is_script_closure(const Value* v) { return v->tag == TAG_FUNCTION && v->closure()->is_script; }

// Levels a frame occupies: itself, then one per tail call it absorbed (only script frames absorb).
int levels_of(const CallFrame* f) { return is_script_closure(f->func) ? 1 + f->tail_calls : 1; }

// The first slot above what a frame may use: the frame above it starts at its function's slot;
// the running frame ends at the fiber's top. Nothing at or above the top counts: the collector
// does not mark those slots, so they may refer to freed objects.
Value* frame_limit(VmState* F, int index) {
  Value* limit = index == F->frame_index() ? F->top : F->frames[index + 1].func;
  return limit < F->top ? limit : F->top;
}

std::string text_of(const StringObject* s) { return s ? std::string(s->data(), s->length) : std::string(); }

void describe_closure(const Value* fn, FunctionReport* r) {
  if (fn->tag != TAG_FUNCTION) return;
  ClosureObject* c = fn->closure();
  r->upvalue_count = c->nupvalues;
  if (!c->is_script) {
    r->source = "=[kernel]";
    r->short_source = "[kernel]";
    return;
  }
  const Prototype* p = c->proto;
  // A chunk without a source of its own stands for the placeholder the loader gives it.
  r->source = p->source ? text_of(p->source) : std::string("=?");
  r->short_source = source_display_name(p->source);
  r->line_defined = p->line_defined;
  r->last_line_defined = p->last_line_defined;
  r->kind = p->line_defined == 0 ? "main" : "function";
}

// The stack slot of local n of a level, with its name; null when there is none.
Value* local_slot(VmState* F, const StackLevel& level, int n, std::string* name) {
  if (level.tail_call || n < 1 || level.frame < 1 || level.frame > F->frame_index()) return nullptr;
  CallFrame* f = F->frames + level.frame;
  ptrdiff_t index = n - 1;
  const StringObject* local = nullptr;
  if (is_script_closure(f->func)) local = local_name(f->func->closure()->proto, n, current_pc(F, f));
  if (local != nullptr) {
    *name = text_of(local);
    // A '$' name stands for the value kept in the slot after the variable's own.
    if (!name->empty() && (*name)[0] == '$') {
      name->erase(0, 1);
      ++index;
    }
  } else {
    *name = "(temporary)";
  }
  if (index >= frame_limit(F, level.frame) - f->base) return nullptr;
  return f->base + index;
}

}  // namespace

bool find_level(VmState* F, int level, StackLevel* out) {
  if (level < 0) return false;
  // Frame 0 is the fiber's base, which runs no function.
  for (int i = F->frame_index(); i >= 1; --i) {
    int span = levels_of(F->frames + i);
    if (level < span) {
      out->frame = i;
      out->tail_call = level > 0;
      return true;
    }
    level -= span;
  }
  return false;
}

int deepest_level(VmState* F) {
  int levels = 0;
  for (int i = F->frame_index(); i >= 1; --i) levels += levels_of(F->frames + i);
  return levels - 1;
}

FunctionReport describe_level(VmState* F, const StackLevel& level) {
  FunctionReport r;
  if (level.tail_call) {
    r.source = "=(tail call)";
    r.short_source = "(tail call)";
    r.kind = "tail";
    return r;
  }
  CallFrame* f = F->frames + level.frame;
  describe_closure(f->func, &r);
  r.current_line = current_line(F, f);
  VariableDescription called = called_description(F, f);
  if (called.kind != nullptr) {
    r.name = called.name;
    r.name_kind = called.kind;
  }
  return r;
}

FunctionReport describe_function(VmState* L, int idx) {
  FunctionReport r;
  describe_closure(stack_address(L, idx), &r);
  return r;
}

void push_level_function(VmState* L, VmState* F, const StackLevel& level) {
  push(L, level.tail_call ? make_null() : *F->frames[level.frame].func);
}

bool is_script_function(VmState* L, int idx) { return is_script_closure(stack_address(L, idx)); }

void push_active_lines(VmState* L, int idx) {
  Value* fn = stack_address(L, idx);
  if (!is_script_closure(fn)) {
    push_null(L);
    return;
  }
  const Prototype* p = fn->closure()->proto;
  new_table(L, 0, 0);
  TableObject* lines = L->top[-1].table();
  for (int i = 0; i < p->size_line_info; ++i) *table_set_int(L, lines, p->line_info[i]) = make_boolean(1);
}

bool push_local(VmState* L, VmState* F, const StackLevel& level, int n, std::string* name) {
  Value* slot = local_slot(F, level, n, name);
  if (slot == nullptr) return false;
  push(L, *slot);
  return true;
}

bool set_local(VmState* L, VmState* F, const StackLevel& level, int n, std::string* name) {
  Value v = L->top[-1];
  L->top--;
  Value* slot = local_slot(F, level, n, name);
  if (slot == nullptr) return false;
  *slot = v;
  barrier_forward(L, F, v);
  return true;
}

namespace {

// The closure at idx when upvalue n exists in it, else null.
ClosureObject* closure_with_upvalue(VmState* L, int idx, int n) {
  Value* fn = stack_address(L, idx);
  if (fn->tag != TAG_FUNCTION) return nullptr;
  ClosureObject* c = fn->closure();
  if (n < 1 || n > c->nupvalues) return nullptr;
  if (c->is_script && c->script_upvalues()[n - 1] == nullptr) return nullptr;
  return c;
}

std::string upvalue_name(ClosureObject* c, int n) {
  if (!c->is_script) return {};
  const Prototype* p = c->proto;
  return n <= p->size_upvalue_names ? text_of(p->upvalue_names[n - 1]) : std::string();
}

}  // namespace

bool push_upvalue(VmState* L, int idx, int n, std::string* name) {
  ClosureObject* c = closure_with_upvalue(L, idx, n);
  if (c == nullptr) return false;
  *name = upvalue_name(c, n);
  push(L, c->is_script ? *c->script_upvalues()[n - 1]->v : c->native_upvalues()[n - 1]);
  return true;
}

bool set_upvalue(VmState* L, int idx, int n, std::string* name) {
  Value v = L->top[-1];
  ClosureObject* c = closure_with_upvalue(L, idx, n);
  L->top--;
  if (c == nullptr) return false;
  *name = upvalue_name(c, n);
  if (c->is_script) {
    UpvalueObject* uv = c->script_upvalues()[n - 1];
    *uv->v = v;
    barrier_forward(L, uv, v);
  } else {
    c->native_upvalues()[n - 1] = v;
    barrier_forward(L, c, v);
  }
  return true;
}

bool loosely_equal(VmState* L, int i, int j) {
  Value* a = stack_address(L, i);
  Value* b = stack_address(L, j);
  if (is_absent(a) || is_absent(b)) return false;
  // Copies: an `_eq` handler may move the stack.
  Value x = *a;
  Value y = *b;
  return loose_equal(L, &x, &y);
}

VmState* to_fiber(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  return v->tag == TAG_FIBER ? v->fiber() : nullptr;
}

void push_fiber(VmState* L, VmState* F) { push(L, make_object(F)); }

HookFn hook_routine(VmState* F) { return F->hook; }
void set_hook_routine(VmState* F, HookFn routine) { F->hook = routine; }
uint8_t hook_mask(VmState* F) { return F->hook_mask; }
void set_hook_mask(VmState* F, uint8_t mask) { F->hook_mask = mask; }

}  // namespace quevro
