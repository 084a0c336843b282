// The incremental tri-colour mark-and-sweep collector: allocation checks, barriers, weak tables,
// cdata finalisers and the control operations behind `collectgarbage`.
#pragma once

#include "vm/state.h"

namespace quevro {

// Options of gc_control.
enum GcOption {
  GC_STOP = 0,
  GC_RESTART = 1,
  GC_COLLECT = 2,
  GC_COUNT = 3,
  GC_COUNT_BYTES = 4,
  GC_STEP = 5,
  GC_SETPAUSE = 6,
  GC_SETSTEPMUL = 7,
};

// Collector phases.
enum GcPhase : uint8_t {
  PHASE_PAUSE = 0,
  PHASE_PROPAGATE = 1,
  PHASE_SWEEP_STRINGS = 2,
  PHASE_SWEEP = 3,
  PHASE_FINALIZE = 4,
};

constexpr uint8_t MARK_WEAK_KEYS = 1 << 3;    // tables (cdata use the bit as "finaliser handled")
constexpr uint8_t MARK_WEAK_VALUES = 1 << 4;

inline bool is_white(const GcObject* o) { return (o->marked & MARK_WHITES) != 0; }
inline bool is_black(const GcObject* o) { return (o->marked & MARK_BLACK) != 0; }

void collector_step(VmState* L);
// Runs a step when the allocation total has reached the threshold. Object creation through the
// native interface, four instructions and every native-level call check here; a step may move
// the stack, so stack addresses must be re-read after it.
inline void check_gc(VmState* L) {
  SharedState* g = G(L);
  if (g->total_bytes >= g->threshold && g->collector_blocked == 0) collector_step(L);
}
void full_collect(VmState* L);
int gc_control(VmState* L, int option, int data);

// Marks the white object o stored into the black holder (or repaints the holder).
void barrier_forward_slow(VmState* L, GcObject* holder, GcObject* o);
inline void barrier_forward(VmState* L, GcObject* holder, const Value& v) {
  if (v.is_collectable() && is_black(holder) && is_white(v.u.gc)) barrier_forward_slow(L, holder, v.u.gc);
}
inline void barrier_forward(VmState* L, GcObject* holder, GcObject* o) {
  if (o && is_black(holder) && is_white(o)) barrier_forward_slow(L, holder, o);
}
// A black table written to is turned gray again and rescanned before the cycle ends.
void barrier_back_slow(VmState* L, TableObject* t);
inline void barrier_back(VmState* L, TableObject* t) {
  if (is_black(reinterpret_cast<GcObject*>(t))) barrier_back_slow(L, t);
}

// Frees an object of any collectable type (a string is also taken off the string table's count).
void free_collectable(SharedState* g, GcObject* o);

// A just-closed upvalue joins the list of all objects in the colour the current phase needs.
void link_closed_upvalue(VmState* L, UpvalueObject* uv);

// Frees the collector's stacks (closing the state).
void release_gray_stacks(SharedState* g);

// Closing the state: finalisers of every cdata that has one run, in protected mode.
void run_all_finalizers(VmState* L);

// Keeps the collector from stepping while a compilation or chunk load builds objects that are
// not yet reachable from anything it marks.
class CollectorBlock {
 public:
  explicit CollectorBlock(VmState* L) : g_(G(L)) { g_->collector_blocked++; }
  ~CollectorBlock() { g_->collector_blocked--; }
  CollectorBlock(const CollectorBlock&) = delete;
  CollectorBlock& operator=(const CollectorBlock&) = delete;

 private:
  SharedState* g_;
};

}  // namespace quevro
