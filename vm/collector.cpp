#include "vm/collector.h"

#include <cstring>
#include <utility>

#include "vm/api.h"
#include "vm/calls.h"
#include "vm/cdata.h"
#include "vm/memory.h"
#include "vm/metamethods.h"
#include "vm/table.h"

namespace quevro {

namespace {

constexpr size_t THRESHOLD_STOPPED = 0xFFFFFFFD;
constexpr size_t STEP_SIZE = 1024;
constexpr int SWEEP_BATCH = 40;
constexpr int SWEEP_COST = 10;
constexpr int FINALIZER_COST = 100;
constexpr uint32_t STRING_TABLE_MIN_SHRINK = 64;
constexpr size_t SCRATCH_MIN_SHRINK = 64;
constexpr uint32_t GRAY_STACK_KEEP = 4096;  // entries a stack keeps between cycles

uint8_t other_white(const SharedState* g) { return static_cast<uint8_t>(g->current_white ^ MARK_WHITES); }
void white_to_gray(GcObject* o) { o->marked &= static_cast<uint8_t>(~MARK_WHITES); }
void gray_to_black(GcObject* o) { o->marked |= MARK_BLACK; }
void black_to_gray(GcObject* o) { o->marked &= static_cast<uint8_t>(~MARK_BLACK); }
void make_white(const SharedState* g, GcObject* o) {
  o->marked = static_cast<uint8_t>((o->marked & ~(MARK_BLACK | MARK_WHITES)) | current_white(g));
}
bool is_gray(const GcObject* o) { return !is_black(o) && !is_white(o); }

// Objects with references inside them: they wait on the gray stack to be traversed.
bool has_children(const GcObject* o) {
  return o->tag == TAG_TABLE || o->tag == TAG_FUNCTION || o->tag == TAG_FIBER || o->tag == TAG_PROTO;
}

bool grow_gray_stack(SharedState* g, GrayStack& s) {
  uint32_t limit = g->gray_stack_limit ? g->gray_stack_limit : 0x10000000;
  if (s.capacity >= limit) return false;
  uint32_t n = s.capacity ? 2 * s.capacity : 256;
  if (n > limit) n = limit;
  // The state's allocator, but outside the total: the stack is not a script object.
  void* items = g->alloc(g->alloc_ud, s.items, sizeof(GcObject*) * s.capacity, sizeof(GcObject*) * n);
  if (items == nullptr) return false;
  s.items = static_cast<GcObject**>(items);
  s.capacity = n;
  return true;
}

// Returns false when the stack could not take the object (no memory, or the limit).
bool push_object(SharedState* g, GrayStack& s, GcObject* o) {
  if (s.count == s.capacity && !grow_gray_stack(g, s)) return false;
  s.items[s.count++] = o;
  return true;
}

// An object that misses its place on the gray or gray-again stack stays gray; the atomic step
// finds it by walking the object lists.
void push_gray(SharedState* g, GrayStack& s, GcObject* o) {
  if (!push_object(g, s, o)) g->gray_lost = true;
}

void push_weak(SharedState* g, GcObject* o) {
  if (!push_object(g, g->weak, o)) g->weak_lost = true;
}

void release_gray_stack(SharedState* g, GrayStack& s) {
  if (s.items) g->alloc(g->alloc_ud, s.items, sizeof(GcObject*) * s.capacity, 0);
  s = GrayStack{nullptr, 0, 0};
}

// Moves every entry of `from` onto the empty stack `to`.
void take_all(GrayStack& to, GrayStack& from) {
  std::swap(to, from);
  from.count = 0;
}

void mark_object(SharedState* g, GcObject* o);

void mark_value(SharedState* g, const Value& v) {
  if (v.is_collectable() && v.tag <= TAG_UPVAL && is_white(v.u.gc)) mark_object(g, v.u.gc);
}

void mark_if(SharedState* g, GcObject* o) {
  if (o && is_white(o)) mark_object(g, o);
}

void mark_object(SharedState* g, GcObject* o) {
  white_to_gray(o);
  switch (o->tag) {
    case TAG_STRING: gray_to_black(o); return;
    case TAG_CDATA: {
      auto* u = static_cast<CdataObject*>(o);
      gray_to_black(o);
      mark_if(g, u->metatable);
      mark_if(g, u->env);
      return;
    }
    case TAG_UPVAL: {
      auto* uv = static_cast<UpvalueObject*>(o);
      mark_value(g, *uv->v);
      if (!uv->is_open()) gray_to_black(o);  // open ones stay gray: their slot may change
      return;
    }
    case TAG_TABLE:
    case TAG_FUNCTION:
    case TAG_FIBER:
    case TAG_PROTO: push_gray(g, g->gray, o); return;
    default: return;
  }
}

// The metatable's `_weak` mode: a string with 'k' and/or 'v'.
void weak_mode(VmState* L, TableObject* t, bool* keys, bool* values) {
  *keys = *values = false;
  if (!t->metatable) return;
  const Value* mode = metatable_handler(L, t->metatable, EVENT_WEAK);
  if (mode->tag != TAG_STRING) return;
  const StringObject* s = mode->string();
  *keys = std::memchr(s->data(), 'k', s->length) != nullptr;
  *values = std::memchr(s->data(), 'v', s->length) != nullptr;
}

size_t traverse_table(VmState* L, TableObject* t) {
  SharedState* g = G(L);
  auto* o = reinterpret_cast<GcObject*>(t);
  gray_to_black(o);
  mark_if(g, t->metatable);
  bool weak_keys, weak_values;
  weak_mode(L, t, &weak_keys, &weak_values);
  if (weak_keys || weak_values) {
    o->marked &= static_cast<uint8_t>(~(MARK_WEAK_KEYS | MARK_WEAK_VALUES));
    o->marked |= static_cast<uint8_t>((weak_keys ? MARK_WEAK_KEYS : 0) | (weak_values ? MARK_WEAK_VALUES : 0));
    push_weak(g, o);
  }
  if (!weak_values) {
    // Fetch the children's headers before marking them, so their misses overlap.
    for (int32_t i = t->array_size; i-- > 0;)
      if (t->array[i].is_collectable()) __builtin_prefetch(t->array[i].u.gc, 1);
    for (int32_t i = t->array_size; i-- > 0;) mark_value(g, t->array[i]);
  }
  if (has_hash_part(t)) {
    for (uint32_t i = t->node_count(); i-- > 0;) {
      HashNode& n = t->nodes[i];
      if (n.val.is_null()) {
        if (n.key_tag() >= TAG_STRING && n.key_tag() <= TAG_UPVAL) n.set_key_tag(TAG_DEADKEY);
        continue;
      }
      if (!weak_keys) mark_value(g, n.key_value());
      if (!weak_values) mark_value(g, n.val);
    }
  }
  if (weak_keys || weak_values) black_to_gray(o);  // weak tables stay gray until cleared
  return table_memory(t);
}

size_t traverse_closure(SharedState* g, ClosureObject* c) {
  gray_to_black(c);
  mark_if(g, c->env);
  if (c->is_script) {
    mark_if(g, c->proto);
    for (int i = 0; i < c->nupvalues; ++i) mark_if(g, c->script_upvalues()[i]);
  } else {
    for (int i = 0; i < c->nupvalues; ++i) mark_value(g, c->native_upvalues()[i]);
  }
  return closure_size(c);
}

size_t traverse_prototype(SharedState* g, Prototype* p) {
  gray_to_black(p);
  mark_if(g, p->source);
  for (int i = 0; i < p->size_constants; ++i) mark_value(g, p->constants[i]);
  for (int i = 0; i < p->size_upvalue_names; ++i) mark_if(g, p->upvalue_names[i]);
  for (int i = 0; i < p->size_protos; ++i) mark_if(g, p->protos[i]);
  for (int i = 0; i < p->size_locals; ++i) mark_if(g, p->locals[i].name);
  return sizeof(Prototype) + sizeof(Instruction) * static_cast<size_t>(p->size_code) +
         sizeof(Value) * static_cast<size_t>(p->size_constants) + sizeof(Prototype*) * static_cast<size_t>(p->size_protos);
}

// Shrinks a fiber's frames and stack after deep recursion has passed.
void shrink_fiber(VmState* f, Value* highest) {
  if (f->frames_size > FRAMES_LIMIT) return;  // handling an overflow: leave it alone
  int frames_used = static_cast<int>(f->frame - f->frames);
  if (4 * frames_used < f->frames_size && 2 * FRAMES_INITIAL < f->frames_size) realloc_frames(f, f->frames_size / 2);
  int stack_used = static_cast<int>(highest - f->stack);
  if (4 * stack_used < f->stack_size && 2 * (STACK_INITIAL + STACK_RESERVE) < f->stack_size)
    realloc_stack(f, f->stack_size / 2);
}

size_t traverse_fiber(SharedState* g, VmState* f) {
  auto* o = reinterpret_cast<GcObject*>(f);
  if (!g->marking_atomic) push_gray(g, g->gray_again, o);  // rescanned in the atomic step
  black_to_gray(o);
  mark_value(g, f->globals);
  mark_value(g, f->root_directory);
  Value* highest = f->top;
  for (CallFrame* c = f->frames; c <= f->frame; ++c)
    if (highest < c->top) highest = c->top;
  for (Value* v = f->stack; v < f->top; ++v) mark_value(g, *v);
  for (Value* v = f->top; v <= highest && v < f->stack_end(); ++v) set_null(v);
  // Only a fiber that is not running is shrunk: a running one may have native code up the call
  // chain holding addresses into its stack across the allocation that started this step.
  bool running = f == g->main_fiber || (f->status == STATUS_OK && f->frame != f->frames);
  if (g->gc_phase == PHASE_PROPAGATE && !running) shrink_fiber(f, highest);
  return sizeof(VmState) + sizeof(Value) * static_cast<size_t>(f->stack_size) +
         sizeof(CallFrame) * static_cast<size_t>(f->frames_size);
}

size_t traverse(VmState* L, GcObject* o) {
  SharedState* g = G(L);
  switch (o->tag) {
    case TAG_TABLE: return traverse_table(L, static_cast<TableObject*>(o));
    case TAG_FUNCTION: return traverse_closure(g, static_cast<ClosureObject*>(o));
    case TAG_FIBER: return traverse_fiber(g, static_cast<VmState*>(o));
    case TAG_PROTO: return traverse_prototype(g, static_cast<Prototype*>(o));
    default: return 0;
  }
}

size_t propagate_one(VmState* L) {
  SharedState* g = G(L);
  return traverse(L, g->gray.items[--g->gray.count]);
}

size_t propagate_all(VmState* L) {
  size_t work = 0;
  while (G(L)->gray.count) work += propagate_one(L);
  return work;
}

// Traverses every gray object of the heap; run when some missed their place on a stack.
size_t traverse_gray_objects(VmState* L) {
  SharedState* g = G(L);
  size_t work = 0;
  if (is_gray(g->main_fiber)) work += traverse(L, g->main_fiber);
  for (GcObject* head : g->all_objects)
    for (GcObject* o = head; o; o = o->next)
      if (has_children(o) && is_gray(o)) work += traverse(L, o);
  return work;
}

// Propagates until nothing reachable is left white, recovering lost stack entries.
size_t propagate_everything(VmState* L) {
  SharedState* g = G(L);
  size_t work = propagate_all(L);
  while (g->gray_lost) {
    // Every pass turns the objects it finds black (or leaves weak tables and fibers gray, with
    // their children marked); an entry is lost only when an object first turns gray, so the
    // passes end.
    g->gray_lost = false;
    work += traverse_gray_objects(L);
    work += propagate_all(L);
  }
  return work;
}

void mark_type_metatables(SharedState* g) {
  for (TableObject* mt : g->type_metatables) mark_if(g, mt);
}

void mark_roots(VmState* L) {
  SharedState* g = G(L);
  g->gray.count = g->gray_again.count = g->weak.count = 0;
  g->gray_lost = g->weak_lost = false;
  // The main fiber is on no list the sweep repaints, so it is repainted here.
  make_white(g, g->main_fiber);
  mark_object(g, g->main_fiber);
  mark_value(g, g->main_fiber->globals);
  mark_value(g, g->registry);
  mark_type_metatables(g);
  g->gc_phase = PHASE_PROPAGATE;
}

void remark_open_upvalues(SharedState* g) {
  for (UpvalueObject* uv = g->open_upvalue_head.open.next; uv != &g->open_upvalue_head; uv = uv->open.next)
    if (is_gray(uv)) mark_value(g, *uv->v);
}

// Moves unreachable cdata whose metatable has `_gc` to the pending list; marks the others as
// handled. With all set, every cdata not yet handled counts. Returns the bytes moved.
size_t separate_finalizable(VmState* L, bool all) {
  SharedState* g = G(L);
  size_t moved = 0;
  GcObject** p = &g->all_cdata;
  while (GcObject* o = *p) {
    auto* u = static_cast<CdataObject*>(o);
    if (!(is_white(o) || all) || (o->marked & MARK_FINALIZED)) {
      p = &o->next;
      continue;
    }
    if (metatable_handler(L, u->metatable, EVENT_GC)->is_null()) {
      o->marked |= MARK_FINALIZED;
      p = &o->next;
      continue;
    }
    moved += cdata_alloc_size(u->size);
    o->marked |= MARK_FINALIZED;
    *p = o->next;
    o->next = nullptr;
    if (g->pending_finalizers == nullptr)
      g->pending_finalizers = o;
    else
      g->pending_tail->next = o;
    g->pending_tail = o;
  }
  return moved;
}

void mark_pending_finalizers(SharedState* g) {
  for (GcObject* o = g->pending_finalizers; o; o = o->next) {
    make_white(g, o);
    mark_object(g, o);
  }
}

// A weak entry is cleared when it refers to a dead object; strings are values, never cleared.
bool is_cleared(const Value& v, bool is_key) {
  if (!v.is_collectable() || v.tag > TAG_UPVAL) return false;
  if (v.tag == TAG_STRING) {
    white_to_gray(v.u.gc);
    gray_to_black(v.u.gc);
    return false;
  }
  return is_white(v.u.gc) || (v.tag == TAG_CDATA && !is_key && (v.u.gc->marked & MARK_FINALIZED));
}

void clear_weak_table(TableObject* t) {
  if (reinterpret_cast<GcObject*>(t)->marked & MARK_WEAK_VALUES)
    for (int32_t i = 0; i < t->array_size; ++i)
      if (is_cleared(t->array[i], false)) set_null(&t->array[i]);
  if (!has_hash_part(t)) return;
  for (uint32_t i = 0; i < t->node_count(); ++i) {
    HashNode& n = t->nodes[i];
    if (n.val.is_null()) continue;
    if (is_cleared(n.key_value(), true) || is_cleared(n.val, false)) {
      set_null(&n.val);
      if (n.key_tag() >= TAG_STRING && n.key_tag() <= TAG_UPVAL) n.set_key_tag(TAG_DEADKEY);
    }
  }
}

// After the atomic marking only weak tables are gray tables, so when some missed the weak stack
// they are found by their colour.
void clear_weak_tables(SharedState* g) {
  for (uint32_t i = 0; i < g->weak.count; ++i) clear_weak_table(static_cast<TableObject*>(g->weak.items[i]));
  if (!g->weak_lost) return;
  for (GcObject* head : g->all_objects)
    for (GcObject* o = head; o; o = o->next)
      if (o->tag == TAG_TABLE && is_gray(o) && (o->marked & (MARK_WEAK_KEYS | MARK_WEAK_VALUES)))
        clear_weak_table(static_cast<TableObject*>(o));
}

// Points the sweep at the start of the string table and of every object list.
void start_sweep(SharedState* g) {
  g->sweep_string_bucket = 0;
  for (int lane = 0; lane < SWEEP_LANES; ++lane) g->sweep_cursor[lane] = &g->all_objects[lane];
  g->sweeping_cdata = false;
  g->main_upvalues_swept = false;
}

void atomic(VmState* L) {
  SharedState* g = G(L);
  g->marking_atomic = true;
  remark_open_upvalues(g);
  propagate_all(L);
  // Weak tables are traversed again with everything else that may have changed.
  take_all(g->gray, g->weak);
  mark_if(g, L);
  mark_type_metatables(g);
  propagate_all(L);
  take_all(g->gray, g->gray_again);
  propagate_everything(L);
  size_t pending = separate_finalizable(L, false);
  mark_pending_finalizers(g);
  // What marking the pending cdata kept alive is not counted in the estimate either.
  pending += propagate_everything(L);
  clear_weak_tables(g);
  clear_name_cache(g);  // its strings may be about to go
  g->marking_atomic = false;
  g->current_white = other_white(g);
  start_sweep(g);
  g->gc_phase = PHASE_SWEEP_STRINGS;
  g->estimate = g->total_bytes > pending ? g->total_bytes - pending : 0;
}


// Frees the object *p if it is dead (unlinking it) or repaints it; returns the link to go on from.
inline GcObject** sweep_object(SharedState* g, GcObject** p, uint8_t dead_mask);

// Frees the dead objects of a list, repaints the survivors; stops after `count` objects.
GcObject** sweep_list(SharedState* g, GcObject** p, size_t count) {
  uint8_t dead_mask = other_white(g);
  while (*p && count-- > 0) p = sweep_object(g, p, dead_mask);
  return p;
}

inline GcObject** sweep_object(SharedState* g, GcObject** p, uint8_t dead_mask) {
  GcObject* o = *p;
  // Asking for the next object now overlaps its cache miss with the work on this one.
  __builtin_prefetch(o->next, 1);
  if (o->tag == TAG_FIBER) {
    auto* f = static_cast<VmState*>(o);
    sweep_list(g, reinterpret_cast<GcObject**>(&f->open_upvalues), SIZE_MAX);
  }
  if ((o->marked ^ MARK_WHITES) & dead_mask) {
    make_white(g, o);
    return &o->next;
  }
  *p = o->next;
  free_collectable(g, o);
  return p;
}

// Sweeps about `count` objects taken in turn from the object lists; true when all are done.
bool sweep_object_lists(SharedState* g, int count) {
  uint8_t dead_mask = other_white(g);
  bool busy = true;
  while (busy && count > 0) {
    busy = false;
    for (GcObject**& cursor : g->sweep_cursor) {
      if (cursor == nullptr) continue;
      if (*cursor == nullptr) {
        cursor = nullptr;
        continue;
      }
      busy = true;
      cursor = sweep_object(g, cursor, dead_mask);
      --count;
    }
  }
  for (GcObject** cursor : g->sweep_cursor)
    if (cursor != nullptr) return false;
  return true;
}

void shrink_buffers(VmState* L) {
  SharedState* g = G(L);
  // The stacks are idle until the next cycle; one that grew for a large heap is given back.
  for (GrayStack* s : {&g->gray, &g->gray_again, &g->weak})
    if (s->capacity > GRAY_STACK_KEEP) release_gray_stack(g, *s);
  if (g->strings.count < g->strings.size / 4 && g->strings.size > STRING_TABLE_MIN_SHRINK)
    resize_string_table(L, g->strings.size / 2);
  if (g->scratch.size > SCRATCH_MIN_SHRINK) {
    size_t n = g->scratch.size / 2;
    g->scratch.data = static_cast<char*>(mem_realloc(L, g->scratch.data, g->scratch.size, n));
    g->scratch.size = n;
  }
}

void call_finalizer(VmState* L) {
  SharedState* g = G(L);
  GcObject* o = g->pending_finalizers;
  g->pending_finalizers = o->next;
  if (g->pending_finalizers == nullptr) g->pending_tail = nullptr;
  // Back among the living, in the current white.
  o->next = g->all_cdata;
  g->all_cdata = o;
  make_white(g, o);
  auto* u = static_cast<CdataObject*>(o);
  const Value* h = metatable_handler(L, u->metatable, EVENT_GC);
  if (h->tag != TAG_FUNCTION) return;
  uint8_t hooks = L->hook_allowed;
  size_t threshold = g->threshold;
  L->hook_allowed = 0;
  g->threshold = 2 * g->total_bytes;  // no step inside the finaliser
  ensure_stack(L, 2);
  Value* f = L->top;
  f[0] = *h;
  f[1] = make_object(u);
  L->top += 2;
  call_value(L, f, 0);
  L->hook_allowed = hooks;
  g->threshold = threshold;
}

// Sweeps string buckets, one step of SWEEP_COST each, until the budget is spent or the last
// bucket is swept; returns the cost. The estimate drops by what was freed.
size_t sweep_string_buckets(SharedState* g, long long budget) {
  size_t before = g->total_bytes;
  size_t cost = 0;
  do {
    sweep_list(g, reinterpret_cast<GcObject**>(&g->strings.buckets[g->sweep_string_bucket++]), SIZE_MAX);
    cost += SWEEP_COST;
    if (g->sweep_string_bucket >= g->strings.size) {
      g->gc_phase = PHASE_SWEEP;
      break;
    }
  } while (static_cast<long long>(cost) < budget);
  size_t freed = before - g->total_bytes;
  g->estimate = g->estimate > freed ? g->estimate - freed : 0;
  return cost;
}

size_t single_step(VmState* L) {
  SharedState* g = G(L);
  switch (g->gc_phase) {
    case PHASE_PAUSE: mark_roots(L); return 0;
    case PHASE_PROPAGATE:
      if (g->gray.count) return propagate_one(L);
      atomic(L);
      return 0;
    case PHASE_SWEEP_STRINGS: return sweep_string_buckets(g, 1);
    case PHASE_SWEEP: {
      size_t before = g->total_bytes;
      if (!g->main_upvalues_swept) {
        sweep_list(g, reinterpret_cast<GcObject**>(&g->main_fiber->open_upvalues), SIZE_MAX);
        g->main_upvalues_swept = true;
      }
      if (!g->sweeping_cdata) {
        if (sweep_object_lists(g, SWEEP_BATCH)) {
          g->sweeping_cdata = true;
          g->cdata_sweep_cursor = &g->all_cdata;
        }
      } else {
        g->cdata_sweep_cursor = sweep_list(g, g->cdata_sweep_cursor, SWEEP_BATCH);
        if (*g->cdata_sweep_cursor == nullptr) {
          shrink_buffers(L);
          g->gc_phase = PHASE_FINALIZE;
        }
      }
      size_t freed = before - g->total_bytes;
      g->estimate = g->estimate > freed ? g->estimate - freed : 0;
      return SWEEP_BATCH * SWEEP_COST;
    }
    case PHASE_FINALIZE:
      if (g->pending_finalizers) {
        call_finalizer(L);
        if (g->estimate > FINALIZER_COST) g->estimate -= FINALIZER_COST;
        return FINALIZER_COST;
      }
      g->gc_phase = PHASE_PAUSE;
      g->debt = 0;
      return 0;
    default: return 0;
  }
}

void set_threshold(SharedState* g) { g->threshold = (g->estimate / 100) * static_cast<size_t>(g->pause); }

}  // namespace

void free_collectable(SharedState* g, GcObject* o) {
  switch (o->tag) {
    case TAG_STRING: {
      auto* s = static_cast<StringObject*>(o);
      g->strings.count--;
      mem_free(g, s, string_alloc_size(s->length));
      break;
    }
    case TAG_TABLE: free_table(g, static_cast<TableObject*>(o)); break;
    case TAG_FUNCTION: free_closure(g, static_cast<ClosureObject*>(o)); break;
    case TAG_CDATA: free_cdata(g, static_cast<CdataObject*>(o)); break;
    case TAG_FIBER: free_fiber(g, static_cast<VmState*>(o)); break;
    case TAG_PROTO: free_prototype(g, static_cast<Prototype*>(o)); break;
    case TAG_UPVAL: free_upvalue(g, static_cast<UpvalueObject*>(o)); break;
    default: break;
  }
}

void collector_step(VmState* L) {
  SharedState* g = G(L);
  if (g->collector_blocked) return;
  long long limit = static_cast<long long>(STEP_SIZE / 100) * g->step_multiplier;
  if (limit == 0) limit = 0x7FFFFFFE;
  g->debt += g->total_bytes - g->threshold;
  do {
    // A string bucket is a step of its own; the buckets a step budget covers are swept in one go.
    if (g->gc_phase == PHASE_SWEEP_STRINGS)
      limit -= static_cast<long long>(sweep_string_buckets(g, limit));
    else
      limit -= static_cast<long long>(single_step(L));
    if (g->gc_phase == PHASE_PAUSE) break;
  } while (limit > 0);
  if (g->gc_phase != PHASE_PAUSE) {
    if (g->debt < STEP_SIZE) {
      g->threshold = g->total_bytes + STEP_SIZE;
    } else {
      g->debt -= STEP_SIZE;
      g->threshold = g->total_bytes;
    }
  } else {
    set_threshold(g);
  }
  if (g->gc_stress) g->threshold = 0;  // the next check steps again
}

void full_collect(VmState* L) {
  SharedState* g = G(L);
  if (g->collector_blocked) return;
  if (g->gc_phase <= PHASE_PROPAGATE) {
    // Abandon the marking in progress: sweep everything back to white first.
    start_sweep(g);
    g->gray.count = g->gray_again.count = g->weak.count = 0;
    g->gray_lost = g->weak_lost = false;
    g->gc_phase = PHASE_SWEEP_STRINGS;
  }
  while (g->gc_phase != PHASE_FINALIZE) single_step(L);
  mark_roots(L);
  while (g->gc_phase != PHASE_PAUSE) single_step(L);
  set_threshold(g);
  if (g->gc_stress) g->threshold = 0;
}

void link_closed_upvalue(VmState* L, UpvalueObject* uv) {
  SharedState* g = G(L);
  GcObject*& head = g->all_objects[g->next_lane++ % SWEEP_LANES];
  uv->next = head;
  head = uv;
  if (is_gray(uv)) {
    if (g->gc_phase == PHASE_PROPAGATE) {
      gray_to_black(uv);
      barrier_forward(L, uv, *uv->v);
    } else {
      make_white(g, uv);
    }
  }
}

void barrier_forward_slow(VmState* L, GcObject* holder, GcObject* o) {
  SharedState* g = G(L);
  if (g->gc_phase == PHASE_PROPAGATE)
    mark_object(g, o);
  else
    make_white(g, holder);
}

void barrier_back_slow(VmState* L, TableObject* t) {
  SharedState* g = G(L);
  auto* o = reinterpret_cast<GcObject*>(t);
  black_to_gray(o);
  push_gray(g, g->gray_again, o);
}

void release_gray_stacks(SharedState* g) {
  release_gray_stack(g, g->gray);
  release_gray_stack(g, g->gray_again);
  release_gray_stack(g, g->weak);
}

void run_all_finalizers(VmState* L) {
  SharedState* g = G(L);
  separate_finalizable(L, true);
  while (g->pending_finalizers) {
    struct Body {
      static void run(VmState* L, void*) { call_finalizer(L); }
    };
    protected_run(L, Body::run, nullptr);  // an error in one finaliser does not stop the others
  }
}

int gc_control(VmState* L, int option, int data) {
  SharedState* g = G(L);
  switch (option) {
    case GC_STOP: g->threshold = THRESHOLD_STOPPED; return 0;
    case GC_RESTART: g->threshold = g->total_bytes; return 0;
    case GC_COLLECT: full_collect(L); return 0;
    case GC_COUNT: return static_cast<int>(g->total_bytes >> 10);
    case GC_COUNT_BYTES: return static_cast<int>(g->total_bytes & 1023);
    case GC_STEP: {
      size_t a = static_cast<size_t>(data > 0 ? data : 0) << 10;
      g->threshold = a <= g->total_bytes ? g->total_bytes - a : 0;
      while (g->total_bytes >= g->threshold) {
        collector_step(L);
        if (g->gc_phase == PHASE_PAUSE) return 1;  // a cycle ended
      }
      return 0;
    }
    case GC_SETPAUSE: {
      int previous = g->pause;
      g->pause = data;
      return previous;
    }
    case GC_SETSTEPMUL: {
      int previous = g->step_multiplier;
      g->step_multiplier = data;
      return previous;
    }
    default: g->threshold = THRESHOLD_STOPPED; return 0;
  }
}

}  // namespace quevro
