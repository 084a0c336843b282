// Metamethod events: handler lookup, the full get and set paths, and the operator handlers.
#pragma once

#include "vm/metamethod_events.h"
#include "vm/state.h"
#include "vm/table.h"

namespace quevro {

// The handler for an event in a metatable, or null. Misses of the cached events set the bit.
const Value* metatable_handler(VmState* L, TableObject* mt, Event e);
// The metatable a value consults: its own for tables and cdata, the per-type one otherwise.
TableObject* metatable_of(VmState* L, const Value* v);
// The handler of a value for an event (absent when none).
const Value* value_handler(VmState* L, const Value* v, Event e);

// Calls the first of a's and b's handlers for the event with (a, b) for one result stored in
// *result, which must be a stack slot. False when neither has one, or when that first handler is
// not a function.
bool call_binary_handler(VmState* L, const Value* a, const Value* b, Value* result, Event e);

}  // namespace quevro

namespace quevro {

// Full get: class redirection, string and buffer byte reads, `_get` chains. flag goes to a `_get`
// function as its third argument. result must be a stack slot.
void full_get(VmState* L, const Value* obj, const Value* key, Value* result, const Value& flag);
// Full set: class redirection, buffer byte writes, `_set` chains, the read-only rule. via_globals
// marks a store addressed to the fiber's global table through its own slot.
void full_set(VmState* L, const Value* obj, const Value* key, const Value* val, bool flag, bool via_globals = false);
// RAWSET: a raw store into a table with the read-only rule.
void raw_set_checked(VmState* L, const Value* obj, const Value* key, const Value* val);
// SETMETA: honours locked metatables.
void set_metatable_checked(VmState* L, const Value* obj, const Value* mt);
// GETMETA.
TableObject* get_metatable_of(VmState* L, const Value* obj);

bool loose_equal(VmState* L, const Value* a, const Value* b);
inline bool strict_equal(const Value* a, const Value* b) {
  if (a->tag != b->tag) return false;
  if (a->tag == TAG_NULL) return true;
  if (a->tag == TAG_NUMBER) return a->u.n == b->u.n;
  if (a->tag == TAG_BOOLEAN) return a->u.b == b->u.b;
  return a->u.p == b->u.p;
}
bool less_than(VmState* L, const Value* a, const Value* b);
bool less_equal(VmState* L, const Value* a, const Value* b);

// The slow path of ADD..POW, UNM, the shifts and the bit operations; result is a stack slot.
void arith(VmState* L, Value* result, const Value* a, const Value* b, Event e);
void bit_op(VmState* L, Value* result, const Value* a, const Value* b, int op);
// LEN.
void get_length(VmState* L, Value* result, const Value* v);

// Converts a number or numeric string; false for anything else.
bool to_number_value(const Value* v, double* out);

}  // namespace quevro
