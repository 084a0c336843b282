#include <set>
#include <string>

#include "vm_script_support.h"

namespace quevro::test {
namespace {

using MetamethodTest = ScriptTest;

// A chain of n + 1 tables where table i has the metatable {_get = table i + 1} (or _set); the
// last table of the chain holds the field.
std::vector<TableObject*> handler_chain(VmState* L, int n, const char* event) {
  std::vector<TableObject*> chain;
  for (int i = 0; i <= n; ++i) chain.push_back(table_create(L, 0, 0));
  for (int i = 0; i < n; ++i) {
    TableObject* mt = table_create(L, 0, 0);
    *table_set_str(L, mt, intern_string(L, event)) = make_object(chain[i + 1]);
    chain[i]->metatable = mt;
  }
  return chain;
}

// ---- natives used as handlers ----

int return_owner_identity(VmState* L) {
  push_value(L, 1);
  return 1;
}

int concat_args(VmState* L) {
  // (left, right) -> "<type of left>+<type of right>"
  push_fstring(L, "%s+%s", type_name(L, 1), type_name(L, 2));
  return 1;
}

int always_true(VmState* L) {
  push_boolean(L, true);
  return 1;
}

int zero_result(VmState* L) {
  push_number(L, 0);
  return 1;
}

// ---- handler lookup ----

// Each event finds its handler under its own field name (the names are distinct, permanent
// strings starting with '_'); a miss of a cached event is remembered until the table changes.
TEST_F(MetamethodTest, EveryEventFindsTheHandlerStoredUnderItsName) {
  std::set<std::string> names;
  for (int e = 0; e < EVENT_COUNT; ++e) {
    StringObject* name = G(L)->event_names[e];
    std::string text(name->data(), name->length);
    EXPECT_TRUE(names.insert(text).second) << text << " names two events";
    EXPECT_EQ(text[0], '_');
    EXPECT_NE(name->marked & MARK_FIXED, 0) << text;
    EXPECT_EQ(name, intern_string(L, EVENT_NAMES[e]));
    TableObject* mt = new_tab();
    *table_set_str(L, mt, intern_string(L, text.data(), text.size())) = num(e);
    const Value* h = metatable_handler(L, mt, static_cast<Event>(e));
    ASSERT_EQ(h->tag, TAG_NUMBER) << text;
    EXPECT_EQ(h->number(), e) << text;
  }
  TableObject* empty = new_tab();
  *table_set_str(L, empty, intern_string(L, "plain")) = num(1);  // a store forgets the known absences
  ASSERT_EQ(empty->absent_events, 0);
  for (int e = 0; e < EVENT_COUNT; ++e) EXPECT_TRUE(metatable_handler(L, empty, static_cast<Event>(e))->is_null());
  EXPECT_EQ(empty->absent_events, (1u << CACHED_EVENT_COUNT) - 1);
}

// ---- full get ----

int get_handler_echo(VmState* L) {
  // (object, key, flag) -> "<key>/<flag type>/<object is table>"
  push_fstring(L, "%s/%s/%s", to_string(L, 2), type_name(L, 3),
               type_of(L, 1) == static_cast<int>(TAG_TABLE) ? "table" : "other");
  if (type_of(L, 3) == static_cast<int>(TAG_BOOLEAN)) {
    push_fstring(L, "%s", to_boolean(L, 3) ? "true" : "false");
    concat(L, 2);
  }
  return 1;
}

TEST_F(MetamethodTest, GetHandlerReceivesObjectKeyAndFlagPerForm) {
  TableObject* t = new_tab();
  TableObject* mt = new_tab();
  set_field(mt, "_get", native(get_handler_echo));
  set_meta(t, mt);
  Value obj = make_object(t);
  EXPECT_EQ(text_of(ok1(binary_function(OP_GETTABLE), {obj, str("k")})), "k/boolean/tablefalse");
  EXPECT_EQ(text_of(ok1(binary_function(OP_GETTABLEN), {obj, str("k")})), "k/null/table");
  Assembler self(L, 2);
  self.abc(OP_SELF, 0, 1, self.ks("m"));
  self.ret(0, 1);
  EXPECT_EQ(text_of(ok1(self.closure(), {obj})), "m/boolean/tabletrue");
  // A present field never reaches the handler.
  set_field(t, "k", num(1));
  EXPECT_EQ(ok1(binary_function(OP_GETTABLE), {obj, str("k")}).number(), 1);
}

TEST_F(MetamethodTest, GetHandlerOfTableHandlerGetsTheIntermediateTable) {
  // t has {_get = t2}; t2 has {_get = function}: the function receives (t2, key, false).
  TableObject* t = new_tab();
  TableObject* t2 = new_tab();
  TableObject* mt = new_tab();
  TableObject* mt2 = new_tab();
  set_field(mt, "_get", make_object(t2));
  set_field(mt2, "_get", native(return_owner_identity));
  set_meta(t, mt);
  set_meta(t2, mt2);
  Value r = ok1(binary_function(OP_GETTABLE), {make_object(t), str("missing")});
  ASSERT_EQ(r.tag, TAG_TABLE);
  EXPECT_EQ(r.table(), t2);
}

TEST_F(MetamethodTest, GetChainOf99TableHandlersResolvesAndHundredthRaises) {
  std::vector<TableObject*> chain = handler_chain(L, 99, "_get");
  set_field(chain.back(), "k", str("found"));
  push(L, make_object(chain[0]));
  push(L, str("k"));
  push_null(L);
  int status = protect(L, [](VmState* s) { full_get(s, s->top - 3, s->top - 2, s->top - 1, make_boolean(0)); });
  EXPECT_EQ(status, STATUS_OK);
  EXPECT_EQ(top_text(L), "found");
  set_top(L, 0);

  std::vector<TableObject*> longer = handler_chain(L, 100, "_get");
  set_field(longer.back(), "k", str("found"));
  EXPECT_EQ(fails(binary_function(OP_GETTABLE), {make_object(longer[0]), str("k")}),
            annotated(1, "loop in _get table "));
}

TEST_F(MetamethodTest, SetChainOf99TableHandlersStoresAndHundredthRaises) {
  std::vector<TableObject*> chain = handler_chain(L, 99, "_set");
  Assembler a(L, 3);
  a.abc(OP_SETTABLE, 1, a.ks("k"), 2);
  a.ret(0, 0);
  Value set = a.closure();
  ok(set, {make_object(chain[0]), num(5)});
  EXPECT_EQ(field(chain.back(), "k").number(), 5);
  EXPECT_TRUE(field(chain[0], "k").is_null());
  std::vector<TableObject*> longer = handler_chain(L, 100, "_set");
  EXPECT_EQ(fails(set, {make_object(longer[0]), num(5)}), annotated(1, "loop in _set table "));
}

struct SetRecord {
  int calls = 0;
  std::string key;
  double value = 0;
  bool flag = false;
  int flag_tag = -1;
};
SetRecord set_record;

int set_handler_record(VmState* L) {
  set_record.calls++;
  set_record.key = to_string(L, 2) ? to_string(L, 2) : "";
  set_record.value = to_number(L, 3);
  set_record.flag_tag = type_of(L, 4);
  set_record.flag = to_boolean(L, 4);
  return 0;
}

TEST_F(MetamethodTest, SetHandlerFlagTrueForDotFormFalseForBracketForm) {
  TableObject* t = new_tab();
  TableObject* mt = new_tab();
  set_field(mt, "_set", native(set_handler_record));
  set_meta(t, mt);
  Assembler dot(L, 2);
  dot.abc(OP_SETTABLE, 1, dot.ks("a"), dot.kn(1));
  dot.ret(0, 0);
  set_record = {};
  ok(dot.closure(), {make_object(t)});
  EXPECT_EQ(set_record.calls, 1);
  EXPECT_EQ(set_record.key, "a");
  EXPECT_EQ(set_record.value, 1);
  EXPECT_EQ(set_record.flag_tag, static_cast<int>(TAG_BOOLEAN));
  EXPECT_TRUE(set_record.flag);
  Assembler bracket(L, 2);
  bracket.abc(OP_SETTABLEF, 1, bracket.ks("b"), bracket.kn(2));
  bracket.ret(0, 0);
  set_record = {};
  ok(bracket.closure(), {make_object(t)});
  EXPECT_EQ(set_record.calls, 1);
  EXPECT_EQ(set_record.flag_tag, static_cast<int>(TAG_BOOLEAN));
  EXPECT_FALSE(set_record.flag);
  EXPECT_TRUE(field(t, "a").is_null());  // the handler did not store
  // An existing field is overwritten without the handler.
  set_field(t, "c", num(0));
  Assembler over(L, 2);
  over.abc(OP_SETTABLE, 1, over.ks("c"), over.kn(3));
  over.ret(0, 0);
  set_record = {};
  ok(over.closure(), {make_object(t)});
  EXPECT_EQ(set_record.calls, 0);
  EXPECT_EQ(field(t, "c").number(), 3);
}

TEST_F(MetamethodTest, IndexingValuesWithoutHandlersRaises) {
  EXPECT_EQ(fails(binary_function(OP_GETTABLE), {num(1), str("x")}),
            annotated(1, "\n{Attempt to}: _get table \n{Type}:number"));
  EXPECT_EQ(fails(binary_function(OP_GETTABLE), {make_null(), str("x")}),
            annotated(1, "\n{Attempt to}: _get table \n{Type}:null"));
  Assembler a(L, 2);
  a.abc(OP_SETTABLE, 1, a.ks("x"), a.kn(1));
  a.ret(0, 0);
  EXPECT_EQ(fails(a.closure(), {make_boolean(1)}), annotated(1, "\n{Attempt to}: _set table \n{Type}:boolean"));
  Assembler r(L, 2);
  r.abc(OP_RAWSET, 1, r.ks("x"), r.kn(1));
  r.ret(0, 0);
  EXPECT_EQ(fails(r.closure(), {num(1)}), annotated(1, "\n{Attempt to}: rawset table \n{Type}:number"));
}

TEST_F(MetamethodTest, PerTypeGetHandlerForStrings) {
  TableObject* string_methods = new_tab();
  set_field(string_methods, "upper", str("method"));
  TableObject* mt = new_tab();
  set_field(mt, "_get", make_object(string_methods));
  G(L)->type_metatables[TAG_STRING] = mt;
  EXPECT_EQ(text_of(ok1(binary_function(OP_GETTABLE), {str("abc"), str("upper")})), "method");
  // Number keys still read character codes without the handler.
  EXPECT_EQ(ok1(binary_function(OP_GETTABLE), {str("abc"), num(1)}).number(), 97);
}

TEST_F(MetamethodTest, BufferByteReadsAndWrites) {
  new_cdata(L, 4);
  Value buffer = L->top[-1];
  pop(L, 1);
  Assembler w(L, 3);
  w.abc(OP_SETTABLEF, 1, 2, w.kn(300.7));  // low 8 bits of 300: 44
  w.ret(0, 0);
  ok(w.closure(), {buffer, num(2)});
  EXPECT_EQ(buffer.cdata()->data()[1], 44);
  ok(w.closure(), {buffer, num(9)});  // outside: nothing happens
  Value get = binary_function(OP_GETTABLE);
  EXPECT_EQ(ok1(get, {buffer, num(2)}).number(), 44);
  EXPECT_EQ(ok1(get, {buffer, num(2.9)}).number(), 44);
  EXPECT_EQ(ok1(get, {buffer, num(5)}).number(), 0);
  EXPECT_EQ(ok1(get, {buffer, num(0)}).number(), 0);
  EXPECT_EQ(fails(get, {buffer, str("x")}), annotated(1, "\n{Attempt to}: _get table \n{Type}:buffer"));
}

// ---- read-only and constant fields ----

Value setter(VmState* L, int op, const char* key) {
  Assembler a(L, 3);
  a.abc(op, 1, a.ks(key), 2);
  a.ret(0, 0);
  return a.closure();
}

TEST_F(MetamethodTest, UnderscoreFieldsAreWriteOnce) {
  TableObject* t = new_tab();
  Value set = setter(L, OP_SETTABLE, "_id");
  ok(set, {make_object(t), num(1)});
  ok(set, {make_object(t), num(1)});  // same value again
  EXPECT_EQ(fails(set, {make_object(t), num(2)}), annotated(1, "Can't modify the read-only field : '_id'"));
  EXPECT_EQ(field(t, "_id").number(), 1);
  // Through RAWSET and SETTABLEF too.
  EXPECT_EQ(fails(setter(L, OP_RAWSET, "_id"), {make_object(t), num(3)}),
            annotated(1, "Can't modify the read-only field : '_id'"));
  EXPECT_EQ(fails(setter(L, OP_SETTABLEF, "_id"), {make_object(t), num(3)}),
            annotated(1, "Can't modify the read-only field : '_id'"));
  // Plain names are never guarded; nor is a one-character "_".
  Value plain = setter(L, OP_SETTABLE, "id");
  ok(plain, {make_object(t), num(1)});
  ok(plain, {make_object(t), num(2)});
  Value underscore = setter(L, OP_SETTABLE, "_");
  ok(underscore, {make_object(t), num(1)});
  ok(underscore, {make_object(t), num(2)});
}

TEST_F(MetamethodTest, ReadonlyFieldInMetatableLiftsTheGuard) {
  TableObject* t = new_tab();
  TableObject* mt = new_tab();
  set_field(mt, "_readonly", make_boolean(0));  // any non-null value
  set_meta(t, mt);
  Value set = setter(L, OP_SETTABLE, "_id");
  ok(set, {make_object(t), num(1)});
  ok(set, {make_object(t), num(2)});
  EXPECT_EQ(field(t, "_id").number(), 2);
}

TEST_F(MetamethodTest, GlobalTableGuardCannotBeLifted) {
  TableObject* mt = new_tab();
  set_field(mt, "_readonly", make_boolean(1));
  set_meta(globals(), mt);
  Assembler a(L, 2);
  a.abx(OP_SETGLOBAL, 1, a.k("_G_FIELD"));
  a.ret(0, 0);
  Value set = a.closure();
  ok(set, {num(1)});
  EXPECT_EQ(fails(set, {num(2)}), annotated(1, "Can't modify the read-only field : '_G_FIELD'"));
}

TEST_F(MetamethodTest, PredefinedConstantsAreGuardedOnlyAsGlobals) {
  ASSERT_EQ(intern_string(L, "type")->reserved, MARK_CONSTANT_NAME);
  set_global("type", str("builtin"));
  Assembler a(L, 2);
  a.abx(OP_SETGLOBAL, 1, a.k("type"));
  a.ret(0, 0);
  Value set_global_type = a.closure();
  EXPECT_EQ(fails(set_global_type, {num(1)}), annotated(1, "Can't modify the constant : 'type'"));
  ok(set_global_type, {str("builtin")});  // same value
  // As a field of an ordinary table it is free.
  TableObject* t = new_tab();
  Value set_field_type = setter(L, OP_SETTABLE, "type");
  ok(set_field_type, {make_object(t), num(1)});
  ok(set_field_type, {make_object(t), num(2)});
  EXPECT_EQ(field(t, "type").number(), 2);
  // Through the environment (SETNS) the store does not address the global table's slot.
  Assembler ns(L, 2);
  ns.abx(OP_SETNS, 1, ns.k("type"));
  ns.ret(0, 0);
  ok(ns.closure(), {num(3)});
  EXPECT_EQ(field(globals(), "type").number(), 3);
}

// ---- locked metatables ----

Value set_meta_function(VmState* L) {
  Assembler a(L, 3);
  a.abc(OP_SETMETA, 1, 2);
  a.abc(OP_GETMETA, 0, 1);
  a.ret(0, 1);
  return a.closure();
}

TEST_F(MetamethodTest, MetatableWithoutFloatIsLocked) {
  Value fn = set_meta_function(L);
  TableObject* t = new_tab();
  TableObject* first = new_tab();
  TableObject* second = new_tab();
  EXPECT_EQ(ok1(fn, {make_object(t), make_object(first)}).table(), first);
  EXPECT_EQ(fails(fn, {make_object(t), make_object(second)}), annotated(1, "Can't remove the metatable that is locked. "));
  EXPECT_EQ(fails(fn, {make_object(t), make_null()}), annotated(1, "Can't remove the metatable that is locked. "));
  set_field(first, "_float", make_boolean(0));
  EXPECT_EQ(fails(fn, {make_object(t), make_object(second)}), annotated(1, "Can't remove the metatable that is locked. "));
  set_field(first, "_float", make_boolean(1));
  EXPECT_EQ(ok1(fn, {make_object(t), make_object(second)}).table(), second);
  // The native interface applies no lock.
  push(L, make_object(t));
  push(L, make_object(first));
  set_metatable(L, 1);
  EXPECT_EQ(t->metatable, first);
  set_top(L, 0);
}

TEST_F(MetamethodTest, SetMetaRequiresTableOrNull) {
  Value fn = set_meta_function(L);
  EXPECT_EQ(fails(fn, {tab(), num(1)}), annotated(1, "\n{Attempt to}:metatable\n{Type}:number"));
  EXPECT_TRUE(ok1(fn, {tab(), make_null()}).is_null());
}

TEST_F(MetamethodTest, SetMetaOnOtherValuesReplacesPerTypeMetatable) {
  Value fn = set_meta_function(L);
  TableObject* mt = new_tab();
  set_field(mt, "_float", make_boolean(1));
  EXPECT_EQ(ok1(fn, {num(1), make_object(mt)}).table(), mt);
  EXPECT_EQ(G(L)->type_metatables[TAG_NUMBER], mt);
  // A class keeps its metatable on its static table.
  push_closure(L, [](VmState*) { return 0; }, 0, true);
  Value cls = L->top[-1];
  pop(L, 1);
  TableObject* cmt = new_tab();
  EXPECT_EQ(ok1(fn, {cls, make_object(cmt)}).table(), cmt);
  EXPECT_EQ(cls.closure()->env->metatable, cmt);
  EXPECT_EQ(G(L)->type_metatables[TAG_FUNCTION], nullptr);
}

// ---- operator handlers ----

TEST_F(MetamethodTest, ArithmeticHandlerLeftWinsThenRight) {
  TableObject* mt = new_tab();
  set_field(mt, "_add", native(concat_args));
  set_field(mt, "_sub", native(concat_args));
  TableObject* t = new_tab();
  set_meta(t, mt);
  EXPECT_EQ(text_of(binop(OP_ADD, make_object(t), num(1))), "table+number");
  EXPECT_EQ(text_of(binop(OP_SUB, num(1), make_object(t))), "number+table");
  // A numeric string on the left still goes to the right operand's handler.
  EXPECT_EQ(text_of(binop(OP_ADD, str("1"), make_object(t))), "string+table");
  // Two plain strings that are not numeric: without a handler they join.
  EXPECT_EQ(text_of(binop(OP_ADD, str("p"), str("q"))), "pq");
}

TEST_F(MetamethodTest, ShiftHandlersAndUnaryMinusConvention) {
  TableObject* mt = new_tab();
  set_field(mt, "_lshift", native(concat_args));
  set_field(mt, "_rshift", native(concat_args));
  set_field(mt, "_unm", native(concat_args));
  TableObject* t = new_tab();
  set_meta(t, mt);
  EXPECT_EQ(text_of(binop(OP_SHL, make_object(t), num(1))), "table+number");
  EXPECT_EQ(text_of(binop(OP_SAR, num(1), make_object(t))), "number+table");
  Assembler a(L, 2);
  a.abc(OP_UNM, 0, 1);
  a.ret(0, 1);
  EXPECT_EQ(text_of(ok1(a.closure(), {make_object(t)})), "table+table");
}

TEST_F(MetamethodTest, ConcatHandler) {
  TableObject* mt = new_tab();
  set_field(mt, "_concat", native(concat_args));
  TableObject* t = new_tab();
  set_meta(t, mt);
  Assembler a(L, 3);
  a.abc(OP_MOVE, 3, 1);
  a.abc(OP_MOVE, 4, 2);
  a.abc(OP_CONCAT, 0, 3, 4);
  a.ret(0, 1);
  Value fn = a.closure();
  EXPECT_EQ(text_of(ok1(fn, {str("s"), make_object(t)})), "string+table");
  EXPECT_EQ(text_of(ok1(fn, {make_object(t), num(1)})), "table+number");
}

TEST_F(MetamethodTest, LengthHandlerAndNullFallback) {
  Assembler a(L, 2);
  a.abc(OP_LEN, 0, 1);
  a.ret(0, 1);
  Value len = a.closure();
  TableObject* mt = new_tab();
  set_field(mt, "_len", native(concat_args));
  G(L)->type_metatables[TAG_BOOLEAN] = mt;
  EXPECT_EQ(text_of(ok1(len, {make_boolean(1)})), "boolean+null");
  G(L)->type_metatables[TAG_BOOLEAN] = nullptr;
  // Without its own handler, the null type's metatable is consulted.
  G(L)->type_metatables[TAG_NULL] = mt;
  EXPECT_EQ(text_of(ok1(len, {num(5)})), "number+null");
  // Tables never use _len.
  TableObject* t = new_tab();
  set_meta(t, mt);
  EXPECT_EQ(ok1(len, {make_object(t)}).number(), 0);
}

TEST_F(MetamethodTest, EqualityHandlerNeedsTheSameHandler) {
  TableObject* mt = new_tab();
  set_field(mt, "_eq", native(always_true));
  TableObject* a = new_tab();
  TableObject* b = new_tab();
  set_meta(a, mt);
  set_meta(b, mt);
  EXPECT_TRUE(jumps(OP_EQ, make_object(a), make_object(b)));
  EXPECT_FALSE(jumps(OP_EQSTRICT, make_object(a), make_object(b)));
  // Different metatables holding the same handler value.
  TableObject* mt2 = new_tab();
  set_field(mt2, "_eq", field(mt, "_eq"));
  TableObject* c = new_tab();
  set_meta(c, mt2);
  EXPECT_TRUE(jumps(OP_EQ, make_object(a), make_object(c)));
  // Different handlers: not equal, the handler is not called.
  TableObject* mt3 = new_tab();
  set_field(mt3, "_eq", native(always_true));
  TableObject* d = new_tab();
  set_meta(d, mt3);
  EXPECT_FALSE(jumps(OP_EQ, make_object(a), make_object(d)));
  // Only one side has a handler.
  EXPECT_FALSE(jumps(OP_EQ, make_object(a), tab()));
  EXPECT_FALSE(jumps(OP_EQ, tab(), make_object(a)));
  // A falsy result (0) means not equal.
  TableObject* mt0 = new_tab();
  set_field(mt0, "_eq", native(zero_result));
  TableObject* e = new_tab();
  TableObject* f = new_tab();
  set_meta(e, mt0);
  set_meta(f, mt0);
  EXPECT_FALSE(jumps(OP_EQ, make_object(e), make_object(f)));
}

TEST_F(MetamethodTest, OrderHandlers) {
  TableObject* lt_only = new_tab();
  set_field(lt_only, "_lt", native(concat_args));  // a non-empty string is truthy
  TableObject* a = new_tab();
  TableObject* b = new_tab();
  set_meta(a, lt_only);
  set_meta(b, lt_only);
  EXPECT_TRUE(jumps(OP_LT, make_object(a), make_object(b)));
  // LE falls back to not (b < a).
  EXPECT_FALSE(jumps(OP_LE, make_object(a), make_object(b)));
  TableObject* with_le = new_tab();
  set_field(with_le, "_le", native(zero_result));
  TableObject* c = new_tab();
  TableObject* d = new_tab();
  set_meta(c, with_le);
  set_meta(d, with_le);
  EXPECT_FALSE(jumps(OP_LE, make_object(c), make_object(d)));
  // A handler on one side only is no common handler.
  EXPECT_EQ(fails(test_function(OP_LT, 1), {make_object(a), tab()}),
            annotated(1, "\n{Attempt to}:compare two table values"));
}

// ---- described registers ----

TEST_F(MetamethodTest, TypeErrorDescribesLocalVariable) {
  // var x = null; x + 1
  Assembler a(L, 1);
  a.abc(OP_LOADNIL, 1, 1);
  a.abc(OP_ADD, 2, 1, a.kn(1));
  a.ret(2, 1);
  a.local("owner", 0, 3);
  a.local("x", 1, 3);
  EXPECT_EQ(fails(a.closure()),
            annotated(2, "\n{Attempt to}:perform arithmetic on\n{Kind}:variable(local)\n{Name}:'x'\n{Type}:null"));
}

TEST_F(MetamethodTest, TypeErrorDescribesGlobalFieldAndMethod) {
  Assembler g(L, 1);
  g.abx(OP_GETGLOBAL, 1, g.k("missing_global"));
  g.abc(OP_CALL, 1, 1, 1);
  g.ret(0, 0);
  EXPECT_EQ(fails(g.closure()),
            annotated(2, "\n{Attempt to}:call\n{Kind}:global(namespace)\n{Name}:'missing_global'\n{Type}:null"));
  Assembler f(L, 2);
  f.abc(OP_GETTABLE, 2, 1, f.ks("field"));
  f.abc(OP_ADD, 3, 2, f.kn(1));
  f.ret(3, 1);
  EXPECT_EQ(fails(f.closure(), {tab()}),
            annotated(2, "\n{Attempt to}:perform arithmetic on\n{Kind}:field(table)\n{Name}:'field'\n{Type}:null"));
  Assembler m(L, 2);
  m.abc(OP_SELF, 2, 1, m.ks("method"));
  m.abc(OP_CALL, 2, 2, 1);
  m.ret(0, 0);
  EXPECT_EQ(fails(m.closure(), {tab()}),
            annotated(2, "\n{Attempt to}:call\n{Kind}:method(table)\n{Name}:'method'\n{Type}:null"));
}

}  // namespace
}  // namespace quevro::test
