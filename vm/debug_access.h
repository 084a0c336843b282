// What the debug library may learn about a fiber's calls and change in them: the levels of its
// call stack, what a level or a function is, local variables, upvalues, and the fiber's hook.
// Everything goes through the stack of the asking fiber, so a library never holds addresses into
// another fiber's stack or frame array across an allocation (the collector may shrink both).
#pragma once

#include <cstdint>
#include <string>

#include "vm/state.h"

namespace quevro {

// One level of a fiber's call stack. Level 0 is the running function, 1 its caller, and so on;
// a script frame that absorbed tail calls is followed by one level per absorbed call: those
// levels are pseudo-frames without a function.
struct StackLevel {
  int frame = 0;  // index in the fiber's frame array (for a pseudo-frame: the absorbing frame)
  bool tail_call = false;
};

// Finds a level of fiber F; false when F's stack is not that deep (or level < 0).
bool find_level(VmState* F, int level, StackLevel* out);
// The deepest level F has, or -1 when it has none.
int deepest_level(VmState* F);

// What the debug library reports of a function or of a level.
struct FunctionReport {
  std::string source;        // "=[kernel]" for native functions, "=(tail call)" for a pseudo-frame
  std::string short_source;  // the source's display name
  int line_defined = -1;
  int last_line_defined = -1;
  const char* kind = "kernel";  // "main", "function", "kernel" or "tail"
  int current_line = -1;
  std::string name;       // how the caller named the function; empty when unknown
  std::string name_kind;  // the variable kind of that name ("global(namespace)", ...)
  int upvalue_count = 0;
};

FunctionReport describe_level(VmState* F, const StackLevel& level);
// Describes the function at idx of L's stack without a frame (current line -1, no name).
FunctionReport describe_function(VmState* L, int idx);

// Pushes onto L the function running at a level of F (null for a pseudo-frame).
void push_level_function(VmState* L, VmState* F, const StackLevel& level);
// Pushes a new table mapping the line of every instruction of the function at idx to true, or
// null for a native function.
void push_active_lines(VmState* L, int idx);
bool is_script_function(VmState* L, int idx);

// Local variable n (from 1) of a level of F, as of the instruction its frame is at. push_local
// pushes the value onto L and gives the name; set_local pops a value from L into the variable.
// Both return false when there is no such variable (set_local still pops).
bool push_local(VmState* L, VmState* F, const StackLevel& level, int n, std::string* name);
bool set_local(VmState* L, VmState* F, const StackLevel& level, int n, std::string* name);

// Upvalue n (from 1) of the function at idx: the prototype's name for a script function, the
// empty string for a native one. set_upvalue pops the value and applies the collector barrier.
// Both return false (set_upvalue still pops) when idx holds no function or n is out of range.
bool push_upvalue(VmState* L, int idx, int n, std::string* name);
bool set_upvalue(VmState* L, int idx, int n, std::string* name);

// Loose equality (the `==` of scripts, `_eq` included) of two stack values.
bool loosely_equal(VmState* L, int i, int j);

// Fibers as values: the fiber at idx (null when it is none), and a fiber pushed as a value.
VmState* to_fiber(VmState* L, int idx);
void push_fiber(VmState* L, VmState* F);

// A fiber's hook routine and its mask (HOOK_MASK_CALL, HOOK_MASK_RETURN, HOOK_MASK_LINE).
HookFn hook_routine(VmState* F);
void set_hook_routine(VmState* F, HookFn routine);
uint8_t hook_mask(VmState* F);
void set_hook_mask(VmState* F, uint8_t mask);

}  // namespace quevro
