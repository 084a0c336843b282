// The interpreter's form of the code: a one-to-one rearrangement of every word, decoders that
// agree with the stored form, and the entries of opcodes with a register/constant choice.
#include <random>
#include <string>
#include <vector>

#include "vm_script_support.h"
#include "vm/exec_form.h"

namespace quevro::test {
namespace {

std::vector<Instruction> sample_words() {
  std::vector<Instruction> words = {0u, 0xFFFFFFFFu, 0x80000000u, 0x00400000u, 0x3Fu};
  std::mt19937 rng(20261210);
  for (int n = 0; n < 200000; ++n) words.push_back(rng());
  // Every opcode with extreme fields.
  for (int op = 0; op < 64; ++op)
    for (Instruction rest : {0u, 0xFFFFFFC0u, 0x55555540u, 0xAAAAAA80u}) words.push_back(rest | static_cast<Instruction>(op));
  return words;
}

TEST(ExecForm, EveryWordComesBackUnchanged) {
  for (Instruction w : sample_words()) {
    ASSERT_EQ(from_exec_form(to_exec_form(w)), w) << w;
    ASSERT_EQ(to_exec_form(from_exec_form(w)), w) << w;
    ASSERT_EQ(get_op(to_exec_form(w)), get_op(w)) << w;  // the opcode field stays in place
  }
}

TEST(ExecForm, DecodersAgreeWithTheStoredForm) {
  for (Instruction w : sample_words()) {
    int op = get_op(w);
    if (op >= OPCODE_COUNT) continue;
    Instruction e = to_exec_form(w);
    ASSERT_EQ(exec::op(e), op);
    switch (op_format(op)) {
      case FORMAT_ABC:
        ASSERT_EQ(exec::a(e), get_a(w));
        ASSERT_EQ(exec::b9(e), get_b(w));
        ASSERT_EQ(exec::c9(e), get_c(w));
        ASSERT_EQ(exec::b8(e), get_b(w) & 0xFF);
        ASSERT_EQ(exec::c8(e), get_c(w) & 0xFF);
        ASSERT_EQ(exec::c_nonzero(e), get_c(w) != 0);
        ASSERT_EQ(exec::b_is_constant(e), rk_is_constant(get_b(w)));
        ASSERT_EQ(exec::c_is_constant(e), rk_is_constant(get_c(w)));
        ASSERT_EQ(exec::a_offset(e), static_cast<uint32_t>(get_a(w)) * 16);
        ASSERT_EQ(exec::b_offset(e), static_cast<uint32_t>(get_b(w) & 0xFF) * 16);
        ASSERT_EQ(exec::c_offset(e), static_cast<uint32_t>(get_c(w) & 0xFF) * 16);
        // Dispatch reads the opcode and both constant flags from the low byte.
        ASSERT_EQ(e & 0xFF, static_cast<uint32_t>(op | (rk_is_constant(get_c(w)) ? 0x40 : 0) |
                                                  (rk_is_constant(get_b(w)) ? 0x80 : 0)));
        break;
      case FORMAT_ABX:
        ASSERT_EQ(exec::ax(e), get_a(w));
        ASSERT_EQ(exec::bx(e), get_bx(w));
        ASSERT_EQ(exec::ax_offset(e), static_cast<uint32_t>(get_a(w)) * 16);
        break;
      case FORMAT_ASBX:
        ASSERT_EQ(exec::ax(e), get_a(w));
        if (get_bx(w) != MAXARG_BX) {
          ASSERT_EQ(exec::sbx(e), get_sbx(w)) << get_bx(w);
        }
        break;
    }
  }
  // The extreme offsets the compiler can emit.
  EXPECT_EQ(exec::sbx(to_exec_form(make_asbx(OP_JMP, 0, MAXARG_SBX))), MAXARG_SBX);
  EXPECT_EQ(exec::sbx(to_exec_form(make_asbx(OP_JMP, 0, -MAXARG_SBX))), -MAXARG_SBX);
  EXPECT_EQ(exec::sbx(to_exec_form(make_asbx(OP_FORLOOP, 7, -1))), -1);
}

class ExecFormRun : public ScriptTest {
 protected:
  // A function of (owner, x, y) computing `op` on each register/constant combination of x and y
  // (the constants hold the same values) and returning the four results.
  Value four_ways(int op, const Value& x, const Value& y) {
    Assembler a(L, 3);
    int kx = Assembler::rk(a.k_value(x)), ky = Assembler::rk(a.k_value(y));
    a.abc(op, 3, 1, 2);
    a.abc(op, 4, 1, ky);
    a.abc(op, 5, kx, 2);
    a.abc(op, 6, kx, ky);
    a.ret(3, 4);
    return a.closure();
  }

  // Whether the comparison test `op` on (x, y) jumps, for the four combinations in the order
  // above: a text of 'y' (jumped) and 'n' after a leading 's'.
  std::string compare_four_ways(int op, const Value& x, const Value& y) {
    Assembler a(L, 3);
    int kx = Assembler::rk(a.k_value(x)), ky = Assembler::rk(a.k_value(y));
    a.loadk(7, "s");
    int yes = a.ks("y"), no = a.ks("n");
    const int operands[4][2] = {{1, 2}, {1, ky}, {kx, 2}, {kx, ky}};
    for (const auto& o : operands) {
      a.abc(op, 1, o[0], o[1]);
      a.asbx(OP_JMP, 0, 2);
      a.abc(OP_ADD, 7, 7, no);
      a.asbx(OP_JMP, 0, 1);
      a.abc(OP_ADD, 7, 7, yes);
    }
    a.ret(7, 1);
    return text_of(ok1(a.closure(), {x, y}));
  }
};

TEST_F(ExecFormRun, ArithmeticOnEveryOperandCombination) {
  struct Case {
    int op;
    double x, y, expected;
  };
  for (Case c : {Case{OP_ADD, 2, 3.5, 5.5}, Case{OP_SUB, 2, 3.5, -1.5}, Case{OP_MUL, -2, 3.5, -7},
                 Case{OP_DIV, 7, 2, 3.5}, Case{OP_MOD, -7, 3, 2}, Case{OP_POW, 2, 10, 1024}}) {
    std::vector<Value> r = ok(four_ways(c.op, num(c.x), num(c.y)), {num(c.x), num(c.y)});
    ASSERT_EQ(r.size(), 4u);
    for (const Value& v : r) EXPECT_EQ(v.number(), c.expected) << OPCODE_NAMES[c.op];
  }
  // The slow path sees the operands the combination names: strings join, numeric text adds.
  std::vector<Value> r = ok(four_ways(OP_ADD, str("a"), str("b")), {str("a"), str("b")});
  ASSERT_EQ(r.size(), 4u);
  for (const Value& v : r) EXPECT_EQ(text_of(v), "ab");
  r = ok(four_ways(OP_SUB, str("10"), num(4)), {str("10"), num(4)});
  for (const Value& v : r) EXPECT_EQ(v.number(), 6);
}

TEST_F(ExecFormRun, ComparisonsOnEveryOperandCombination) {
  EXPECT_EQ(compare_four_ways(OP_LT, num(1), num(2)), "syyyy");
  EXPECT_EQ(compare_four_ways(OP_LT, num(2), num(1)), "snnnn");
  EXPECT_EQ(compare_four_ways(OP_LE, num(2), num(2)), "syyyy");
  EXPECT_EQ(compare_four_ways(OP_EQ, num(2), num(2)), "syyyy");
  EXPECT_EQ(compare_four_ways(OP_EQ, str("x"), str("x")), "syyyy");
  EXPECT_EQ(compare_four_ways(OP_EQ, str("x"), str("y")), "snnnn");
  EXPECT_EQ(compare_four_ways(OP_EQ, num(1), str("1")), "syyyy");  // loose equality converts
  EXPECT_EQ(compare_four_ways(OP_EQSTRICT, num(1), str("1")), "snnnn");
  EXPECT_EQ(compare_four_ways(OP_LT, str("a"), str("b")), "syyyy");
}

TEST_F(ExecFormRun, TableAccessOnEveryOperandCombination) {
  Assembler a(L, 2);
  int kname = a.ks("name"), kvalue = a.ks("value"), k3 = a.kn(3);
  a.loadk(2, "name");
  a.loadk(3, "value");
  a.loadk(4, 3);
  a.abc(OP_SETTABLE, 1, 2, 3);         // t.name = "value", both registers
  a.abc(OP_SETTABLEF, 1, k3, 3);       // t[3] = "value"
  a.abc(OP_SETTABLE, 1, kname, kvalue);
  a.abc(OP_SETTABLEF, 1, 4, kvalue);
  a.abc(OP_GETTABLE, 5, 1, 2);
  a.abc(OP_GETTABLE, 6, 1, kname);
  a.abc(OP_GETTABLEN, 7, 1, 4);
  a.abc(OP_GETTABLEN, 8, 1, k3);
  a.abc(OP_SELF, 9, 1, kname);  // R9 = t.name, R10 = t
  a.abc(OP_SELF, 11, 1, 2);
  a.ret(5, 8);
  TableObject* t = new_tab();
  std::vector<Value> r = ok(a.closure(), {make_object(t)});
  ASSERT_EQ(r.size(), 8u);
  for (int n : {0, 1, 2, 3, 4, 6}) EXPECT_EQ(text_of(r[n]), "value") << n;
  EXPECT_EQ(r[5].table(), t);
  EXPECT_EQ(r[7].table(), t);
}

TEST_F(ExecFormRun, LongJumpsBothWays) {
  // Offsets past 16 bits forward and back: a JMP over 40,000 fillers, a test's JMP over as many,
  // and a loop whose back jump spans them.
  const int span = 40000;
  Assembler a(L, 3);
  int thousand = a.kn(1000), one = a.kn(1), half = a.kn(0.5);
  a.loadk(3, 0.0);
  int skip = a.asbx(OP_JMP, 0, 0);
  for (int n = 0; n < span; ++n) a.abc(OP_ADD, 3, 3, thousand);  // never run
  a.patch(skip, a.here());
  a.abc(OP_LT, 1, 1, 2);  // x < y jumps over the fillers
  int test_jump = a.asbx(OP_JMP, 0, 0);
  for (int n = 0; n < span; ++n) a.abc(OP_ADD, 3, 3, one);
  a.patch(test_jump, a.here());
  // for i = 1, 2: the body is long, the FORLOOP jumps back over it.
  a.loadk(4, 1.0);
  a.loadk(5, 2.0);
  a.loadk(6, 1.0);
  int prep = a.asbx(OP_FORPREP, 4, 0);
  int body = a.here();
  for (int n = 0; n < span; ++n) a.abc(OP_ADD, 3, 3, half);
  a.patch(prep, a.here());
  int loop = a.asbx(OP_FORLOOP, 4, 0);
  a.patch(loop, body);
  a.ret(3, 1);
  a.max_stack = 10;
  Value fn = a.closure();
  EXPECT_EQ(ok1(fn, {num(1), num(2)}).number(), 2 * span * 0.5);           // jumped over the fillers
  EXPECT_EQ(ok1(fn, {num(2), num(1)}).number(), span + 2 * span * 0.5);     // ran them
}

}  // namespace
}  // namespace quevro::test
