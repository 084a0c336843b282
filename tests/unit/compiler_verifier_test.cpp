// The structural code verifier: each rule rejects the code it guards against, and everything the
// compiler emits (including code from mutated sources) passes.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "compiler/disassembler.h"
#include "compiler/verifier.h"
#include "vm/memory.h"
#include "vm/exec_form.h"
#include "vm/opcodes.h"
#include "vm/state.h"
#include "vm/string.h"

namespace quevro::compiler_test {
Prototype* compile_in(VmState* L, const std::string& source, std::string* error, int* status, const char* name);
}

namespace quevro {
namespace {

using compiler_test::compile_in;

class CompilerVerifier : public ::testing::Test {
 protected:
  void SetUp() override { L = open_state(); }
  void TearDown() override { close_state(L); }

  // A prototype owned by the state's object list, with exactly sized arrays.
  Prototype* make(const std::vector<Instruction>& code, int max_stack = 4, int nconst = 2, int nup = 0,
                  uint8_t vararg = 0, std::vector<Prototype*> nested = {}) {
    Prototype* p = new_prototype(L);
    p->max_stack_size = static_cast<uint8_t>(max_stack);
    p->numparams = 1;
    p->vararg_flags = vararg;
    p->nupvalues = static_cast<uint8_t>(nup);
    p->code = mem_realloc_vector<Instruction>(L, nullptr, 0, code.size(), SIZE_MAX);
    p->size_code = static_cast<int>(code.size());
    for (size_t i = 0; i < code.size(); i++) p->code[i] = to_exec_form(code[i]);
    p->constants = mem_realloc_vector<Value>(L, nullptr, 0, static_cast<size_t>(nconst), SIZE_MAX);
    p->size_constants = nconst;
    for (int i = 0; i < nconst; i++) p->constants[i] = make_number(i);
    if (nconst > 0) p->constants[0] = make_string(intern_string(L, "name"));
    if (!nested.empty()) {
      p->protos = mem_realloc_vector<Prototype*>(L, nullptr, 0, nested.size(), SIZE_MAX);
      p->size_protos = static_cast<int>(nested.size());
      for (size_t i = 0; i < nested.size(); i++) p->protos[i] = nested[i];
    }
    return p;
  }
  static Instruction ret() { return make_abc(OP_RETURN, 0, 1, 0); }
  VmState* L = nullptr;
};

TEST_F(CompilerVerifier, PrototypeWideRules) {
  EXPECT_TRUE(verify_prototype(make({ret()})));
  EXPECT_FALSE(verify_prototype(make({})));                                    // no code
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_MOVE, 0, 1, 0)})));          // last is not RETURN
  EXPECT_FALSE(verify_prototype(make({ret()}, 251)));                          // stack above 250
  Prototype* p = make({ret()}, 1);
  p->numparams = 1;
  p->vararg_flags = 0x01;
  EXPECT_FALSE(verify_prototype(p));  // params + 1 > max stack
  EXPECT_FALSE(verify_prototype(make({ret()}, 4, 2, 0, 0x04)));  // 0x04 without 0x01
  Prototype* q = make({ret()});
  q->line_info = mem_realloc_vector<int>(L, nullptr, 0, 2, SIZE_MAX);
  q->size_line_info = 2;
  EXPECT_FALSE(verify_prototype(q));  // line info neither empty nor one per instruction
}

TEST_F(CompilerVerifier, RegistersAndConstants) {
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_MOVE, 4, 0, 0), ret()})));             // A out of frame
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_MOVE, 0, 4, 0), ret()})));             // B register
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_MOVE, 0, 1, 1), ret()})));             // unused C must be 0
  EXPECT_TRUE(verify_prototype(make({make_abc(OP_ADD, 0, rk_constant(1), 1), ret()})));
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_ADD, 0, rk_constant(2), 1), ret()})));  // constant 2 of 2
  EXPECT_FALSE(verify_prototype(make({make_abx(OP_LOADK, 0, 2), ret()})));
  EXPECT_TRUE(verify_prototype(make({make_abx(OP_GETNS, 0, 0), ret()})));
  EXPECT_FALSE(verify_prototype(make({make_abx(OP_GETNS, 0, 1), ret()})));  // name must be a string
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_GETUPVAL, 0, 0, 0), ret()})));
  EXPECT_TRUE(verify_prototype(make({make_abc(OP_GETUPVAL, 0, 0, 0), ret()}, 4, 2, 1)));
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_SELF, 3, 0, rk_constant(0)), ret()})));
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_CONCAT, 0, 2, 2), ret()})));
  EXPECT_FALSE(verify_prototype(make({63, ret()})));  // undefined opcode
}

TEST_F(CompilerVerifier, Jumps) {
  EXPECT_TRUE(verify_prototype(make({make_asbx(OP_JMP, 0, 0), ret()})));
  EXPECT_FALSE(verify_prototype(make({make_asbx(OP_JMP, 0, 1), ret()})));   // leaves the code
  EXPECT_FALSE(verify_prototype(make({make_asbx(OP_JMP, 0, -2), ret()})));  // before the start
  // a test instruction must be followed by a JMP
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_EQ, 1, 0, 1), ret()})));
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_EQ, 1, 0, 1), make_abc(OP_MOVE, 0, 1, 0), ret()})));
  EXPECT_TRUE(verify_prototype(make({make_abc(OP_EQ, 1, 0, 1), make_asbx(OP_JMP, 0, 0), ret()})));
  // jumping onto the count word of an extended SETLIST
  std::vector<Instruction> code = {make_asbx(OP_JMP, 0, 2), make_abc(OP_SETLIST, 0, 1, 0), 600, ret()};
  EXPECT_TRUE(verify_prototype(make(code)));  // lands after the count word
  code[0] = make_asbx(OP_JMP, 0, 1);
  EXPECT_FALSE(verify_prototype(make(code)));  // lands on it
  EXPECT_FALSE(verify_prototype(make({make_asbx(OP_FORPREP, 1, 0), ret()})));  // A + 3 out of frame
}

TEST_F(CompilerVerifier, JumpOffsetsStopAtTheCompilersLimit) {
  // The longest forward jump the compiler emits (+131071) passes; the one field value above it
  // (+131072) is refused even where its target exists.
  std::vector<Instruction> code(MAXARG_SBX + 3, make_abc(OP_MOVE, 0, 0, 0));
  code.back() = ret();
  code[0] = make_asbx(OP_JMP, 0, MAXARG_SBX);
  EXPECT_TRUE(verify_prototype(make(code)));
  code[0] = make_abx(OP_JMP, 0, MAXARG_BX);
  EXPECT_FALSE(verify_prototype(make(code)));
  code[0] = make_abx(OP_FORLOOP, 0, MAXARG_BX);
  EXPECT_FALSE(verify_prototype(make(code)));
}

TEST_F(CompilerVerifier, CallsAndOpenResults) {
  EXPECT_TRUE(verify_prototype(make({make_abc(OP_CALL, 0, 2, 0), make_abc(OP_RETURN, 0, 0, 0), ret()})));
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_CALL, 0, 2, 0), make_abc(OP_RETURN, 0, 1, 0), ret()})));
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_CALL, 2, 3, 1), ret()})));  // A + B - 1 = 4
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_CALL, 0, 1, 6), ret()})));  // A + C - 2 = 4
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_RETURN, 3, 3, 0), ret()})));
  // VARARG needs the vararg flag and an open consumer for B = 0
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_VARARG, 0, 2, 0), ret()})));
  EXPECT_TRUE(verify_prototype(make({make_abc(OP_VARARG, 0, 2, 0), ret()}, 4, 2, 0, 0x02)));
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_VARARG, 0, 0, 0), ret()}, 4, 2, 0, 0x02)));
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_VARARG, 0, 2, 0), ret()}, 4, 2, 0, 0x07)));
}

TEST_F(CompilerVerifier, ListsLoopsAndClosures) {
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_TFORLOOP, 0, 0, 0), make_asbx(OP_JMP, 0, 0), ret()}, 6)));
  EXPECT_TRUE(verify_prototype(make({make_abc(OP_TFORLOOP, 0, 0, 1), make_asbx(OP_JMP, 0, 0), ret()}, 6)));
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_TFORNEXT, 0, 0, 4), make_asbx(OP_JMP, 0, 0), ret()}, 6)));
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_SETLIST, 0, 4, 1), ret()})));
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_SETLIST, 0, 1, 0), ret()})));  // count word would be last
  EXPECT_FALSE(verify_prototype(make({make_abc(OP_LOADBOOL, 0, 1, 1), ret()})));
  EXPECT_FALSE(verify_prototype(
      make({make_abc(OP_LOADBOOL, 0, 1, 1), make_abc(OP_SETLIST, 0, 1, 0), 600, ret()})));
  Prototype* child = make({ret()}, 2, 0, 1);
  EXPECT_FALSE(verify_prototype(make({make_abx(OP_CLOSURE, 0, 1), ret()}, 4, 2, 0, 0, {child})));
  EXPECT_FALSE(verify_prototype(make({make_abx(OP_CLOSURE, 0, 0), ret()}, 4, 2, 0, 0, {child})));  // capture missing
  EXPECT_TRUE(verify_prototype(
      make({make_abx(OP_CLOSURE, 0, 0), make_abc(OP_MOVE, 0, 1, 0), ret()}, 4, 2, 0, 0, {child})));
  EXPECT_FALSE(verify_prototype(
      make({make_abx(OP_CLOSURE, 0, 0), make_abc(OP_ADD, 0, 1, 1), ret()}, 4, 2, 0, 0, {child})));
}

// Every opcode lists under its own name (names are distinct, so the listing tells them apart), and
// a word past the opcode list shows as a word.
TEST_F(CompilerVerifier, EveryOpcodeListsUnderItsName) {
  std::set<std::string> seen;
  for (int op = 0; op < OPCODE_COUNT; ++op) {
    Instruction word = op_format(op) == FORMAT_ABC ? make_abc(op, 1, 0, 0) : make_abx(op, 1, 0);
    std::string text = disassemble_instruction(make({word, ret()}), 0);
    std::string name = text.substr(0, text.find(' '));
    EXPECT_EQ(name, OPCODE_NAMES[op]) << op;
    EXPECT_FALSE(name.empty()) << op;
    EXPECT_TRUE(seen.insert(name).second) << name << " names two opcodes";
    EXPECT_EQ(text.substr(name.size(), 2), " 1") << text;  // A follows the name
  }
  Instruction undefined = make_abc(OPCODE_COUNT, 0, 0, 0);
  EXPECT_EQ(disassemble_instruction(make({undefined, ret()}), 0), "<word " + std::to_string(undefined) + ">");
}

// Random edits of valid programs must end in a syntax error or in code the verifier accepts.
TEST_F(CompilerVerifier, MutatedSourcesNeverYieldBadCode) {
  const std::vector<std::string> seeds = {
      "var a = 1; for (i = 0; i < 10; i++) { a += i; if (a > 5) break }",
      "function f(x, y = 2, ...) { return x ? y : f(x - 1, ...) }",
      "t = {1, 2, a = 3, [k] = 4, WORD w = 5, @ = {}}; x = t[1, 2] ++ t[[3]]",
      "select x { case 1, 2 { y = 1 } case 3 to 5 { } case > 9 { } else { } }",
      "C = class { ctor(a) { this.a = a } b = function() { return this.a } }",
      "try { error('x') } catch (e) { print(e) } namespace a.b { c = 1 } with t { d = 2 }",
      "<p><?= x, y ?></p><? for k, v in t { ?><li><?= v ?></li><? } ?>",
      "while (var l = r()) { continue } do { n-- } while n > 0; x = lambda(a) a * 2",
  };
  const std::string alphabet = "(){}[];,.=+-*/%<>!?:@#~&|^'\"`$_aZ0 \n\\";
  std::mt19937 rng(12345);
  int compiled = 0, rejected = 0;
  for (int round = 0; round < 3000; round++) {
    std::string s = seeds[rng() % seeds.size()];
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !s.empty(); e++) {
      size_t pos = rng() % s.size();
      switch (rng() % 3) {
        case 0: s.erase(pos, 1 + rng() % 3); break;
        case 1: s.insert(pos, 1, alphabet[rng() % alphabet.size()]); break;
        default: s[pos] = alphabet[rng() % alphabet.size()]; break;
      }
    }
    std::string msg;
    int status = 0;
    Prototype* p = compile_in(L, s, &msg, &status, "=m");
    if (p) {
      compiled++;
      ASSERT_TRUE(verify_prototype_tree(p)) << s << "\n" << disassemble(p);
    } else {
      rejected++;
      ASSERT_EQ(status, 3) << s << "\n" << msg;
    }
    ASSERT_EQ(L->native_depth, 0) << s;
  }
  EXPECT_GT(compiled, 100);
  EXPECT_GT(rejected, 100);
}

}  // namespace
}  // namespace quevro
