// Functions: script closures and native functions share one record; plus the upvalue cells
// that closures capture.
#pragma once

#include "vm/value.h"

namespace quevro {

using NativeFn = int (*)(VmState* L);

// A variable captured by a closure. While the variable's frame is live the cell points at the
// stack slot ("open"); when the frame ends the value moves into the cell itself ("closed").
struct UpvalueObject : GcObject {
  Value* v;
  union {
    Value closed;
    struct {
      UpvalueObject* prev;  // the shared list of all open upvalues, for the collector
      UpvalueObject* next;
    } open;
  };

  bool is_open() const { return v != &closed; }
};

// The upvalue array follows the record: UpvalueObject pointers for a script closure, inline
// Values for a native function. A class is a function flagged as such whose environment is its
// own static-member table.
// is_script, is_class and the upvalue count live in the header (see GcObject).
struct ClosureObject : GcObject {
  TableObject* env;
  union {
    Prototype* proto;
    NativeFn fn;
  };

  UpvalueObject** script_upvalues() { return reinterpret_cast<UpvalueObject**>(this + 1); }
  Value* native_upvalues() { return reinterpret_cast<Value*>(this + 1); }
};

inline size_t script_closure_size(int nup) { return sizeof(ClosureObject) + sizeof(UpvalueObject*) * nup; }
inline size_t native_closure_size(int nup) { return sizeof(ClosureObject) + sizeof(Value) * nup; }
inline size_t closure_size(const ClosureObject* c) {
  return c->is_script ? script_closure_size(c->nupvalues) : native_closure_size(c->nupvalues);
}

// Hash-part hint of the static-member table a new class gets.
constexpr int CLASS_TABLE_HASH_HINT = 10;

ClosureObject* new_native_closure(VmState* L, NativeFn fn, int nup, TableObject* env);
ClosureObject* new_script_closure(VmState* L, Prototype* p, TableObject* env);
// Turns a closure created without an environment into a class with a fresh static table.
void make_class(VmState* L, ClosureObject* c);
void free_closure(SharedState* g, ClosureObject* c);

UpvalueObject* find_upvalue(VmState* L, Value* slot);
// A closed cell holding null, for a closure whose captured variables did not come with it (a
// function loaded from a precompiled chunk).
UpvalueObject* new_closed_upvalue(VmState* L);
void close_upvalues(VmState* L, Value* level);
void free_upvalue(SharedState* g, UpvalueObject* uv);

}  // namespace quevro
