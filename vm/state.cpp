#include "vm/state.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "vm/reserved_words.h"
#include "vm/cdata.h"
#include "vm/collector.h"
#include "vm/error.h"
#include "vm/memory.h"
#include "vm/small_alloc.h"
#include "vm/table.h"

namespace quevro {

namespace {

// The main fiber and the shared state live in one block.
struct MainBlock {
  VmState fiber;
  SharedState shared;
};

constexpr uint8_t MARK_MAIN_FIBER = 0x40;

void init_fiber_fields(VmState* L, SharedState* g) {
  L->status = STATUS_OK;
  L->shared = g;
  L->stack = nullptr;
  L->stack_size = 0;
  L->frames = nullptr;
  L->frames_size = 0;
  L->frame = nullptr;
  L->top = L->base = nullptr;
  L->saved_pc = nullptr;
  L->native_depth = 0;
  L->hook_mask = 0;
  L->hook_allowed = 1;
  L->hook_count = L->hook_count_base = 0;
  L->hook = nullptr;
  L->globals = make_null();
  L->env_scratch = make_null();
  L->open_upvalues = nullptr;
  L->recovery = nullptr;
  L->error_handler = 0;
  L->host_data = nullptr;
  L->root_directory = make_null();
}

// A new stack of 45 slots (5 of them reserve) and 8 frames, with the base frame in place.
void init_stack(VmState* L, VmState* owner) {
  constexpr int size = STACK_INITIAL + STACK_RESERVE;
  L->frames = static_cast<CallFrame*>(mem_realloc(owner, nullptr, 0, sizeof(CallFrame) * FRAMES_INITIAL));
  L->frames_size = FRAMES_INITIAL;
  L->frames_end = L->frames + FRAMES_INITIAL - 1;
  L->frame = L->frames;
  L->stack = static_cast<Value*>(mem_realloc(owner, nullptr, 0, sizeof(Value) * size));
  L->stack_size = size;
  for (int i = 0; i < size; ++i) L->stack[i] = make_null();
  L->stack_last = L->stack + STACK_INITIAL - 1;
  // Slot 0 stands for the function of the base frame.
  L->top = L->stack + 1;
  L->base = L->top;
  CallFrame* f = L->frame;
  f->func = L->stack;
  f->base = L->base;
  f->top = L->base + NATIVE_MIN_SLOTS;
  f->saved_pc = nullptr;
  f->wanted_results = 0;
  f->tail_calls = 0;
}

void free_stack(SharedState* g, VmState* L) {
  mem_free(g, L->frames, sizeof(CallFrame) * static_cast<size_t>(L->frames_size));
  mem_free(g, L->stack, sizeof(Value) * static_cast<size_t>(L->stack_size));
  L->frames = nullptr;
  L->stack = nullptr;
}

void init_main_state(VmState* L, void*) {
  SharedState* g = G(L);
  init_stack(L, L);
  g->strings.buckets = nullptr;
  g->strings.size = 0;
  resize_string_table(L, STRING_TABLE_INITIAL_SIZE);
  L->globals = make_object(table_create(L, 0, 20));
  g->registry = make_object(table_create(L, 0, 2));
  for (int e = 0; e < EVENT_COUNT; ++e) {
    g->event_names[e] = intern_string(L, EVENT_NAMES[e]);
    g->event_names[e]->marked |= MARK_FIXED;
  }
  g->memory_error_message = intern_string(L, "not enough memory");
  g->memory_error_message->marked |= MARK_FIXED;
  g->handler_error_message = intern_string(L, "error in error handling");
  g->handler_error_message->marked |= MARK_FIXED;
  g->empty_string = intern_string(L, "", 0);
  g->empty_string->marked |= MARK_FIXED;
  register_reserved_words(L);
  g->threshold = g->gc_stress ? 0 : 4 * g->total_bytes;
}

}  // namespace

VmState* open_state(AllocFn alloc, void* ud) {
  SmallBlockPool* pool = nullptr;
  if (alloc == nullptr) {
#ifdef QUEVRO_SANITIZE
    alloc = default_alloc;  // plain blocks, so the address sanitizer sees every misuse
#else
    pool = new_small_block_pool();
    if (pool == nullptr) return nullptr;
    alloc = pool_alloc;
    ud = pool;
#endif
  }
  void* block = alloc(ud, nullptr, 0, sizeof(MainBlock));
  if (block == nullptr) {
    delete_small_block_pool(pool);
    return nullptr;
  }
  auto* main = static_cast<MainBlock*>(block);
  std::memset(static_cast<void*>(main), 0, sizeof(MainBlock));
  VmState* L = &main->fiber;
  SharedState* g = &main->shared;
  init_fiber_fields(L, g);
  L->next = nullptr;
  L->tag = TAG_FIBER;
  L->marked = MARK_WHITE0 | MARK_FIXED | MARK_MAIN_FIBER;
  g->alloc = alloc;
  g->alloc_ud = ud;
  g->owned_pool = pool;
  g->current_white = MARK_WHITE0 | MARK_FIXED;
  g->gc_phase = 0;
  for (GcObject*& head : g->all_objects) head = nullptr;
  g->next_lane = 0;
  g->gray = g->gray_again = g->weak = GrayStack{nullptr, 0, 0};
  g->gray_lost = g->weak_lost = g->marking_atomic = false;
  g->total_bytes = sizeof(MainBlock);
  g->pause = 200;
  g->step_multiplier = 200;
  g->registry = make_null();
  g->open_upvalue_head.open.prev = &g->open_upvalue_head;
  g->open_upvalue_head.open.next = &g->open_upvalue_head;
  g->main_fiber = L;
  const char* stress = std::getenv("QUEVRO_GC_STRESS");
  // QUEVRO_GC_STRESS=1: a collection step at every check; 2 also keeps the collector's stacks
  // tiny, so that marking keeps losing entries and recovering them.
  g->gc_stress = stress != nullptr && (stress[0] == '1' || stress[0] == '2');
  g->gray_stack_limit = stress != nullptr && stress[0] == '2' ? 2 : 0;
  if (run_protected(L, init_main_state, nullptr) != STATUS_OK) {
    close_state(L);
    return nullptr;
  }
  return L;
}

void close_state(VmState* L) {
  SharedState* g = G(L);
  L = g->main_fiber;
  if (L->stack) {
    close_upvalues(L, L->stack);
    L->frame = L->frames;
    L->base = L->top = L->stack + 1;
    L->native_depth = 0;
    run_all_finalizers(L);
  }
  auto free_list = [g](GcObject** list) {
    GcObject* o = *list;
    while (o) {
      GcObject* next = o->next;
      free_collectable(g, o);
      o = next;
    }
    *list = nullptr;
  };
  for (GcObject*& head : g->all_objects) free_list(&head);
  free_list(&g->all_cdata);
  free_list(&g->pending_finalizers);
  release_gray_stacks(g);
  free_string_table(g);
  mem_free(g, g->scratch.data, g->scratch.size);
  free_stack(g, L);
  AllocFn alloc = g->alloc;
  void* ud = g->alloc_ud;
  SmallBlockPool* pool = g->owned_pool;
  alloc(ud, reinterpret_cast<MainBlock*>(L), sizeof(MainBlock), 0);
  delete_small_block_pool(pool);
}

VmState* new_fiber(VmState* L) {
  SharedState* g = G(L);
  auto* f = mem_new_object<VmState>(L, sizeof(VmState));
  init_fiber_fields(f, g);
  f->globals = L->globals;
  f->hook_mask = L->hook_mask;
  f->hook_count_base = L->hook_count_base;
  f->hook_count = f->hook_count_base;
  f->hook = L->hook;
  f->root_directory = L->root_directory;
  link_object(g, f, TAG_FIBER);
  init_stack(f, L);
  return f;
}

void free_fiber(SharedState* g, VmState* f) {
  // Open upvalues of a dying fiber still point into its stack; close them first.
  while (UpvalueObject* uv = f->open_upvalues) {
    f->open_upvalues = reinterpret_cast<UpvalueObject*>(uv->next);
    uv->open.prev->open.next = uv->open.next;
    uv->open.next->open.prev = uv->open.prev;
    mem_free(g, uv, sizeof(UpvalueObject));
  }
  free_stack(g, f);
  mem_free(g, f, sizeof(VmState));
}

void realloc_stack(VmState* L, int new_size) {
  int real_size = new_size + 1 + STACK_RESERVE;
  if (static_cast<uint32_t>(real_size) + 1 > STACK_VECTOR_LIMIT || new_size < 0) block_too_big(L);
  Value* old = L->stack;
  int old_size = L->stack_size;
  Value* fresh = static_cast<Value*>(mem_realloc(L, old, sizeof(Value) * static_cast<size_t>(old_size),
                                                 sizeof(Value) * static_cast<size_t>(real_size)));
  for (int i = old_size; i < real_size; ++i) fresh[i] = make_null();
  L->stack = fresh;
  L->stack_size = real_size;
  L->stack_last = fresh + real_size - 1 - STACK_RESERVE;
  // Rebase every pointer into the stack.
  auto rebase = [&](Value* p) { return fresh + (p - old); };
  L->top = rebase(L->top);
  L->base = rebase(L->base);
  for (CallFrame* f = L->frames; f <= L->frame; ++f) {
    f->base = rebase(f->base);
    f->func = rebase(f->func);
    f->top = rebase(f->top);
  }
  for (UpvalueObject* uv = L->open_upvalues; uv; uv = reinterpret_cast<UpvalueObject*>(uv->next))
    uv->v = rebase(uv->v);
}

void grow_stack(VmState* L, int n) {
  if (n <= L->stack_size)
    realloc_stack(L, 2 * L->stack_size);
  else
    realloc_stack(L, L->stack_size + n);
}

void realloc_frames(VmState* L, int new_size) {
  CallFrame* old = L->frames;
  L->frames = mem_realloc_vector(L, old, static_cast<size_t>(L->frames_size), static_cast<size_t>(new_size),
                                 FRAME_VECTOR_LIMIT);
  L->frame = L->frames + (L->frame - old);
  L->frames_size = new_size;
  L->frames_end = L->frames + new_size - 1;
}

}  // namespace quevro
