// The per-fiber execution state and the state shared by all fibers of one virtual machine.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vm/closure.h"
#include "vm/memory.h"
#include "vm/metamethod_events.h"
#include "vm/prototype.h"
#include "vm/small_alloc.h"
#include "vm/string.h"
#include "vm/value.h"

namespace quevro {

struct CallFrame {
  Value* base;  // first register (script) or first argument slot (native)
  Value* func;  // the slot holding the called function
  Value* top;   // highest slot the call may use
  const Instruction* saved_pc;
  int wanted_results;  // -1: all
  int tail_calls;
};

// Fiber status codes, also returned by protected operations.
enum Status : int {
  STATUS_OK = 0,
  STATUS_YIELD = 1,
  STATUS_RUNTIME = 2,
  STATUS_SYNTAX = 3,
  STATUS_MEMORY = 4,
  STATUS_HANDLER = 5,
  STATUS_FILE = 6,
};

// Stack layout constants.
constexpr int STACK_INITIAL = 40;     // usable slots of a new stack
constexpr int STACK_RESERVE = 5;      // slots above the last usable one, never handed out
constexpr int NATIVE_MIN_SLOTS = 20;  // free slots every native call starts with
constexpr int STACK_WINDOW_LIMIT = 50000;
constexpr int FRAMES_INITIAL = 8;
constexpr int FRAMES_LIMIT = 20000;
constexpr int NATIVE_DEPTH_LIMIT = 200;
constexpr uint32_t STACK_VECTOR_LIMIT = 268435455;  // slots + 7 must not exceed it
constexpr uint32_t FRAME_VECTOR_LIMIT = 178956970;  // frames + 1 must not exceed it

using AllocFn = void* (*)(void* ud, void* block, size_t old_size, size_t new_size);
using PanicFn = int (*)(VmState* L);
using HookFn = void (*)(VmState* L, int event, int line, int frame_index);

struct RecoveryPoint;

// The byte buffer that concatenation and declaration joining build their results in.
struct ScratchBuffer {
  char* data = nullptr;
  size_t size = 0;
};

struct VmState : GcObject {
  uint8_t status;
  Value* top;   // first free slot
  Value* base;  // base of the running function
  SharedState* shared;
  CallFrame* frame;  // the running call
  const Instruction* saved_pc;
  Value* stack_last;  // last usable slot; STACK_RESERVE more follow it
  Value* stack;
  CallFrame* frames_end;  // last entry of the frame array
  CallFrame* frames;
  int stack_size;  // in slots, the reserve included
  int frames_size;
  uint16_t native_depth;
  uint8_t hook_mask;
  uint8_t hook_allowed;
  int hook_count;
  int hook_count_base;
  HookFn hook;
  Value globals;
  Value env_scratch;
  UpvalueObject* open_upvalues;  // ordered by stack slot, highest first
  RecoveryPoint* recovery;
  ptrdiff_t error_handler;  // byte offset from the stack start; 0 = none
  void* host_data;
  // The folder that script paths with a leading separator start from (a string), or null. The
  // machine only keeps it alive and hands it on: a new fiber starts with its creator's.
  Value root_directory;

  Value* stack_end() const { return stack + stack_size; }
  int frame_index() const { return static_cast<int>(frame - frames); }
};

constexpr int SWEEP_LANES = 4;

// A growable stack of objects. Its buffer is collector bookkeeping, kept out of the allocation
// total (it lives only while a cycle marks).
struct GrayStack {
  GcObject** items;
  uint32_t count;
  uint32_t capacity;
};

struct SharedState {
  StringTable strings;
  AllocFn alloc;
  void* alloc_ud;
  class SmallBlockPool* owned_pool;  // the default allocator's pool, freed with the state
  uint8_t current_white;
  uint8_t gc_phase;
  uint32_t sweep_string_bucket;
  // Every collectable object except strings and cdata, dealt round-robin over a few lists: a
  // sweep follows them side by side, so the cache misses of walking them overlap instead of
  // queueing one behind the other.
  GcObject* all_objects[SWEEP_LANES];
  GcObject** sweep_cursor[SWEEP_LANES];  // null once that list is swept
  uint32_t next_lane;
  GcObject* all_cdata;  // cdata live on their own list, so finalisable ones are found quickly
  GcObject** cdata_sweep_cursor;
  GcObject* pending_tail;
  bool sweeping_cdata;
  bool main_upvalues_swept;
  int collector_blocked;  // > 0 while objects are built that nothing reachable holds yet
  bool gc_stress;  // a collection step at every check (QUEVRO_GC_STRESS=1), to find missing barriers
  // Objects waiting to be traversed, to be traversed again in the atomic step, and weak tables
  // waiting to be cleared. A push that finds no memory sets gray_lost; the atomic step then
  // finds what is missing by walking the object lists.
  GrayStack gray;
  GrayStack gray_again;
  GrayStack weak;
  bool gray_lost;
  bool weak_lost;
  bool marking_atomic;  // fibers are not queued for a rescan while the rescan runs
  uint32_t gray_stack_limit;  // entries a stack may hold (tests and the stress mode use a small one)
  GcObject* pending_finalizers;
  ScratchBuffer scratch;
  size_t threshold;
  size_t total_bytes;
  size_t estimate;
  size_t debt;
  int pause;
  int step_multiplier;
  Value registry;
  UpvalueObject open_upvalue_head;  // sentinel of the list of all open upvalues
  TableObject* type_metatables[BASIC_TYPE_COUNT];
  StringObject* event_names[EVENT_COUNT];
  StringObject* memory_error_message;   // "not enough memory"
  StringObject* handler_error_message;  // "error in error handling"
  StringObject* empty_string;
  VmState* main_fiber;
  int resume_depth;  // resumes nested on the native stack
  PanicFn panic;
};

// Creates a virtual machine: the main fiber and its shared state in one block. Returns null when
// the allocation function fails.
VmState* open_state(AllocFn alloc = nullptr, void* ud = nullptr);
// Frees every object and the state itself.
void close_state(VmState* L);

VmState* new_fiber(VmState* L);
void free_fiber(SharedState* g, VmState* f);

// Stack growth. Every pointer into the stack (top, base, frames, open upvalues) is rebased.
void grow_stack(VmState* L, int n);
inline void ensure_stack(VmState* L, int n) {
  if ((reinterpret_cast<char*>(L->stack_last) - reinterpret_cast<char*>(L->top)) <=
      static_cast<ptrdiff_t>(n) * static_cast<ptrdiff_t>(sizeof(Value)))
    grow_stack(L, n);
}
void realloc_stack(VmState* L, int new_size);
void realloc_frames(VmState* L, int new_size);
CallFrame* grow_frames(VmState* L);

inline SharedState* G(VmState* L) { return L->shared; }

// A new object's block. Objects are the most frequent allocation, and with the default allocator
// a block of the same size freed before is usually waiting on its free list.
template <class T>
T* mem_new_object(VmState* L, size_t size) {
  SharedState* g = G(L);
  if (g->alloc == pool_alloc && small_blocks::is_small(size)) [[likely]] {
    if (void* block = static_cast<SmallBlockPool*>(g->alloc_ud)->take_free(size)) [[likely]] {
      g->total_bytes += size;
      return static_cast<T*>(block);
    }
  }
  return static_cast<T*>(mem_realloc(L, nullptr, 0, size));
}

void free_through_allocator(SharedState* g, void* block, size_t size);

// Frees a block of the given size (null is ignored); small blocks of the default allocator go
// straight back to its free lists.
inline void mem_free(SharedState* g, void* block, size_t size) {
  if (block == nullptr) return;
  if (g->alloc == pool_alloc && small_blocks::is_small(size)) [[likely]] {
    static_cast<SmallBlockPool*>(g->alloc_ud)->release(block, size);
    g->total_bytes -= size;
    return;
  }
  free_through_allocator(g, block, size);
}

// The current white colour for new objects; links a new object into the all-objects list.
inline uint8_t current_white(const SharedState* g) { return g->current_white & MARK_WHITES; }
// An object still carrying the previous cycle's white is dead until the sweep reaches it;
// fixed objects never are.
inline bool is_dead(const SharedState* g, const GcObject* o) {
  uint8_t other_white = static_cast<uint8_t>(g->current_white ^ MARK_WHITES);
  return (o->marked & other_white & MARK_WHITES) != 0 && !(o->marked & MARK_FIXED);
}
inline void link_object(SharedState* g, GcObject* o, uint8_t tag) {
  o->tag = tag;
  o->marked = current_white(g);
  GcObject*& head = g->all_objects[g->next_lane++ % SWEEP_LANES];
  o->next = head;
  head = o;
}

}  // namespace quevro
