// Fixture for tests that run assembled prototypes.
#pragma once

#include <string>
#include <vector>

#include "vm_assembler.h"
#include "vm_support.h"
#include "vm/cdata.h"
#include "vm/metamethods.h"
#include "vm/opcodes.h"

namespace quevro::test {

class ScriptTest : public VmTest {
 protected:
  // Calls fn and expects success; returns its results.
  std::vector<Value> ok(const Value& fn, const std::vector<Value>& args = {}) {
    std::vector<Value> out;
    int status = call_protected(fn, args, &out);
    EXPECT_EQ(status, STATUS_OK) << (out.empty() ? std::string() : text_of(out[0]));
    return out;
  }
  Value ok1(const Value& fn, const std::vector<Value>& args = {}) {
    std::vector<Value> out = ok(fn, args);
    return out.empty() ? make_null() : out[0];
  }
  // Calls fn and expects the given status; returns the error value's text.
  std::string fails(const Value& fn, const std::vector<Value>& args = {}, int expected = STATUS_RUNTIME) {
    std::vector<Value> out;
    int status = call_protected(fn, args, &out);
    EXPECT_EQ(status, expected);
    return out.empty() ? std::string("<no error value>") : text_of(out[0]);
  }

  // A function of (owner, x, y) computing `op R0 R1 R2` and returning R0.
  Value binary_function(int op) {
    Assembler a(L, 3);
    a.abc(op, 0, 1, 2);
    a.ret(0, 1);
    return a.closure();
  }
  Value binop(int op, const Value& x, const Value& y) { return ok1(binary_function(op), {x, y}); }
  std::string binop_error(int op, const Value& x, const Value& y) { return fails(binary_function(op), {x, y}); }

  // A function of (owner, x, y) returning whether the test instruction `op A R1 R2` jumps.
  Value test_function(int op, int a_operand) {
    Assembler a(L, 3);
    a.abc(op, a_operand, 1, 2);
    a.asbx(OP_JMP, 0, 2);
    a.abc(OP_LOADBOOL, 0, 0, 0);
    a.ret(0, 1);
    a.abc(OP_LOADBOOL, 0, 1, 0);
    a.ret(0, 1);
    return a.closure();
  }
  bool jumps(int op, const Value& x, const Value& y, int a_operand = 1) {
    Value r = ok1(test_function(op, a_operand), {x, y});
    EXPECT_EQ(r.tag, TAG_BOOLEAN);
    return r.u.b != 0;
  }
};

}  // namespace quevro::test
