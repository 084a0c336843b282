// Code generation: instruction shapes of representative constructs, folding, registers, limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/chunk_dumper.h"
#include "compiler/chunk_entry.h"
#include "compiler/disassembler.h"
#include "compiler/verifier.h"
#include "vm/closure.h"
#include "vm/exec_form.h"
#include "vm/opcodes.h"
#include "vm/state.h"
#include "vm/string.h"

namespace quevro::compiler_test {
Prototype* compile_in(VmState* L, const std::string& source, std::string* error, int* status, const char* name);
std::vector<std::string> opcode_names(const Prototype* p);
std::vector<std::string> listing_lines(const Prototype* p);
int count_op(const Prototype* p, int op);
}  // namespace quevro::compiler_test

namespace quevro {
namespace {

using namespace compiler_test;
using Ops = std::vector<std::string>;

class CompilerCodegen : public ::testing::Test {
 protected:
  void SetUp() override { L = open_state(); }
  void TearDown() override { close_state(L); }

  Prototype* compile(const std::string& src) {
    std::string msg;
    Prototype* p = compile_in(L, src, &msg, nullptr, "=c");
    EXPECT_NE(p, nullptr) << src << "\n" << msg;
    if (p) {
      EXPECT_TRUE(verify_prototype_tree(p)) << disassemble(p);
    }
    return p;
  }
  std::string error(const std::string& src) {
    std::string msg;
    int status = 0;
    EXPECT_EQ(compile_in(L, src, &msg, &status, "=c"), nullptr);
    return msg;
  }
  Ops lines(const std::string& src) {
    Prototype* p = compile(src);
    return p ? listing_lines(p) : Ops{};
  }
  VmState* L = nullptr;
};

TEST_F(CompilerCodegen, ConstantFolding) {
  EXPECT_EQ(lines("x = 2 + 3"), (Ops{"LOADK 1 1 ; 5", "SETNS 1 0 ; \"x\"", "RETURN 0 1"}));
  // the right operand enters the constant table first
  EXPECT_EQ(lines("x = 1 / 0"), (Ops{"DIV 1 K2 K1 ; 1 0", "SETNS 1 0 ; \"x\"", "RETURN 0 1"}));
  EXPECT_EQ(lines("x = ~0"), (Ops{"LOADK 1 1 ; -1", "SETNS 1 0 ; \"x\"", "RETURN 0 1"}));
  EXPECT_EQ(lines("x = 1 | 2"), (Ops{"BOR 1 K1 K2 ; 1 2", "SETNS 1 0 ; \"x\"", "RETURN 0 1"}));
  EXPECT_EQ(lines("x = 7 % -3"), (Ops{"LOADK 1 1 ; -2", "SETNS 1 0 ; \"x\"", "RETURN 0 1"}));
  EXPECT_EQ(lines("x = -(2 ** 3)"), (Ops{"LOADK 1 1 ; -8", "SETNS 1 0 ; \"x\"", "RETURN 0 1"}));
  EXPECT_EQ(lines("x = ~2.5"), (Ops{"LOADK 1 1 ; -3", "SETNS 1 0 ; \"x\"", "RETURN 0 1"}));  // rounds half to even
  EXPECT_EQ(lines("x = 0 % 0"), (Ops{"MOD 1 K1 K1 ; 0 0", "SETNS 1 0 ; \"x\"", "RETURN 0 1"}));
}

TEST_F(CompilerCodegen, ConditionsOnLiterals) {
  // 0 is false at run time, so it is tested; a string is always true and compiles no test.
  Prototype* p = compile("if (0) { x = 1 }");
  EXPECT_EQ(count_op(p, OP_TEST) + count_op(p, OP_TESTSET), 1);
  p = compile("if (\"s\") { x = 1 }");
  EXPECT_EQ(opcode_names(p), (Ops{"LOADK", "SETNS", "RETURN"}));
  p = compile("if (null) { x = 1 }");
  EXPECT_EQ(opcode_names(p), (Ops{"JMP", "LOADK", "SETNS", "RETURN"}));
  p = compile("if (!a) { x = 1 }");
  EXPECT_EQ(opcode_names(p), (Ops{"GETNS", "TEST", "JMP", "LOADK", "SETNS", "RETURN"}));  // NOT folded into TEST
}

TEST_F(CompilerCodegen, ConcatChainIsOneInstruction) {
  Prototype* p = compile("x = a ++ b ++ c");
  EXPECT_EQ(count_op(p, OP_CONCAT), 1);
  EXPECT_EQ(lines("x = a ++ b ++ c")[3], "CONCAT 1 1 3");
  // "+" next to a string literal concatenates
  EXPECT_EQ(count_op(compile("x = 'a' + b"), OP_CONCAT), 1);
  EXPECT_EQ(count_op(compile("x = a + b"), OP_ADD), 1);
}

TEST_F(CompilerCodegen, CallShapes) {
  EXPECT_EQ(lines("f(x)"), (Ops{"GETNS 1 0 ; \"f\"", "LOADNIL 2 2", "GETNS 3 1 ; \"x\"", "CALL 1 3 1", "RETURN 0 1"}));
  EXPECT_EQ(lines("a.f(x)"), (Ops{"GETNS 1 0 ; \"a\"", "SELF 1 1 K1 ; \"f\"", "GETNS 3 2 ; \"x\"", "CALL 1 3 1",
                                  "RETURN 0 1"}));
  EXPECT_EQ(lines("return f()"), (Ops{"GETNS 1 0 ; \"f\"", "LOADNIL 2 2", "TAILCALL 1 2 0", "RETURN 1 0", "RETURN 0 1"}));
  EXPECT_EQ(lines("f(g())"), (Ops{"GETNS 1 0 ; \"f\"", "LOADNIL 2 2", "GETNS 3 1 ; \"g\"", "LOADNIL 4 4",
                                  "CALL 3 2 0", "CALL 1 0 1", "RETURN 0 1"}));
  EXPECT_EQ(lines("import a.b"), (Ops{"GETGLOBAL 1 0 ; \"import\"", "LOADNS 2 0", "LOADK 3 1 ; \"a.b\"",
                                      "CALL 1 3 1", "RETURN 0 1"}));
  // empty places and named arguments
  EXPECT_EQ(lines("f(1,,)")[4], "CALL 1 5 1");
  Ops named = lines("f(a = 1, b = 2)");
  EXPECT_EQ(named[2], "NEWTABLE 3 0 2");
}

TEST_F(CompilerCodegen, ConstructorFlushesEveryFiftyItems) {
  std::string src = "t = {";
  for (int i = 0; i < 51; i++) src += std::to_string(i) + ",";
  src += "}";
  Prototype* p = compile(src);
  EXPECT_EQ(count_op(p, OP_SETLIST), 2);
  Ops l = listing_lines(p);
  int found = 0;
  for (const auto& s : l) {
    if (s == "SETLIST 1 50 1") found |= 1;
    if (s == "SETLIST 1 1 2") found |= 2;
  }
  EXPECT_EQ(found, 3) << disassemble(p);
  EXPECT_EQ(l[0], "NEWTABLE 1 " + std::to_string(fb_encode(51)) + " 0");
  // array constructors carry the array flag operand
  EXPECT_EQ(lines("t = [1]")[0], "NEWTABLE 1 1 232");
  // an open last item
  EXPECT_EQ(lines("t = {f()}")[4], "SETLIST 1 0 1");
}

TEST_F(CompilerCodegen, SetlistBlockBeyondOperandUsesExtraWord) {
  // 512 blocks of 50 items need C = 0 and a following count word.
  std::string src = "t = {";
  for (int i = 0; i < 50 * 512 + 1; i++) src += "1,";
  src += "}";
  Prototype* p = compile(src);
  std::vector<unsigned> blocks;
  for (int pc = 0; pc < p->size_code; pc++) {
    if (get_op(original_instruction(p, pc)) == OP_SETLIST && get_c(original_instruction(p, pc)) == 0) {
      blocks.push_back(original_instruction(p, pc + 1));
      pc++;
    }
  }
  EXPECT_EQ(blocks, (std::vector<unsigned>{512u, 513u}));
  EXPECT_EQ(count_op(p, OP_SETLIST), 513);
}

TEST_F(CompilerCodegen, ArrayItemsInsideTableConstructors) {
  // "[" with no "=" or ":" after its closing bracket is an array item, not a computed key.
  Prototype* p = compile("t = {[1, 2], [k] = 3}");
  EXPECT_EQ(count_op(p, OP_NEWTABLE), 2);
  EXPECT_EQ(count_op(p, OP_SETLIST), 2);
  EXPECT_EQ(count_op(p, OP_SETTABLE), 1);
  Ops l = listing_lines(p);
  EXPECT_EQ(l[0], "NEWTABLE 1 1 1");
  EXPECT_EQ(l[2], "NEWTABLE 3 2 232");
}

TEST_F(CompilerCodegen, StructDeclarations) {
  Prototype* p = compile("t = { WORD year; WORD month = 1; BYTE name[32] }");
  std::string text = disassemble(p);
  EXPECT_NE(text.find("APPENDFIELD 1 K"), std::string::npos) << text;
  EXPECT_NE(text.find("\"WORD year;WORD month;BYTE name[32]\""), std::string::npos) << text;
  EXPECT_NE(text.find("SETTABLE 1 K"), std::string::npos);
}

TEST_F(CompilerCodegen, ManyConstantsSpillToLoadk) {
  std::string src = "x = {";
  for (int i = 0; i < 256; i++) src += "k" + std::to_string(i) + " = " + std::to_string(i + 1000) + ",";
  src += "}; y = a + 5000";
  Prototype* p = compile(src);
  ASSERT_GT(p->size_constants, 256);
  // the last addition's constant is beyond RK reach: it is loaded first
  Ops l = listing_lines(p);
  bool saw_loadk_then_add = false;
  for (size_t i = 0; i + 1 < l.size(); i++)
    if (l[i].rfind("LOADK", 0) == 0 && l[i].find("5000") != std::string::npos && l[i + 1].rfind("ADD", 0) == 0)
      saw_loadk_then_add = true;
  EXPECT_TRUE(saw_loadk_then_add) << disassemble(p);
}

TEST_F(CompilerCodegen, LocalWithoutValueAtFunctionStartHasNoLoadnil) {
  EXPECT_EQ(lines("var a; a = 1"), (Ops{"LOADK 1 0 ; 1", "RETURN 0 1"}));
  // ...but after other code it is needed
  EXPECT_EQ(lines("f(); var a")[3], "LOADNIL 1 1");
}

TEST_F(CompilerCodegen, LoopBodyClosesCapturedLocals) {
  Prototype* p = compile("for (i = 0; i < 3; i++) { var x = i; f = function() { return x } }");
  EXPECT_GE(count_op(p, OP_CLOSE), 1);
  p = compile("for (i = 0; i < 3; i++) { var x = i; f = x }");
  EXPECT_EQ(count_op(p, OP_CLOSE), 0);
  // the loop variable itself is per iteration
  p = compile("for i = 1, 3 { f = function() { return i } }");
  EXPECT_GE(count_op(p, OP_CLOSE), 1);
  // break out of a block with captured locals closes them
  p = compile("while (1) { var x = 1; g = function() { return x }; if (c) break }");
  int closes = count_op(p, OP_CLOSE);
  EXPECT_GE(closes, 2) << disassemble(p);
}

TEST_F(CompilerCodegen, ContinueClosesRedeclaredWhileLocals) {
  // The declaration in `while (var ...)` runs again after `continue`, so a captured local must be
  // closed before jumping back; otherwise closures of one iteration would see the next value.
  Prototype* p = compile("while (var x = f()) { g = function() { return x }; if (c) continue; h = 1 }");
  Ops l = listing_lines(p);
  int closes_before_back_jump = 0;
  for (size_t i = 0; i + 1 < l.size(); i++)
    if (l[i] == "CLOSE 1" && l[i + 1] == "JMP 0 ->0") closes_before_back_jump++;
  EXPECT_EQ(closes_before_back_jump, 2) << disassemble(p);  // the continue and the end of the body
}

TEST_F(CompilerCodegen, NumericForShapes) {
  Ops l = lines("for (i = 0; i < 3; i++) { }");
  EXPECT_EQ(l, (Ops{"LOADK 1 0 ; 0", "LOADK 2 1 ; 2", "LOADK 3 2 ; 1", "FORPREP 1 ->4", "FORLOOP 1 ->4", "RETURN 0 1"}));
  l = lines("for (i = 3; i > 0; i--) { }");
  EXPECT_EQ(l[1], "LOADK 2 1 ; 1");
  EXPECT_EQ(l[2], "LOADK 3 2 ; -1");
  l = lines("for i = 1 to 5 step 2 { }");
  EXPECT_EQ(l[1], "LOADK 2 1 ; 5");
  EXPECT_EQ(l[2], "LOADK 3 2 ; 2");
  l = lines("for (i = 0; n > i; i += k) { }");
  EXPECT_EQ(l[2], "SUB 2 2 K2 ; 1");
  l = lines("for (i = 10; i >= 0; i = i - 2) { }");
  EXPECT_EQ(l[1], "LOADK 2 1 ; 0");
  EXPECT_EQ(l[2], "LOADK 3 2 ; -2");
}

TEST_F(CompilerCodegen, GenericForShapes) {
  Prototype* p = compile("for k, v in t { }");
  EXPECT_EQ(count_op(p, OP_TFORNEXT), 1);
  EXPECT_EQ(count_op(p, OP_CALLIFFUNC), 0);
  p = compile("for k, v in pairs(t) { }");
  EXPECT_EQ(count_op(p, OP_TFORLOOP), 1);
  EXPECT_EQ(count_op(p, OP_CALLIFFUNC), 1);
  EXPECT_EQ(get_op(original_instruction(p, p->size_code - 4)), OP_TFORLOOP);
  EXPECT_EQ(get_c(original_instruction(p, p->size_code - 4)), 2);  // TFORLOOP C = number of loop variables
}

TEST_F(CompilerCodegen, SelectUsesStrictEquality) {
  Prototype* p = compile("select x { case 1, 2 { a = 1 } case 3 to 5 { a = 2 } case > 10 { a = 3 } else { a = 4 } }");
  EXPECT_EQ(count_op(p, OP_EQSTRICT), 2);
  EXPECT_EQ(count_op(p, OP_LE), 2);
  EXPECT_EQ(count_op(p, OP_LT), 1);
  EXPECT_EQ(count_op(p, OP_EQ), 0);
}

TEST_F(CompilerCodegen, DefaultParametersAreFirstInstructions) {
  Prototype* p = compile("f = function(a, b = 2, c = true) { return b }");
  ASSERT_EQ(p->size_protos, 1);
  Ops l = listing_lines(p->protos[0]);
  EXPECT_EQ(l[0], "LOADBOOL 4 1 0");
  EXPECT_EQ(l[1], "SETIFNULL 4 3");
  EXPECT_EQ(l[2], "LOADK 4 0 ; 2");
  EXPECT_EQ(l[3], "SETIFNULL 4 2");
  EXPECT_EQ(p->protos[0]->numparams, 4);  // owner, a, b, c
  p = compile("f = function(a = 1 | 6 & 3, b = -2, c = ~0) { }");
  l = listing_lines(p->protos[0]);
  EXPECT_EQ(l[0], "LOADK 4 0 ; -1");
  EXPECT_EQ(l[2], "LOADK 4 1 ; -2");
  EXPECT_EQ(l[4], "LOADK 4 2 ; 3");
}

TEST_F(CompilerCodegen, ClassBody) {
  Prototype* p = compile("C = class { ctor(a) { this.x = a } x = 0 }");
  ASSERT_EQ(p->size_protos, 1);
  const Prototype* c = p->protos[0];
  EXPECT_EQ(c->is_class, 1);
  EXPECT_EQ(c->numparams, 2);
  Ops l = listing_lines(c);
  EXPECT_EQ(l[0], "NEWTABLE 2 0 1");
  EXPECT_EQ(l[1], "SETTABLE 2 K0 1 ; \"x\"");   // the constructor block first
  EXPECT_EQ(l[2], "SETTABLE 2 K0 K1 ; \"x\" 0");  // then the members
  EXPECT_EQ(l[3], "RETURN 2 2");
}

TEST_F(CompilerCodegen, TryAndNamespace) {
  Prototype* p = compile("try { x = 1 } catch (e) { y = e }");
  ASSERT_EQ(p->size_protos, 2);
  EXPECT_EQ(p->protos[0]->numparams, 0);
  EXPECT_EQ(p->protos[1]->numparams, 2);
  EXPECT_EQ(count_op(p, OP_TRY), 1);
  Ops l = lines("namespace a.b { x = 1 }");
  EXPECT_EQ(l[0], "ENTERNS 0 K0 1 ; \"a.b\"");
  EXPECT_EQ(l[3], "ENTERNS 0 0 1");
  l = lines("with t { x = 1 }");
  EXPECT_EQ(l[0], "GETNS 1 0 ; \"t\"");
  EXPECT_EQ(l[1], "LOADNIL 2 2");
  EXPECT_EQ(l[2], "ENTERNS 0 1 2");
  // leaving a namespace block with break restores the namespace first
  Prototype* q = compile("while (1) { namespace x { break } }");
  EXPECT_EQ(count_op(q, OP_ENTERNS), 3);
}

TEST_F(CompilerCodegen, Templates) {
  Ops l = lines("<p><?= x ?>");
  EXPECT_EQ(l, (Ops{"GETGLOBAL 1 0 ; \"print\"", "LOADNIL 2 2", "LOADK 3 1 ; \"<p>\"", "CALL 1 3 1",
                    "GETGLOBAL 1 0 ; \"print\"", "LOADNIL 2 2", "GETNS 3 2 ; \"x\"", "CALL 1 3 1",
                    "GETGLOBAL 1 0 ; \"print\"", "LOADNIL 2 3", "CALL 1 3 1", "RETURN 0 1"}));
}

TEST_F(CompilerCodegen, CompoundAssignments) {
  EXPECT_EQ(lines("var i = 0; i++"), (Ops{"LOADK 1 0 ; 0", "ADD 1 1 K1 ; 1", "RETURN 0 1"}));
  EXPECT_EQ(lines("var i = 0; i--")[1], "SUB 1 1 K1 ; 1");
  Ops l = lines("t.k += 2");
  EXPECT_EQ(l, (Ops{"GETNS 1 0 ; \"t\"", "GETTABLE 2 1 K1 ; \"k\"", "ADD 2 2 K2 ; 2", "SETTABLE 1 K1 2 ; \"k\"",
                    "RETURN 0 1"}));
  EXPECT_EQ(count_op(compile("s += 'x'"), OP_CONCAT), 1);
  EXPECT_EQ(count_op(compile("s ++= 'x'"), OP_CONCAT), 1);
}

TEST_F(CompilerCodegen, AssignmentConflictCopiesLocal) {
  // a is both the table of the first target and the second target: the store into a[1] must see the old a.
  Prototype* p = compile("var a = {}; var b; a[1], a = 1, 2");
  EXPECT_EQ(count_op(p, OP_MOVE), 1) << disassemble(p);
}

TEST_F(CompilerCodegen, ParenthesesAdjustToOneValue) {
  Ops l = lines("return (f())");
  EXPECT_EQ(l[2], "CALL 1 2 2");
  EXPECT_EQ(l[3], "RETURN 1 2");
}

TEST_F(CompilerCodegen, RegisterLimit) {
  std::string args;
  for (int i = 0; i < 246; i++) args += (i ? ", a" : "a") + std::to_string(i);
  Prototype* ok = compile("f(" + args + ")");  // function, owner and 246 arguments: 249 registers
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->max_stack_size, 249);
  std::string src = "f(" + args + ", b)";
  std::string msg = error(src);
  EXPECT_NE(msg.find("function or expression too complex"), std::string::npos) << msg;
}

TEST_F(CompilerCodegen, LineInformation) {
  Prototype* p = compile("x = 1\n\ny = f(\n2)");
  ASSERT_EQ(p->size_line_info, p->size_code);
  EXPECT_EQ(p->line_info[0], 1);
  EXPECT_EQ(p->line_info[2], 3);
  Prototype* q = compile("function f()\n{\n}\n");
  EXPECT_EQ(q->protos[0]->line_defined, 1);
  EXPECT_EQ(q->protos[0]->last_line_defined, 3);
  EXPECT_EQ(q->line_defined, 0);
}

TEST_F(CompilerCodegen, PrototypeArraysAreExactlySized) {
  Prototype* p = compile("var a = 1; function f(x) { return x + a } t = {1, 2, 3}");
  EXPECT_EQ(p->size_protos, 1);
  EXPECT_EQ(p->protos[0]->size_upvalue_names, 1);
  EXPECT_EQ(p->protos[0]->nupvalues, 1);
  std::string names;
  for (int i = 0; i < p->size_locals; i++) names += std::string(p->locals[i].name->data(), p->locals[i].name->length) + ",";
  EXPECT_EQ(names, "owner,a,");
  EXPECT_EQ(std::string(p->source->data(), p->source->length), "=c");
  EXPECT_EQ(p->protos[0]->source, p->source);
}

}  // namespace
}  // namespace quevro

namespace quevro {
namespace {

// Every finished prototype, compiled or loaded, carries its code in the running form and the
// stack need of the interpreter's direct call, which the call trusts.
void expect_ready_to_run(const Prototype* p, const Prototype* compiled) {
  uint32_t room = p->vararg_flags ? UINT32_MAX : static_cast<uint32_t>((p->max_stack_size + p->numparams) * 16);
  EXPECT_EQ(p->call_room, room);
  ASSERT_EQ(p->size_code, compiled->size_code);
  for (int pc = 0; pc < p->size_code; ++pc) ASSERT_EQ(p->code[pc], compiled->code[pc]) << pc;
  ASSERT_EQ(p->size_protos, compiled->size_protos);
  for (int n = 0; n < p->size_protos; ++n) expect_ready_to_run(p->protos[n], compiled->protos[n]);
}

int append_bytes(VmState*, const void* bytes, size_t size, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(bytes), size);
  return 0;
}

TEST(CompilerChunks, CompiledAndLoadedFunctionsAreReadyToRun) {
  VmState* L = open_state();
  std::string msg;
  Prototype* compiled = compile_in(L, "var function f(a, b) { var g = function(...) { return ... }; return g(a, b) }\n"
                                      "return f(1, 2)", &msg, nullptr, "=c");
  ASSERT_NE(compiled, nullptr) << msg;
  ASSERT_EQ(compiled->size_protos, 1);
  EXPECT_NE(compiled->protos[0]->call_room, UINT32_MAX);
  EXPECT_EQ(compiled->protos[0]->protos[0]->call_room, UINT32_MAX);  // the vararg one
  expect_ready_to_run(compiled, compiled);
  std::string chunk;
  ASSERT_EQ(dump_prototype(L, compiled, append_bytes, &chunk, false, nullptr), 0);
  ASSERT_EQ(load_buffer(L, chunk.data(), chunk.size(), "=chunk"), 0);
  expect_ready_to_run(L->top[-1].closure()->proto, compiled);
  close_state(L);
}

}  // namespace
}  // namespace quevro
