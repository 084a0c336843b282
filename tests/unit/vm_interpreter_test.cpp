#include <cmath>
#include <string>

#include "vm_script_support.h"

namespace quevro::test {
namespace {

using InterpreterTest = ScriptTest;

const std::string ARITH_ON = "\n{Attempt to}:perform arithmetic on\n{Type}:";

TEST(OpcodeModes, DescribeEachOperand) {
  EXPECT_EQ(op_format(OP_LOADK), FORMAT_ABX);
  EXPECT_EQ(op_kind_b(OP_LOADK), OPERAND_RK);  // Bx names a constant
  EXPECT_EQ(op_format(OP_JMP), FORMAT_ASBX);
  EXPECT_EQ(op_format(OP_ADD), FORMAT_ABC);
  EXPECT_EQ(op_kind_b(OP_ADD), OPERAND_RK);
  EXPECT_EQ(op_kind_c(OP_ADD), OPERAND_RK);
  EXPECT_EQ(op_kind_b(OP_MOVE), OPERAND_REGISTER);
  EXPECT_EQ(op_kind_c(OP_MOVE), OPERAND_UNUSED);
  EXPECT_EQ(op_kind_b(OP_CALL), OPERAND_VALUE);
  EXPECT_TRUE(op_is_test(OP_EQ));
  EXPECT_TRUE(op_is_test(OP_TFORLOOP));
  EXPECT_FALSE(op_is_test(OP_JMP));
  EXPECT_TRUE(op_writes_a(OP_TESTSET));
  EXPECT_FALSE(op_writes_a(OP_SETTABLE));
}

TEST(InstructionWord, FieldLayout) {
  Instruction i = make_abc(OP_ADD, 3, rk_constant(5), 7);
  EXPECT_EQ(get_op(i), OP_ADD);
  EXPECT_EQ(get_a(i), 3);
  EXPECT_EQ(get_b(i), 256 + 5);
  EXPECT_EQ(get_c(i), 7);
  EXPECT_NE(i & (1u << 31), 0u);  // B names a constant through bit 31
  Instruction c = make_abc(OP_ADD, 0, 0, rk_constant(1));
  EXPECT_NE(c & (1u << 22), 0u);  // C names a constant through bit 22
  EXPECT_EQ(get_sbx(make_asbx(OP_JMP, 0, -131071)), -131071);
  EXPECT_EQ(get_bx(make_asbx(OP_JMP, 0, 0)), 131071);
  EXPECT_EQ(fb_decode(7), 7);
  EXPECT_EQ(fb_decode(8), 8);
  EXPECT_EQ(fb_decode(17), 18);
  for (unsigned n : {0u, 5u, 8u, 9u, 100u, 1000u, 65536u}) EXPECT_GE(fb_decode(fb_encode(n)), static_cast<int>(n));
}

// ---- arithmetic ----

TEST_F(InterpreterTest, ArithmeticOnNumbers) {
  EXPECT_EQ(binop(OP_ADD, num(2), num(3)).number(), 5);
  EXPECT_EQ(binop(OP_SUB, num(2), num(3)).number(), -1);
  EXPECT_EQ(binop(OP_MUL, num(2.5), num(4)).number(), 10);
  EXPECT_EQ(binop(OP_DIV, num(1), num(4)).number(), 0.25);
  EXPECT_EQ(binop(OP_MOD, num(5.5), num(2)).number(), 1.5);
  EXPECT_EQ(binop(OP_MOD, num(-5), num(3)).number(), 1);  // floored
  EXPECT_EQ(binop(OP_MOD, num(5), num(-3)).number(), -1);
  EXPECT_EQ(binop(OP_POW, num(2), num(10)).number(), 1024);
  EXPECT_TRUE(std::isinf(binop(OP_DIV, num(1), num(0)).number()));
  EXPECT_TRUE(std::isnan(binop(OP_DIV, num(0), num(0)).number()));
}

TEST_F(InterpreterTest, ArithmeticWithNumericStrings) {
  EXPECT_EQ(binop(OP_ADD, str("10"), num(5)).number(), 15);
  EXPECT_EQ(binop(OP_SUB, num(10), str("0x4")).number(), 6);
  EXPECT_EQ(binop(OP_MUL, str(" 3 "), str("4")).number(), 12);
  EXPECT_EQ(binop(OP_MOD, str("7"), str("4")).number(), 3);
  EXPECT_EQ(binop(OP_POW, str("2"), str("3")).number(), 8);
  EXPECT_EQ(binop(OP_ADD, str("8#10"), num(0)).number(), 8);
  EXPECT_EQ(binop(OP_ADD, str(""), num(1)).number(), 1);  // empty text converts to 0
}

TEST_F(InterpreterTest, AddingNonNumericStringsJoinsThem) {
  EXPECT_EQ(text_of(binop(OP_ADD, str("a"), str("b"))), "ab");
  EXPECT_EQ(text_of(binop(OP_ADD, str("1"), str("b"))), "1b");
  Value wide = binop(OP_ADD, wstr(u"x"), wstr(u"yz"));
  ASSERT_EQ(wide.tag, TAG_STRING);
  EXPECT_TRUE(wide.string()->is_wide());
  EXPECT_EQ(wide.string(), wstr(u"xyz").string());
  Value mixed = binop(OP_ADD, wstr(u"x"), str("y"));
  ASSERT_EQ(mixed.tag, TAG_STRING);
  EXPECT_FALSE(mixed.string()->is_wide());
  EXPECT_EQ(text_of(mixed), std::string("x\0y", 3));
  // Only ADD joins strings.
  EXPECT_EQ(binop_error(OP_SUB, str("a"), str("b")), annotated(1, ARITH_ON + "string"));
}

TEST_F(InterpreterTest, ArithmeticErrorNamesLeftUnlessItIsNumeric) {
  EXPECT_EQ(binop_error(OP_ADD, make_null(), tab()), annotated(1, ARITH_ON + "null"));
  EXPECT_EQ(binop_error(OP_ADD, num(5), tab()), annotated(1, ARITH_ON + "table"));
  EXPECT_EQ(binop_error(OP_MUL, str("1"), make_boolean(1)), annotated(1, ARITH_ON + "boolean"));
  EXPECT_EQ(binop_error(OP_SUB, make_boolean(0), num(1)), annotated(1, ARITH_ON + "boolean"));
  EXPECT_EQ(binop_error(OP_DIV, tab(), make_null()), annotated(1, ARITH_ON + "table"));
  EXPECT_EQ(binop_error(OP_ADD, str("x"), num(1)), annotated(1, ARITH_ON + "string"));
}

TEST_F(InterpreterTest, UnaryMinus) {
  Assembler a(L, 2);
  a.abc(OP_UNM, 0, 1);
  a.ret(0, 1);
  Value fn = a.closure();
  EXPECT_EQ(ok1(fn, {num(3)}).number(), -3);
  EXPECT_EQ(ok1(fn, {str("2")}).number(), -2);
  EXPECT_EQ(fails(fn, {tab()}), annotated(1, ARITH_ON + "table"));
}

TEST_F(InterpreterTest, BitOperations) {
  EXPECT_EQ(binop(OP_SHR, num(-1), num(0)).number(), 4294967295.0);
  EXPECT_EQ(binop(OP_SAR, num(-1), num(31)).number(), -1);
  EXPECT_EQ(binop(OP_SHL, num(1), num(33)).number(), 2);  // low five bits of the count
  EXPECT_EQ(binop(OP_SHL, num(1), num(31)).number(), -2147483648.0);
  EXPECT_EQ(binop(OP_BAND, num(4294967296.0 + 5), num(7)).number(), 5);
  EXPECT_EQ(binop(OP_BAND, num(2.5), num(3)).number(), 2);
  EXPECT_EQ(binop(OP_BAND, num(3.5), num(7)).number(), 4);
  EXPECT_EQ(binop(OP_BOR, str("8"), num(1)).number(), 9);
  EXPECT_EQ(binop(OP_BXOR, num(5), str("3")).number(), 6);
  EXPECT_EQ(binop(OP_SHR, str("0x80000000"), num(31)).number(), 1);
  EXPECT_EQ(binop(OP_SAR, str("-8"), num(1)).number(), -4);
  EXPECT_EQ(binop(OP_BOR, num(0x7FFFFFFF), num(0x80000000)).number(), -1);  // signed result
  Assembler a(L, 2);
  a.abc(OP_BNOT, 0, 1);
  a.ret(0, 1);
  Value bnot = a.closure();
  EXPECT_EQ(ok1(bnot, {num(0)}).number(), -1);
  EXPECT_EQ(ok1(bnot, {str("5")}).number(), -6);
  EXPECT_EQ(fails(bnot, {tab()}), annotated(1, ARITH_ON + "table"));
  EXPECT_EQ(binop_error(OP_BAND, num(1), make_null()), annotated(1, ARITH_ON + "null"));
  EXPECT_EQ(binop_error(OP_SHR, tab(), num(1)), annotated(1, ARITH_ON + "table"));
  EXPECT_EQ(binop_error(OP_SHL, tab(), num(1)), annotated(1, ARITH_ON + "table"));
}

// ---- equality and order ----

TEST_F(InterpreterTest, LooseEqualityCornerCases) {
  EXPECT_TRUE(jumps(OP_EQ, num(0), make_boolean(0)));
  EXPECT_TRUE(jumps(OP_EQ, make_boolean(0), num(0)));
  EXPECT_TRUE(jumps(OP_EQ, num(1), make_boolean(1)));
  EXPECT_TRUE(jumps(OP_EQ, num(-0.0), make_boolean(0)));
  EXPECT_FALSE(jumps(OP_EQ, num(2), make_boolean(0)));
  EXPECT_TRUE(jumps(OP_EQ, num(2), make_boolean(1)));
  EXPECT_TRUE(jumps(OP_EQ, str("x"), make_boolean(1)));
  EXPECT_FALSE(jumps(OP_EQ, str("x"), make_boolean(0)));
  EXPECT_TRUE(jumps(OP_EQ, tab(), make_boolean(1)));
  EXPECT_TRUE(jumps(OP_EQ, make_boolean(1), tab()));
  EXPECT_TRUE(jumps(OP_EQ, make_null(), make_boolean(0)));
  EXPECT_FALSE(jumps(OP_EQ, make_null(), make_boolean(1)));
  EXPECT_FALSE(jumps(OP_EQ, make_null(), num(0)));
  EXPECT_FALSE(jumps(OP_EQ, num(0), make_null()));
  EXPECT_TRUE(jumps(OP_EQ, make_null(), make_null()));
  EXPECT_TRUE(jumps(OP_EQ, str("1"), num(1)));
  EXPECT_TRUE(jumps(OP_EQ, num(1), str("1")));
  EXPECT_TRUE(jumps(OP_EQ, str("0x10"), num(16)));
  EXPECT_FALSE(jumps(OP_EQ, str("1a"), num(1)));
  EXPECT_TRUE(jumps(OP_EQ, make_boolean(5), make_boolean(5)));
  EXPECT_FALSE(jumps(OP_EQ, make_boolean(5), make_boolean(1)));  // words compared as stored
  EXPECT_TRUE(jumps(OP_EQ, make_pointer(reinterpret_cast<void*>(100)), num(100.7)));
  EXPECT_FALSE(jumps(OP_EQ, make_pointer(reinterpret_cast<void*>(100)), num(101)));
  EXPECT_FALSE(jumps(OP_EQ, tab(), num(0)));
  EXPECT_FALSE(jumps(OP_EQ, str("1"), str("1.0")));  // two strings compare by identity
  EXPECT_FALSE(jumps(OP_EQ, tab(), tab()));
  EXPECT_FALSE(jumps(OP_EQ, num(NAN), num(NAN)));
  EXPECT_FALSE(jumps(OP_EQ, str("a"), wstr(u"a")));
  // A = 0 inverts the sense of the jump.
  EXPECT_TRUE(jumps(OP_EQ, make_null(), num(0), 0));
  EXPECT_FALSE(jumps(OP_EQ, str("1"), num(1), 0));
}

TEST_F(InterpreterTest, StrictEquality) {
  EXPECT_FALSE(jumps(OP_EQSTRICT, str("1"), num(1)));
  EXPECT_FALSE(jumps(OP_EQSTRICT, num(0), make_boolean(0)));
  EXPECT_FALSE(jumps(OP_EQSTRICT, make_null(), make_boolean(0)));
  EXPECT_TRUE(jumps(OP_EQSTRICT, make_null(), make_null()));
  EXPECT_TRUE(jumps(OP_EQSTRICT, num(0), num(-0.0)));
  EXPECT_FALSE(jumps(OP_EQSTRICT, num(NAN), num(NAN)));
  EXPECT_TRUE(jumps(OP_EQSTRICT, str("s"), str("s")));
  Value t = tab();
  EXPECT_TRUE(jumps(OP_EQSTRICT, t, t));
  EXPECT_FALSE(jumps(OP_EQSTRICT, t, tab()));
  EXPECT_TRUE(jumps(OP_EQSTRICT, str("1"), num(1), 0));  // !==
}

TEST_F(InterpreterTest, OrderComparisons) {
  EXPECT_TRUE(jumps(OP_LT, num(1), num(2)));
  EXPECT_FALSE(jumps(OP_LT, num(2), num(2)));
  EXPECT_TRUE(jumps(OP_LE, num(2), num(2)));
  EXPECT_FALSE(jumps(OP_LT, num(NAN), num(1)));
  EXPECT_FALSE(jumps(OP_LE, num(NAN), num(NAN)));
  EXPECT_TRUE(jumps(OP_LT, str("a"), str("b")));
  EXPECT_TRUE(jumps(OP_LT, str("ab"), str("abc")));  // a prefix is smaller
  EXPECT_FALSE(jumps(OP_LT, str("abc"), str("ab")));
  EXPECT_TRUE(jumps(OP_LE, str("ab"), str("ab")));
  EXPECT_TRUE(jumps(OP_LT, str(std::string("a\0a", 3)), str(std::string("a\0b", 3))));  // across a zero byte
  EXPECT_TRUE(jumps(OP_LT, str(std::string("a", 1)), str(std::string("a\0", 2))));
  // LE across types is simply false; LT raises.
  EXPECT_FALSE(jumps(OP_LE, num(1), str("2")));
  EXPECT_EQ(fails(test_function(OP_LT, 1), {num(1), str("2")}),
            annotated(1, "\n{Attempt to}:compare number with string"));
}

TEST_F(InterpreterTest, OrderComparisonErrorTexts) {
  Value lt = test_function(OP_LT, 1);
  Value fiber = make_object(new_fiber(L));
  EXPECT_EQ(fails(lt, {tab(), fiber}), annotated(1, "\n{Attempt to}:compare table with fiber"));
  EXPECT_EQ(fails(lt, {tab(), tab()}), annotated(1, "\n{Attempt to}:compare two table values"));
  EXPECT_EQ(fails(test_function(OP_LE, 1), {tab(), tab()}), annotated(1, "\n{Attempt to}:compare two table values"));
  EXPECT_EQ(fails(lt, {make_null(), make_null()}), annotated(1, "\n{Attempt to}:compare two null values"));
}

TEST_F(InterpreterTest, NotAndTestUseTheFalsyRule) {
  Assembler a(L, 2);
  a.abc(OP_NOT, 0, 1);
  a.ret(0, 1);
  Value fn = a.closure();
  EXPECT_EQ(ok1(fn, {num(0)}).u.b, 1u);
  EXPECT_EQ(ok1(fn, {num(-0.0)}).u.b, 1u);
  EXPECT_EQ(ok1(fn, {num(NAN)}).u.b, 0u);
  EXPECT_EQ(ok1(fn, {str("")}).u.b, 0u);
  EXPECT_EQ(ok1(fn, {make_null()}).u.b, 1u);
  EXPECT_EQ(ok1(fn, {make_boolean(0)}).u.b, 1u);

  // while (n) n = n - 1; with a count of iterations: TEST treats 0 as false.
  Assembler w(L, 2);
  w.loadk(2, 0.0);                 // 0 count
  int top = w.abc(OP_TEST, 1, 0, 0);  // 1 if falsy(n) == 0 skip the JMP (continue), else jump out
  int exit_jump = w.asbx(OP_JMP, 0, 0);
  w.abc(OP_SUB, 1, 1, w.kn(1));
  w.abc(OP_ADD, 2, 2, w.kn(1));
  w.jmp_to(top);
  w.patch(exit_jump, w.here());
  w.ret(2, 1);
  EXPECT_EQ(ok1(w.closure(), {num(5)}).number(), 5);
}

TEST_F(InterpreterTest, TestSetCopiesOnJump) {
  // R0 := R1 or "default" in the TESTSET form: if R1 is truthy, R0 := R1 and jump.
  Assembler a(L, 2);
  a.abc(OP_TESTSET, 0, 1, 1);  // C = 1: skip when falsy(R1) == true
  a.asbx(OP_JMP, 0, 1);
  a.loadk(0, "default");
  a.ret(0, 1);
  Value fn = a.closure();
  EXPECT_EQ(text_of(ok1(fn, {str("given")})), "given");
  EXPECT_EQ(text_of(ok1(fn, {num(0)})), "default");
  EXPECT_EQ(text_of(ok1(fn, {make_null()})), "default");
}

// ---- length and concatenation ----

TEST_F(InterpreterTest, LengthOperator) {
  Assembler a(L, 2);
  a.abc(OP_LEN, 0, 1);
  a.ret(0, 1);
  Value fn = a.closure();
  EXPECT_EQ(ok1(fn, {make_null()}).number(), 0);
  EXPECT_EQ(ok1(fn, {str("hello")}).number(), 5);
  EXPECT_EQ(ok1(fn, {wstr(u"hi")}).number(), 4);  // bytes
  TableObject* t = new_tab();
  for (int i = 1; i <= 7; ++i) set_at(t, i, num(i));
  EXPECT_EQ(ok1(fn, {make_object(t)}).number(), 7);
  new_cdata(L, 12);
  Value buffer = L->top[-1];
  pop(L, 1);
  EXPECT_EQ(ok1(fn, {buffer}).number(), 12);
  EXPECT_EQ(fails(fn, {num(3)}), annotated(1, "\n{Attempt to}:get length of\n{Type}:number"));
  EXPECT_EQ(fails(fn, {make_boolean(1)}), annotated(1, "\n{Attempt to}:get length of\n{Type}:boolean"));
}

TEST_F(InterpreterTest, ConcatOfRegisters) {
  Assembler a(L, 4);
  a.abc(OP_MOVE, 4, 1);
  a.abc(OP_MOVE, 5, 2);
  a.abc(OP_MOVE, 6, 3);
  a.abc(OP_CONCAT, 0, 4, 6);
  a.ret(0, 1);
  Value fn = a.closure();
  EXPECT_EQ(text_of(ok1(fn, {str("a"), num(1), str("b")})), "a1b");
  EXPECT_EQ(text_of(ok1(fn, {num(1.5), num(2), str("")})), "1.52");
  EXPECT_EQ(text_of(ok1(fn, {str(""), str(""), str("")})), "");
  Value w = ok1(fn, {wstr(u"a"), wstr(u"b"), wstr(u"c")});
  EXPECT_EQ(w.string(), wstr(u"abc").string());
  EXPECT_EQ(fails(fn, {str("a"), tab(), str("b")}), annotated(4, "\n{Attempt to}:concatenate\n{Type}:table"));
  EXPECT_EQ(fails(fn, {str("a"), str("b"), make_null()}), annotated(4, "\n{Attempt to}:concatenate\n{Type}:null"));
}

// ---- loads, moves, tables ----

TEST_F(InterpreterTest, LoadInstructions) {
  Assembler a(L, 1);
  a.abc(OP_LOADBOOL, 0, 1, 1);  // skips the next one
  a.abc(OP_LOADBOOL, 0, 0, 0);
  a.loadk(1, 5);
  a.loadk(2, 6);
  a.loadk(3, 7);
  a.abc(OP_LOADNIL, 1, 2);  // R1..R2
  a.abc(OP_MOVE, 4, 3);
  a.ret(0, 5);
  std::vector<Value> r = ok(a.closure());
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0].tag, TAG_BOOLEAN);
  EXPECT_EQ(r[0].u.b, 1u);
  EXPECT_TRUE(r[1].is_null());
  EXPECT_TRUE(r[2].is_null());
  EXPECT_EQ(r[3].number(), 7);
  EXPECT_EQ(r[4].number(), 7);
}

TEST_F(InterpreterTest, UndefinedOpcodesAreSteppedOver) {
  Assembler a(L, 1);
  a.loadk(0, 1);
  a.word(61 | (0u << 6));
  a.word(62 | (1u << 6));
  a.word(63 | (2u << 6) | (5u << 23));
  a.abc(OP_ADD, 0, 0, a.kn(1));
  a.ret(0, 1);
  EXPECT_EQ(ok1(a.closure()).number(), 2);
}

TEST_F(InterpreterTest, NewTableDecodesFloatingPointSizes) {
  Assembler a(L, 1);
  a.abc(OP_NEWTABLE, 0, 17, 9);
  a.ret(0, 1);
  Value t = ok1(a.closure());
  ASSERT_EQ(t.tag, TAG_TABLE);
  EXPECT_EQ(t.table()->array_size, 18);
  EXPECT_EQ(t.table()->node_count(), 16u);  // 9 rounded up
}

TEST_F(InterpreterTest, TableReadsAndWritesThroughRegistersAndConstants) {
  Assembler a(L, 2);
  a.abc(OP_SETTABLE, 1, a.ks("name"), a.ks("value"));
  a.abc(OP_SETTABLEF, 1, a.kn(3), a.kn(33));
  a.abc(OP_GETTABLE, 2, 1, a.ks("name"));
  a.abc(OP_GETTABLEN, 3, 1, a.kn(3));
  a.abc(OP_GETTABLE, 4, 1, a.ks("missing"));
  a.ret(2, 3);
  TableObject* t = new_tab();
  std::vector<Value> r = ok(a.closure(), {make_object(t)});
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(text_of(r[0]), "value");
  EXPECT_EQ(r[1].number(), 33);
  EXPECT_TRUE(r[2].is_null());
  EXPECT_EQ(text_of(field(t, "name")), "value");
}

TEST_F(InterpreterTest, IndexingAStringReadsCharacterCodes) {
  Value get = binary_function(OP_GETTABLE);
  EXPECT_EQ(ok1(get, {str("abc"), num(2)}).number(), 98);
  EXPECT_EQ(ok1(get, {str("abc"), num(4)}).number(), 0);
  EXPECT_EQ(ok1(get, {str("abc"), num(0)}).number(), 0);
  EXPECT_EQ(ok1(get, {str("abc"), num(1.9)}).number(), 97);
  EXPECT_EQ(ok1(get, {wstr(u"\u20ACx"), num(1)}).number(), 0x20AC);
  Value direct = binary_function(OP_GETDIRECT);
  EXPECT_EQ(text_of(ok1(direct, {str("abc"), num(2)})), "b");
  EXPECT_TRUE(ok1(direct, {str("abc"), num(4)}).is_null());
  EXPECT_EQ(text_of(ok1(direct, {str("abc"), num(0.5)})), "a");
  EXPECT_EQ(text_of(ok1(direct, {str("abc"), num(1.7)})), "a");
  EXPECT_TRUE(ok1(direct, {str("abc"), num(-1)}).is_null());
  Value wide = ok1(direct, {wstr(u"xy"), num(2)});
  EXPECT_EQ(wide.string(), wstr(u"y").string());
  EXPECT_TRUE(ok1(direct, {num(5), num(1)}).is_null());
}

TEST_F(InterpreterTest, GetDirectNeverCallsHandlers) {
  TableObject* t = new_tab();
  TableObject* mt = new_tab();
  TableObject* fallback = new_tab();
  set_field(fallback, "k", str("from handler"));
  set_field(mt, "_get", make_object(fallback));
  set_meta(t, mt);
  Value direct = binary_function(OP_GETDIRECT);
  EXPECT_TRUE(ok1(direct, {make_object(t), str("k")}).is_null());
  EXPECT_EQ(text_of(ok1(binary_function(OP_GETTABLE), {make_object(t), str("k")})), "from handler");
}

TEST_F(InterpreterTest, GlobalsAndNamespaceAccess) {
  Assembler a(L, 1);
  a.loadk(0, 41);
  a.abx(OP_SETGLOBAL, 0, a.k("g1"));
  a.abx(OP_GETGLOBAL, 1, a.k("g1"));
  a.abc(OP_ADD, 1, 1, a.kn(1));
  a.abx(OP_SETNS, 1, a.k("n1"));
  a.abx(OP_GETNS, 2, a.k("n1"));
  a.abc(OP_LOADNS, 3);
  a.ret(1, 3);
  TableObject* env = new_tab();
  Value fn = make_object(new_script_closure(L, a.build(), env));
  std::vector<Value> r = ok(fn);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].number(), 42);
  EXPECT_EQ(r[1].number(), 42);
  EXPECT_EQ(r[2].table(), env);
  EXPECT_EQ(field(globals(), "g1").number(), 41);
  EXPECT_EQ(field(env, "n1").number(), 42);
  EXPECT_TRUE(field(globals(), "n1").is_null());
}

TEST_F(InterpreterTest, SetIfNullOnlyFillsNull) {
  Assembler a(L, 2);
  a.loadk(2, "default");
  a.abc(OP_SETIFNULL, 2, 1);
  a.ret(1, 1);
  Value fn = a.closure();
  EXPECT_EQ(text_of(ok1(fn, {make_null()})), "default");
  EXPECT_EQ(ok1(fn, {num(0)}).number(), 0);
  EXPECT_EQ(ok1(fn, {make_boolean(0)}).u.b, 0u);
}

TEST_F(InterpreterTest, AppendFieldJoinsDeclarationsWithSemicolon) {
  Assembler a(L, 2);
  a.abc(OP_APPENDFIELD, 1, a.ks("_struct"), a.ks("int a"));
  a.abc(OP_APPENDFIELD, 1, a.ks("_struct"), a.ks("int b"));
  a.abc(OP_APPENDFIELD, 1, a.ks("other"), a.ks("x"));
  a.ret(0, 0);
  TableObject* t = new_tab();
  ok(a.closure(), {make_object(t)});
  EXPECT_EQ(text_of(field(t, "_struct")), "int a;int b");
  EXPECT_EQ(text_of(field(t, "other")), "x");
}

TEST_F(InterpreterTest, SelfPutsObjectInOwnerSlot) {
  // obj:method() where method returns its owner and its first argument.
  Assembler m(L, 2);
  m.ret(0, 2);
  set_global("echo", m.closure());
  Assembler a(L, 2);
  a.abc(OP_SELF, 2, 1, a.ks("m"));
  a.loadk(4, "arg");
  a.abc(OP_CALL, 2, 3, 0);
  a.abc(OP_RETURN, 2, 0);
  TableObject* obj = new_tab();
  set_field(obj, "m", field(globals(), "echo"));
  std::vector<Value> r = ok(a.closure(), {make_object(obj)});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].table(), obj);
  EXPECT_EQ(text_of(r[1]), "arg");
}

// ---- numeric for ----

// for i = init, limit, step: sums the visible variable; when i equals `when`, the body assigns
// `assign` to it. Returns the sum.
Value for_loop(VmState* L, const Value& assign, double when) {
  Assembler a(L, 4);  // owner, init, limit, step
  a.loadk(0, 0.0);    // sum
  a.abc(OP_MOVE, 4, 1);
  a.abc(OP_MOVE, 5, 2);
  a.abc(OP_MOVE, 6, 3);
  int prep = a.asbx(OP_FORPREP, 4, 0);
  int body = a.here();
  a.abc(OP_ADD, 0, 0, 7);
  a.abc(OP_EQ, 0, 7, a.kn(when));
  a.asbx(OP_JMP, 0, 1);
  a.abx(OP_LOADK, 7, a.k_value(assign));
  int loop = a.asbx(OP_FORLOOP, 4, 0);
  a.patch(prep, loop);
  a.patch(loop, body);
  a.ret(0, 1);
  return a.closure();
}

TEST_F(InterpreterTest, ForLoopBasics) {
  Value fn = for_loop(L, make_null(), -1000);
  EXPECT_EQ(ok1(fn, {num(1), num(10), num(1)}).number(), 55);
  EXPECT_EQ(ok1(fn, {num(10), num(1), num(-3)}).number(), 22);  // 10 7 4 1
  EXPECT_EQ(ok1(fn, {num(1), num(0), num(1)}).number(), 0);     // not entered
  EXPECT_EQ(ok1(fn, {str("1"), str("4"), str("1")}).number(), 10);  // numeric strings
  EXPECT_EQ(ok1(fn, {num(0.5), num(2), num(0.5)}).number(), 5);  // 0.5 1 1.5 2
}

TEST_F(InterpreterTest, ForLoopVariableAssignmentMovesTheCount) {
  // for i = 1, 20: at i == 5 the body sets i = 10, so the next iteration uses 11.
  Value fn = for_loop(L, num(10), 5);
  EXPECT_EQ(ok1(fn, {num(1), num(20), num(1)}).number(), 15 + 155);
  // Setting it to a string leaves the hidden count in charge.
  Value fn2 = for_loop(L, str("text"), 5);
  EXPECT_EQ(ok1(fn2, {num(1), num(20), num(1)}).number(), 210);
}

TEST_F(InterpreterTest, ForLoopWithZeroStep) {
  // Counts iterations and leaves after three.
  auto build = [&](double init, double limit) {
    Assembler a(L, 1);
    a.loadk(0, 0.0);
    a.loadk(1, init);
    a.loadk(2, limit);
    a.loadk(3, 0.0);
    int prep = a.asbx(OP_FORPREP, 1, 0);
    int body = a.abc(OP_ADD, 0, 0, a.kn(1));
    a.abc(OP_LE, 1, a.kn(3), 0);
    int out = a.asbx(OP_JMP, 0, 0);
    int loop = a.asbx(OP_FORLOOP, 1, 0);
    a.patch(prep, loop);
    a.patch(loop, body);
    a.patch(out, a.here());
    a.ret(0, 1);
    return a.closure();
  };
  EXPECT_EQ(ok1(build(5, 1)).number(), 3);  // runs until broken out of
  EXPECT_EQ(ok1(build(1, 5)).number(), 0);  // never entered
}

TEST_F(InterpreterTest, ForPrepErrors) {
  Value fn = for_loop(L, make_null(), -1);
  // FORPREP is the fifth instruction: line 5.
  EXPECT_EQ(fails(fn, {tab(), num(1), num(1)}), annotated(5, "'for' initial value must be a number"));
  EXPECT_EQ(fails(fn, {num(1), str("x"), num(1)}), annotated(5, "'for' limit must be a number"));
  EXPECT_EQ(fails(fn, {num(1), num(2), make_null()}), annotated(5, "'for' step must be a number"));
}

// ---- SETLIST ----

TEST_F(InterpreterTest, SetListOverSeveralFlushes) {
  Assembler a(L, 1);
  a.max_stack = 60;
  a.abc(OP_NEWTABLE, 0, 0, 0);
  for (int i = 1; i <= 50; ++i) a.loadk(i, i);
  a.abc(OP_SETLIST, 0, 50, 1);
  for (int i = 1; i <= 10; ++i) a.loadk(i, 50 + i);
  a.abc(OP_SETLIST, 0, 10, 2);
  a.ret(0, 1);
  Value t = ok1(a.closure());
  ASSERT_EQ(t.tag, TAG_TABLE);
  for (int i = 1; i <= 60; ++i) EXPECT_EQ(at(t.table(), i).number(), i);
  EXPECT_GE(t.table()->array_size, 60);
  EXPECT_EQ(table_border(t.table()), 60u);
}

TEST_F(InterpreterTest, SetListWithBatchNumberInNextWord) {
  Assembler a(L, 1);
  a.abc(OP_NEWTABLE, 0, 0, 0);
  a.loadk(1, "x");
  a.loadk(2, "y");
  a.abc(OP_SETLIST, 0, 2, 0);
  a.word(600);  // batch 600: indices 599 * 50 + 1 and + 2; decoded as an opcode it would fail
  a.loadk(1, "after");
  a.ret(0, 2);
  std::vector<Value> r = ok(a.closure());
  ASSERT_EQ(r.size(), 2u);
  ASSERT_EQ(r[0].tag, TAG_TABLE);
  TableObject* t = r[0].table();
  EXPECT_GE(t->array_size, 29952);  // pre-sized to the last index
  EXPECT_EQ(text_of(at(t, 29951)), "x");
  EXPECT_EQ(text_of(at(t, 29952)), "y");
  EXPECT_TRUE(at(t, 29950).is_null());
  EXPECT_EQ(text_of(r[1]), "after");
}

TEST_F(InterpreterTest, SetListUpToTopAfterVararg) {
  Assembler a(L, 1, true);
  a.abc(OP_NEWTABLE, 0, 0, 0);
  a.abc(OP_VARARG, 1, 0);
  a.abc(OP_SETLIST, 0, 0, 1);
  a.ret(0, 1);
  Value t = ok1(a.closure(), {str("a"), str("b"), str("c")});
  ASSERT_EQ(t.tag, TAG_TABLE);
  EXPECT_EQ(table_border(t.table()), 3u);
  EXPECT_EQ(text_of(at(t.table(), 3)), "c");
  // Not a table: nothing is stored and nothing fails.
  Assembler b(L, 1);
  b.loadk(0, 5);
  b.loadk(1, 6);
  b.abc(OP_SETLIST, 0, 1, 1);
  b.ret(0, 1);
  EXPECT_EQ(ok1(b.closure()).number(), 5);
}

// ---- generic loops ----

TEST_F(InterpreterTest, TForNextTraversesATable) {
  // for k, v in t: sum += v
  Assembler a(L, 2);
  a.loadk(0, 0.0);
  a.abc(OP_MOVE, 2, 1);     // R2 table, R3 key, R5 key out, R6 value
  a.abc(OP_LOADNIL, 3, 3);
  int head = a.abc(OP_TFORNEXT, 2, 2);
  int found = a.asbx(OP_JMP, 0, 0);
  int done = a.asbx(OP_JMP, 0, 0);
  a.patch(found, a.here());
  a.abc(OP_ADD, 0, 0, 6);
  a.jmp_to(head);
  a.patch(done, a.here());
  a.ret(0, 1);
  TableObject* t = new_tab();
  for (int i = 1; i <= 4; ++i) set_at(t, i, num(i));
  set_field(t, "x", num(100));
  EXPECT_EQ(ok1(a.closure(), {make_object(t)}).number(), 110);
  // Other values end the loop at once.
  EXPECT_EQ(ok1(a.closure(), {num(3)}).number(), 0);
}

// ---- varargs ----

TEST_F(InterpreterTest, VarargWithFewerArgumentsThanParameters) {
  Assembler a(L, 3, true);  // owner, p1, p2, ...
  a.abc(OP_VARARG, 3, 0);
  a.abc(OP_RETURN, 3, 0);
  Value all = a.closure();
  EXPECT_TRUE(ok(all, {num(1)}).empty());
  EXPECT_TRUE(ok(all, {}).empty());
  std::vector<Value> r = ok(all, {num(1), num(2), num(3), num(4)});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].number(), 3);
  EXPECT_EQ(r[1].number(), 4);

  Assembler b(L, 3, true);
  b.abc(OP_VARARG, 3, 3);  // exactly two values, padded with nulls
  b.ret(1, 4);
  std::vector<Value> s = ok(b.closure(), {num(7)});
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].number(), 7);
  EXPECT_TRUE(s[1].is_null());
  EXPECT_TRUE(s[2].is_null());
  EXPECT_TRUE(s[3].is_null());
  std::vector<Value> t = ok(b.closure(), {num(7), num(8), num(9)});
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[1].number(), 8);
  EXPECT_EQ(t[2].number(), 9);
  EXPECT_TRUE(t[3].is_null());
}

TEST_F(InterpreterTest, FixedParametersDropSurplusAndPadMissing) {
  Assembler a(L, 3);
  a.ret(1, 4);
  Value fn = a.closure();
  std::vector<Value> r = ok(fn, {num(1), num(2), num(3), num(4)});
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].number(), 1);
  EXPECT_EQ(r[1].number(), 2);
  EXPECT_TRUE(r[2].is_null());
  EXPECT_TRUE(r[3].is_null());
  std::vector<Value> s = ok(fn, {num(1)});
  ASSERT_EQ(s.size(), 4u);
  EXPECT_TRUE(s[1].is_null());
}

TEST_F(InterpreterTest, VarargAllGrowsTheStack) {
  Assembler a(L, 1, true);
  a.max_stack = 4;
  a.abc(OP_VARARG, 1, 0);
  a.abc(OP_RETURN, 1, 0);
  std::vector<Value> args;
  for (int i = 0; i < 3000; ++i) args.push_back(num(i));
  std::vector<Value> r = ok(a.closure(), args);
  ASSERT_EQ(r.size(), 3000u);
  EXPECT_EQ(r[2999].number(), 2999);
  EXPECT_EQ(r[1234].number(), 1234);
}

// ---- closures and upvalues ----

Prototype* counter_increment(VmState* L) {
  Assembler a(L, 1);
  a.nupvalues = 1;
  a.abc(OP_GETUPVAL, 0, 0);
  a.abc(OP_ADD, 0, 0, a.kn(1));
  a.abc(OP_SETUPVAL, 0, 0);
  a.ret(0, 1);
  return a.build();
}

Prototype* upvalue_reader(VmState* L) {
  Assembler a(L, 1);
  a.nupvalues = 1;
  a.abc(OP_GETUPVAL, 0, 0);
  a.ret(0, 1);
  return a.build();
}

TEST_F(InterpreterTest, SiblingClosuresShareOneUpvalueOpenAndClosed) {
  Assembler a(L, 1);
  int inc = a.child(counter_increment(L));
  int get = a.child(upvalue_reader(L));
  a.loadk(0, 10);
  a.abx(OP_CLOSURE, 1, inc);
  a.abc(OP_MOVE, 0, 0);
  a.abx(OP_CLOSURE, 2, get);
  a.abc(OP_MOVE, 0, 0);
  // Call inc while the variable is still on the stack.
  a.abc(OP_MOVE, 3, 1);
  a.abc(OP_LOADNIL, 4, 4);
  a.abc(OP_CALL, 3, 2, 1);
  a.ret(0, 3);  // x, inc, get
  std::vector<Value> r = ok(a.closure());
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].number(), 11);  // the open upvalue wrote the register
  EXPECT_EQ(ok1(r[1]).number(), 12);
  EXPECT_EQ(ok1(r[1]).number(), 13);
  EXPECT_EQ(ok1(r[2]).number(), 13);  // the sibling sees the closed value
}

TEST_F(InterpreterTest, ClosurePseudoGetupvalSharesTheEnclosingUpvalue) {
  // outer creates inc (capturing x) and maker; maker creates get sharing inc's upvalue.
  Assembler maker(L, 1);
  maker.nupvalues = 1;
  int get = maker.child(upvalue_reader(L));
  maker.abx(OP_CLOSURE, 0, get);
  maker.abc(OP_GETUPVAL, 0, 0);
  maker.ret(0, 1);
  Assembler a(L, 1);
  int inc = a.child(counter_increment(L));
  int mk = a.child(maker.build());
  a.loadk(0, 1);
  a.abx(OP_CLOSURE, 1, inc);
  a.abc(OP_MOVE, 0, 0);
  a.abx(OP_CLOSURE, 2, mk);
  a.abc(OP_MOVE, 0, 0);
  a.ret(1, 2);
  std::vector<Value> r = ok(a.closure());
  ASSERT_EQ(r.size(), 2u);
  Value getter = ok1(r[1]);
  ok(r[0]);
  ok(r[0]);
  EXPECT_EQ(ok1(getter).number(), 3);
}

TEST_F(InterpreterTest, ClosuresMadeInALoopCaptureEachIteration) {
  Assembler a(L, 1);
  int get = a.child(upvalue_reader(L));
  a.abc(OP_NEWTABLE, 0, 0, 0);
  a.loadk(1, 1);
  a.loadk(2, 3);
  a.loadk(3, 1);
  int prep = a.asbx(OP_FORPREP, 1, 0);
  int body = a.abx(OP_CLOSURE, 5, get);
  a.abc(OP_MOVE, 0, 4);
  a.abc(OP_SETTABLE, 0, 4, 5);
  a.abc(OP_CLOSE, 4);
  int loop = a.asbx(OP_FORLOOP, 1, 0);
  a.patch(prep, loop);
  a.patch(loop, body);
  a.ret(0, 1);
  Value t = ok1(a.closure());
  ASSERT_EQ(t.tag, TAG_TABLE);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(ok1(at(t.table(), i)).number(), i);
}

TEST_F(InterpreterTest, ClassPrototypeMakesAClass) {
  Assembler body(L, 1);
  body.is_class = true;
  body.ret(0, 0);
  Assembler a(L, 1);
  int c = a.child(body.build());
  a.abx(OP_CLOSURE, 0, c);
  a.abc(OP_SETTABLE, 0, a.ks("static"), a.kn(5));  // goes to the static table
  a.abc(OP_GETTABLE, 1, 0, a.ks("static"));
  a.abc(OP_GETDIRECT, 2, 0, a.ks("static"));
  a.ret(0, 3);
  std::vector<Value> r = ok(a.closure());
  ASSERT_EQ(r.size(), 3u);
  ASSERT_EQ(r[0].tag, TAG_FUNCTION);
  EXPECT_TRUE(r[0].closure()->is_class);
  EXPECT_NE(r[0].closure()->env, globals());
  EXPECT_STREQ(value_type_name(&r[0]), "class");
  EXPECT_EQ(field(r[0].closure()->env, "static").number(), 5);
  EXPECT_EQ(r[1].number(), 5);
  EXPECT_EQ(r[2].number(), 5);
}

// ---- namespaces ----

TEST_F(InterpreterTest, EnterNamespaceCreatesPathAndRestores) {
  Assembler a(L, 1);
  a.abc(OP_LOADNIL, 0, 0);
  a.abc(OP_ENTERNS, 0, a.ks("app.util"), 0);  // R0 := old env; env := app.util
  a.loadk(1, 7);
  a.abx(OP_SETNS, 1, a.k("seven"));
  a.abc(OP_ENTERNS, 0, 0, 0);  // R0 holds a table: back to it
  a.abx(OP_GETNS, 2, a.k("app"));
  a.ret(2, 1);
  Value app = ok1(a.closure());
  ASSERT_EQ(app.tag, TAG_TABLE);
  Value util = field(app.table(), "util");
  ASSERT_EQ(util.tag, TAG_TABLE);
  EXPECT_EQ(field(util.table(), "seven").number(), 7);
  EXPECT_EQ(field(globals(), "app").table(), app.table());
}

TEST_F(InterpreterTest, EnterNamespaceErrors) {
  set_global("taken", num(1));
  Assembler a(L, 1);
  a.abc(OP_LOADNIL, 0, 0);
  a.abc(OP_ENTERNS, 0, a.ks(".taken.inner"), 0);
  a.ret(0, 0);
  EXPECT_EQ(fails(a.closure()), annotated(2, "name conflict for namespace 'taken.inner'"));
  Assembler b(L, 1);
  b.abc(OP_LOADNIL, 0, 0);
  b.abc(OP_ENTERNS, 0, b.kn(5), 0);
  b.ret(0, 0);
  EXPECT_EQ(fails(b.closure()), annotated(2, "\n{Attempt to}:with\n{Type}:number"));
}

// ---- try ----

int record_error(VmState* L) {
  // Handler: (null owner, error value) -> stores them in globals for the test to read.
  TableObject* g = L->globals.table();
  *table_set_str(L, g, intern_string(L, "seen_owner")) = *stack_address(L, 1);
  *table_set_str(L, g, intern_string(L, "seen_error")) = *stack_address(L, 2);
  push_string(L, "replaced");
  return 1;
}

int raise_boom(VmState* L) {
  push_string(L, "boom");
  raise_error(L);
}

// try { boom() } catch (e) { ... } with the try function in R(body) and the catch function in
// R(handler); returns "after" when execution continues behind the TRY.
Value try_function(VmState* L, int body_register, int handler_register) {
  Assembler body(L, 0);  // the try function has no parameters, not even the owner
  body.abx(OP_GETGLOBAL, 0, body.k("boom"));
  body.abc(OP_CALL, 0, 1, 1);
  body.ret(0, 0);
  Assembler a(L, 1);
  int b = a.child(body.build());
  a.abx(OP_CLOSURE, body_register, b);
  a.abx(OP_GETGLOBAL, handler_register, a.k("handler"));
  a.abc(OP_TRY, 0, body_register, handler_register);
  a.loadk(0, "after");
  a.ret(0, 1);
  return a.closure();
}

TEST_F(InterpreterTest, TryRunsCatchAsHandlerAndContinues) {
  set_global("boom", native(raise_boom));
  set_global("handler", native(record_error));
  Value fn = try_function(L, 2, 1);  // catch function below the try function
  EXPECT_EQ(text_of(ok1(fn)), "after");
  EXPECT_TRUE(field(globals(), "seen_owner").is_null());
  EXPECT_EQ(text_of(field(globals(), "seen_error")), "boom");
  // Without a catch function the error is swallowed as well.
  set_global("handler", make_null());
  EXPECT_EQ(text_of(ok1(fn)), "after");
}

TEST_F(InterpreterTest, TryWithCatchFunctionAfterTryFunction) {
  // The code generator puts the catch function in the register after the try function, which is
  // the first slot of the try function's frame; the handler must still be the catch function.
  set_global("boom", native(raise_boom));
  set_global("handler", native(record_error));
  EXPECT_EQ(text_of(ok1(try_function(L, 1, 2))), "after");
  EXPECT_TRUE(field(globals(), "seen_owner").is_null());
  EXPECT_EQ(text_of(field(globals(), "seen_error")), "boom");
}

}  // namespace
}  // namespace quevro::test
