#include "vm/interpreter.h"

#include <cmath>
#include <string>
#include <type_traits>

#include "vm/api.h"
#include "vm/calls.h"
#include "vm/collector.h"
#include "vm/concat.h"
#include "vm/exec_form.h"
#include "vm/metamethods.h"
#include "vm/namespace.h"
#include "vm/opcodes.h"
#include "vm/runtime_errors.h"

namespace quevro {

namespace {

// The line hook fires on the first instruction, on a jump backwards or a repeat, and whenever the
// line changes. Returns true when the hook left the fiber suspended.
bool line_hook(VmState* L, const Instruction* pc) {
  Prototype* p = L->frame->func->closure()->proto;
  const Instruction* old_pc = L->saved_pc;
  L->saved_pc = pc;
  ptrdiff_t index = pc - p->code - 1;
  auto line_at = [&](ptrdiff_t at) { return (at >= 0 && at < p->size_line_info) ? p->line_info[at] : -1; };
  int line = line_at(index);
  if (index == 0 || pc <= old_pc || line != line_at(old_pc - p->code - 1)) run_hook(L, HOOK_LINE, line);
  if (L->status == STATUS_YIELD) {
    L->saved_pc = pc - 1;
    return true;
  }
  return false;
}

// a - floor(a / b) * b; with SSE4.1 the floor is a single rounding instruction.
inline double floored_mod(double a, double b) {
  return a - std::floor(a / b) * b;
}

// Operand fields come out of the execution form already scaled to 16-byte slots.
static_assert(sizeof(Value) == 16, "operand offsets scale by 16");
template <class T>
inline T* at_offset(T* from, uint32_t offset) {
  return reinterpret_cast<T*>(reinterpret_cast<char*>(const_cast<std::remove_const_t<T>*>(from)) + offset);
}

// A table read that missed needs the slow path only when the table's metatable may have `_get`.
inline bool miss_is_final(const TableObject* t) {
  return t->metatable == nullptr || (t->metatable->absent_events & (1u << EVENT_GET));
}

// Stores into a table without the slow path when nothing observable differs: an existing field
// whose key carries no read-only or constant mark, or a new key where no `_set` can apply. The
// first case cannot raise, so it runs before the caller saves the instruction pointer.
enum class FastSet { DONE, NEW_KEY, SLOW };

inline FastSet set_existing_field(VmState* L, const Value* obj, const Value* key, const Value* val) {
  if (obj->tag != TAG_TABLE) return FastSet::SLOW;
  TableObject* t = obj->table();
  int32_t index;
  if (key->tag == TAG_NUMBER && number_is_int32(key->u.n, &index) &&
      static_cast<uint32_t>(index) - 1 < static_cast<uint32_t>(t->array_size)) {
    // An array slot: no name, so no mark to honour and no metamethod-absence to forget.
    Value* slot = &t->array[index - 1];
    if (slot->is_null()) return FastSet::NEW_KEY;
    *slot = *val;
    barrier_back(L, t);
    return FastSet::DONE;
  }
  const Value* slot = table_get(t, *key);
  if (slot->is_null()) return FastSet::NEW_KEY;
  if (key->tag == TAG_STRING && key->string()->reserved >= MARK_CONSTANT_NAME) return FastSet::SLOW;
  *const_cast<Value*>(slot) = *val;
  t->absent_events = 0;
  barrier_back(L, t);
  return FastSet::DONE;
}

inline bool set_new_field(VmState* L, const Value* obj, const Value* key, const Value* val) {
  TableObject* t = obj->table();
  if (t->metatable != nullptr && !(t->metatable->absent_events & (1u << EVENT_SET))) return false;
  if (key->tag == TAG_NULL || (key->tag == TAG_NUMBER && key->u.n != key->u.n)) return false;
  *table_set_slot(L, t, *key) = *val;
  return true;
}

void for_prepare(VmState* L, Value* ra) {
  static const char* const messages[] = {"'for' initial value must be a number", "'for' limit must be a number",
                                         "'for' step must be a number"};
  for (int j = 0; j < 3; ++j) {
    double n;
    if (!to_number_value(ra + j, &n)) runtime_error(L, messages[j]);
    ra[j] = make_number(n);
  }
}

void get_direct(VmState* L, Value* ra, const Value* obj, const Value* key) {
  if (obj->tag == TAG_TABLE) {
    *ra = *table_get(obj->table(), *key);
  } else if (obj->tag == TAG_STRING && key->tag == TAG_NUMBER) {
    StringObject* s = obj->string();
    double pos = std::trunc(key->u.n - 1);
    if (pos >= 0 && pos < s->units()) {
      auto i = static_cast<size_t>(pos);
      *ra = make_string(s->is_wide() ? intern_wide(L, s->wide_data() + i, 1) : intern_string(L, s->data() + i, 1));
    } else {
      set_null(ra);
    }
  } else if (obj->tag == TAG_FUNCTION && obj->closure()->is_class) {
    *ra = *table_get(obj->closure()->env, *key);
  } else {
    set_null(ra);
  }
}

void append_field(VmState* L, Value* ra, const Value* key, const Value* val) {
  if (ra->tag != TAG_TABLE) return;
  Value k = *key, v = *val;
  TableObject* t = ra->table();
  Value* slot = table_set_slot(L, t, k);
  if (slot->tag == TAG_STRING && v.tag == TAG_STRING) {
    // Declaration texts of struct and class bodies are joined with ';'.
    StringObject* old = slot->string();
    std::string joined(old->data(), old->length);
    joined += ';';
    joined.append(v.string()->data(), v.string()->length);
    StringObject* s = intern_string(L, joined.data(), joined.size());
    *table_set_slot(L, t, k) = make_string(s);
  } else {
    *slot = v;
  }
}

void enter_namespace(VmState* L, ClosureObject* cl, Value* rc, const Value* rb) {
  TableObject* env;
  if (rc->tag == TAG_TABLE) {
    env = rc->table();
  } else {
    *rc = make_object(cl->env);
    if (rb->tag == TAG_STRING) {
      StringObject* path = rb->string();
      env = enter_namespace_path(L, cl->env, path->data(), path->length);
    } else if (rb->tag == TAG_TABLE) {
      env = rb->table();
    } else {
      type_error(L, rb, "with");
    }
  }
  cl->env = env;
  barrier_forward(L, cl, env);
}

void set_list(VmState* L, Value* ra, int n, int c) {
  if (ra->tag != TAG_TABLE) return;
  TableObject* t = ra->table();
  int64_t last = static_cast<int64_t>(c - 1) * FIELDS_PER_FLUSH + n;
  if (last > t->array_size) table_resize_array(L, t, static_cast<int>(last));
  if (last - n >= 0 && last <= t->array_size) {
    // Every index falls in the array part: store straight into it.
    t->absent_events = 0;
    barrier_back(L, t);
    for (; n > 0; --n) t->array[--last] = ra[n];
    return;
  }
  for (; n > 0; --n) *table_set_int(L, t, last--) = ra[n];
}

ClosureObject* make_closure(VmState* L, ClosureObject* cl, Value* base, Prototype* p, const Instruction*& pc) {
  ClosureObject* ncl = new_script_closure(L, p, p->is_class ? nullptr : cl->env);
  if (p->is_class) make_class(L, ncl);
  for (int j = 0; j < p->nupvalues; ++j, ++pc) {
    Instruction pseudo = from_exec_form(*pc);  // a capture word, read as stored
    if (get_op(pseudo) == OP_GETUPVAL)
      ncl->script_upvalues()[j] = cl->script_upvalues()[get_b(pseudo)];
    else
      ncl->script_upvalues()[j] = find_upvalue(L, base + get_b(pseudo));
  }
  return ncl;
}

}  // namespace

void execute(VmState* L, int nested) {
  // The table is indexed by the instruction's low byte. In an ABC instruction that byte holds the
  // opcode and the constant flags of B and C, so an instruction with RK operands lands on the
  // entry for its register/constant combination (suffix RR, RK, KR or KK for B and C); every other
  // opcode puts its one label under all four suffixes. In ABx and AsBx instructions the two bits
  // above the opcode belong to A, and those opcodes have one label too. The codes past the last
  // opcode never pass the verifier and do nothing.
#define QV_LABEL(name, v) &&op_##name##_##v,
#define QV_LABEL_RR(name, ...) QV_LABEL(name, RR)
#define QV_LABEL_RK(name, ...) QV_LABEL(name, RK)
#define QV_LABEL_KR(name, ...) QV_LABEL(name, KR)
#define QV_LABEL_KK(name, ...) QV_LABEL(name, KK)
#define QV_PADDING &&op_UNDEFINED, &&op_UNDEFINED, &&op_UNDEFINED
  static const void* const dispatch[4 << SIZE_OP] = {
      QUEVRO_OPCODES(QV_LABEL_RR) QV_PADDING, QUEVRO_OPCODES(QV_LABEL_RK) QV_PADDING,
      QUEVRO_OPCODES(QV_LABEL_KR) QV_PADDING, QUEVRO_OPCODES(QV_LABEL_KK) QV_PADDING};
#undef QV_PADDING
#undef QV_LABEL_KK
#undef QV_LABEL_KR
#undef QV_LABEL_RK
#undef QV_LABEL_RR
#undef QV_LABEL
  static_assert(OPCODE_COUNT + 3 == (1 << SIZE_OP), "the padding after the opcode labels fills the table");
  // While a line hook is set, every instruction goes through op_LINE_HOOK first. Switching
  // tables keeps the hook test out of the dispatch that ends every instruction.
#define QV_HOOKED4 &&op_LINE_HOOK, &&op_LINE_HOOK, &&op_LINE_HOOK, &&op_LINE_HOOK
#define QV_HOOKED16 QV_HOOKED4, QV_HOOKED4, QV_HOOKED4, QV_HOOKED4
#define QV_HOOKED64 QV_HOOKED16, QV_HOOKED16, QV_HOOKED16, QV_HOOKED16
  static const void* const hooked_dispatch[4 << SIZE_OP] = {QV_HOOKED64, QV_HOOKED64, QV_HOOKED64, QV_HOOKED64};
#undef QV_HOOKED64
#undef QV_HOOKED16
#undef QV_HOOKED4

  ClosureObject* cl;
  Value* base;
  const Value* k;
  const Instruction* pc;
  Instruction i;
  Value* ra;

  // Operand access and the save/refresh pair around anything that may raise, call or allocate.
  // The helpers are forced inline so that base, k and the instruction stay in registers.
  auto RA = [&]() __attribute__((always_inline)) { return at_offset(base, exec::a_offset(i)); };
  auto RAX = [&]() __attribute__((always_inline)) { return at_offset(base, exec::ax_offset(i)); };
  auto RB = [&]() __attribute__((always_inline)) { return at_offset(base, exec::b_offset(i)); };
  auto RC = [&]() __attribute__((always_inline)) { return at_offset(base, exec::c_offset(i)); };
  auto KB = [&]() __attribute__((always_inline)) { return at_offset(const_cast<Value*>(k), exec::b_offset(i)); };
  auto KC = [&]() __attribute__((always_inline)) { return at_offset(const_cast<Value*>(k), exec::c_offset(i)); };
  // RK operands of the opcodes without an entry per combination.
  auto RKB = [&]() __attribute__((always_inline)) { return exec::b_is_constant(i) ? KB() : RB(); };
  auto RKC = [&]() __attribute__((always_inline)) { return exec::c_is_constant(i) ? KC() : RC(); };
  // The hook mask changes only inside calls, so the table is chosen again after them.
  const void* const* table = dispatch;
  auto save_pc = [&]() __attribute__((always_inline)) { L->saved_pc = pc; };
  auto refresh = [&]() __attribute__((always_inline)) {
    base = L->base;
    table = (L->hook_mask & HOOK_MASK_LINE) ? hooked_dispatch : dispatch;
  };
  auto take_jump = [&]() __attribute__((always_inline)) { pc += exec::sbx(*pc) + 1; };  // the JMP that follows a test

#define QV_DISPATCH()          \
  do {                         \
    i = *pc++;                 \
    goto* table[i & 0xFF];     \
  } while (0)

  // One label under all four suffixes, for opcodes whose low byte carries no operand choice.
#define QV_OP(name) \
  op_##name##_RR:   \
  op_##name##_RK:   \
  op_##name##_KR:   \
  op_##name##_KK

  // An opcode with RK operands B and C: the body is written once and placed under each label
  // with rb and rc bound to the register or constant the combination names.
#define QV_OP_RK_BC(name, ...)                           \
  op_##name##_RR : {                                     \
    Value* rb = RB();                                    \
    Value* rc = RC();                                    \
    __VA_ARGS__                                          \
  }                                                      \
  op_##name##_RK : {                                     \
    Value* rb = RB();                                    \
    Value* rc = KC();                                    \
    __VA_ARGS__                                          \
  }                                                      \
  op_##name##_KR : {                                     \
    Value* rb = KB();                                    \
    Value* rc = RC();                                    \
    __VA_ARGS__                                          \
  }                                                      \
  op_##name##_KK : {                                     \
    Value* rb = KB();                                    \
    Value* rc = KC();                                    \
    __VA_ARGS__                                          \
  }
  // The same for a register B and an RK C; B's flag is never set in verified code, so the
  // entries with it share the bodies.
#define QV_OP_R_RK(name, ...) \
  op_##name##_RR:             \
  op_##name##_KR : {          \
    Value* rb = RB();         \
    Value* rc = RC();         \
    __VA_ARGS__               \
  }                           \
  op_##name##_RK:             \
  op_##name##_KK : {          \
    Value* rb = RB();         \
    Value* rc = KC();         \
    __VA_ARGS__               \
  }

reentry:
  cl = L->frame->func->closure();
  refresh();
  k = cl->proto->constants;
  pc = L->saved_pc;
  QV_DISPATCH();

op_LINE_HOOK:
  if (line_hook(L, pc)) return;
  refresh();
  goto* dispatch[i & 0xFF];
QV_OP(LOADK):
  *RAX() = k[exec::bx(i)];
  QV_DISPATCH();
QV_OP(LOADBOOL):
  *RA() = make_boolean(static_cast<uint32_t>(exec::b9(i)));
  if (exec::c_nonzero(i)) pc++;
  QV_DISPATCH();
QV_OP(LOADNIL) : {
  ra = RA();
  Value* rb = RB();
  do set_null(rb--);
  while (rb >= ra);
  QV_DISPATCH();
}
QV_OP(GETUPVAL):
  *RA() = *cl->script_upvalues()[exec::b8(i)]->v;
  QV_DISPATCH();
QV_OP(MOVE):
  *RA() = *RB();
  QV_DISPATCH();
QV_OP(GETNS) : {
  ra = RAX();
  const Value* key = k + exec::bx(i);
  const Value* v = table_get(cl->env, *key);
  if (!v->is_null()) [[likely]] {
    *ra = *v;
  } else {
    Value env = make_object(cl->env);
    save_pc();
    full_get(L, &env, key, ra, make_boolean(0));
    refresh();
  }
  QV_DISPATCH();
}
QV_OP(LOADNS):
  *RAX() = make_object(cl->env);
  QV_DISPATCH();
QV_OP(GETGLOBAL) : {
  ra = RAX();
  const Value* key = k + exec::bx(i);
  {
    const Value* v = table_get(L->globals.table(), *key);
    if (!v->is_null()) [[likely]] {
      *ra = *v;
      QV_DISPATCH();
    }
  }
  save_pc();
  Value globals = L->globals;
  full_get(L, &globals, key, ra, make_boolean(0));
  refresh();
  QV_DISPATCH();
}
QV_OP(GETMETA) : {
  TableObject* mt = get_metatable_of(L, RB());
  *RA() = mt ? make_object(mt) : make_null();
  QV_DISPATCH();
}
QV_OP_R_RK(GETTABLEN, {
  // The a[b] form: most often an array slot.
  int32_t index;
  if (rb->tag == TAG_TABLE && rc->tag == TAG_NUMBER && number_is_int32(rc->u.n, &index) &&
      static_cast<uint32_t>(index) - 1 < static_cast<uint32_t>(rb->table()->array_size)) [[likely]] {
    const Value* v = &rb->table()->array[index - 1];
    if (!v->is_null() || miss_is_final(rb->table())) [[likely]] {
      *RA() = *v;
      QV_DISPATCH();
    }
  }
  goto get_table;
})
QV_OP(GETTABLE) : get_table : {
  Value* rb = RB();
  Value* rc = RKC();
  ra = RA();
  if (rb->tag == TAG_TABLE) [[likely]] {
    const Value* v = table_get(rb->table(), *rc);
    if (!v->is_null() || miss_is_final(rb->table())) [[likely]] {
      *ra = *v;
      QV_DISPATCH();
    }
  }
  save_pc();
  // The a.b form tells a `_get` handler false, the a[b] form null.
  full_get(L, rb, rc, ra, exec::op(i) == OP_GETTABLE ? make_boolean(0) : make_null());
  refresh();
  QV_DISPATCH();
}
QV_OP(GETDIRECT):
  save_pc();
  get_direct(L, RA(), RB(), RKC());
  QV_DISPATCH();
QV_OP(SETNS) : {
  Value env = make_object(cl->env);
  save_pc();
  full_set(L, &env, k + exec::bx(i), RAX(), true);
  refresh();
  QV_DISPATCH();
}
QV_OP(SETGLOBAL) : {
  Value globals = L->globals;
  save_pc();
  full_set(L, &globals, k + exec::bx(i), RAX(), true, true);
  refresh();
  QV_DISPATCH();
}
QV_OP(SETUPVAL) : {
  ra = RA();
  UpvalueObject* uv = cl->script_upvalues()[exec::b8(i)];
  *uv->v = *ra;
  barrier_forward(L, uv, *ra);
  QV_DISPATCH();
}
QV_OP(SETIFNULL) : {
  Value* rb = RB();
  if (rb->is_null()) *rb = *RA();
  QV_DISPATCH();
}
QV_OP(SETMETA):
  save_pc();
  set_metatable_checked(L, RA(), RKB());
  QV_DISPATCH();
#define QV_SET_TABLE                                                      \
  ra = RA();                                                              \
  FastSet fast = set_existing_field(L, ra, rb, rc);                       \
  if (fast == FastSet::DONE) [[likely]] QV_DISPATCH();                    \
  save_pc();                                                              \
  if (fast == FastSet::NEW_KEY && set_new_field(L, ra, rb, rc)) QV_DISPATCH(); \
  full_set(L, ra, rb, rc, exec::op(i) == OP_SETTABLE);                    \
  refresh();                                                              \
  QV_DISPATCH();
QV_OP_RK_BC(SETTABLE, QV_SET_TABLE)
QV_OP_RK_BC(SETTABLEF, QV_SET_TABLE)
#undef QV_SET_TABLE
QV_OP(APPENDFIELD):
  save_pc();
  append_field(L, RA(), RKB(), RKC());
  QV_DISPATCH();
QV_OP(RAWSET):
  save_pc();
  raw_set_checked(L, RA(), RKB(), RKC());
  QV_DISPATCH();
QV_OP(NEWTABLE):
  save_pc();
  *RA() = make_object(table_create(L, fb_decode(exec::b9(i)), fb_decode(exec::c9(i))));
  check_gc(L);
  refresh();
  QV_DISPATCH();
QV_OP(ENTERNS):
  save_pc();
  enter_namespace(L, cl, RC(), RKB());
  check_gc(L);
  refresh();
  QV_DISPATCH();
QV_OP_R_RK(SELF, {
  Value obj = *rb;
  ra = RA();
  ra[1] = obj;
  if (obj.tag == TAG_TABLE) {
    // Methods usually live one `_get` table away: follow table handlers without the slow path.
    TableObject* t = obj.table();
    for (int hops = 0; hops < 4; ++hops) {
      const Value* v = table_get(t, *rc);
      if (!v->is_null() || miss_is_final(t)) [[likely]] {
        *ra = *v;
        QV_DISPATCH();
      }
      const Value* h = table_get_str(t->metatable, G(L)->event_names[EVENT_GET]);
      if (h->tag != TAG_TABLE) break;
      t = h->table();
    }
  }
  save_pc();
  // R(B) itself, not the copy: an error describes the register the object came from.
  full_get(L, rb, rc, ra, make_boolean(1));
  refresh();
  QV_DISPATCH();
})

#define QV_ARITH(event, expr)                                  \
  ra = RA();                                                   \
  if (rb->tag == TAG_NUMBER && rc->tag == TAG_NUMBER) [[likely]] {  \
    double x = rb->u.n, y = rc->u.n;                           \
    set_number(ra, (expr));                                    \
  } else {                                                     \
    save_pc();                                                 \
    arith(L, ra, rb, rc, event);                               \
    refresh();                                                 \
  }                                                            \
  QV_DISPATCH();

QV_OP_RK_BC(ADD, QV_ARITH(EVENT_ADD, x + y))
QV_OP_RK_BC(SUB, QV_ARITH(EVENT_SUB, x - y))
QV_OP_RK_BC(MUL, QV_ARITH(EVENT_MUL, x * y))
QV_OP_RK_BC(DIV, QV_ARITH(EVENT_DIV, x / y))
QV_OP_RK_BC(MOD, QV_ARITH(EVENT_MOD, floored_mod(x, y)))
QV_OP_RK_BC(POW, QV_ARITH(EVENT_POW, std::pow(x, y)))
#undef QV_ARITH

QV_OP(UNM) : {
  Value* rb = RB();
  ra = RA();
  if (rb->tag == TAG_NUMBER) [[likely]] {
    set_number(ra, -rb->u.n);
  } else {
    save_pc();
    arith(L, ra, rb, rb, EVENT_UNM);
    refresh();
  }
  QV_DISPATCH();
}
QV_OP(NOT):
  *RA() = make_boolean(is_falsy(*RB()) ? 1 : 0);
  QV_DISPATCH();
QV_OP(LEN):
  save_pc();
  get_length(L, RA(), RB());
  refresh();
  QV_DISPATCH();
QV_OP(CONCAT) : {
  int b = exec::b8(i);
  int c = exec::c8(i);
  save_pc();
  concat_values(L, c - b + 1, c);
  refresh();
  base[exec::a(i)] = base[b];
  check_gc(L);
  refresh();
  QV_DISPATCH();
}
QV_OP(JMP):
  pc += exec::sbx(i);
  QV_DISPATCH();
  // A test is followed by its JMP: a true outcome equal to A takes it, otherwise it is skipped.
#define QV_TEST_OUTCOME(outcome)            \
  if ((outcome) == (exec::a(i) != 0)) take_jump(); \
  else pc++;                                \
  QV_DISPATCH();
QV_OP_RK_BC(EQ, {
  bool eq;
  if (rb->tag == TAG_NUMBER && rc->tag == TAG_NUMBER) [[likely]] {
    eq = rb->u.n == rc->u.n;
  } else if (rb->tag == TAG_STRING && rc->tag == TAG_STRING) {
    eq = rb->u.gc == rc->u.gc;  // interned: one object per text
  } else {
    save_pc();
    eq = loose_equal(L, rb, rc);
    refresh();
  }
  QV_TEST_OUTCOME(eq)
})
QV_OP(EQSTRICT):
  QV_TEST_OUTCOME(strict_equal(RKB(), RKC()))
QV_OP_RK_BC(LT, {
  bool lt;
  if (rb->tag == TAG_NUMBER && rc->tag == TAG_NUMBER) [[likely]] {
    lt = rb->u.n < rc->u.n;
  } else {
    save_pc();
    lt = less_than(L, rb, rc);
    refresh();
  }
  QV_TEST_OUTCOME(lt)
})
QV_OP_RK_BC(LE, {
  bool le;
  if (rb->tag == TAG_NUMBER && rc->tag == TAG_NUMBER) [[likely]] {
    le = rb->u.n <= rc->u.n;
  } else {
    save_pc();
    le = less_equal(L, rb, rc);
    refresh();
  }
  QV_TEST_OUTCOME(le)
})
#undef QV_TEST_OUTCOME
QV_OP(TEST):
  if (is_falsy(*RA()) == exec::c_nonzero(i)) pc++;
  else take_jump();
  QV_DISPATCH();
QV_OP(TESTSET) : {
  Value* rb = RB();
  if (is_falsy(*rb) == exec::c_nonzero(i)) {
    pc++;
  } else {
    *RA() = *rb;
    take_jump();
  }
  QV_DISPATCH();
}
QV_OP(TRY) : {
  // The body's frame starts right above it and may overwrite any register there, so the
  // handler, the body and its arguments are copied above everything this frame uses.
  int b = exec::b8(i);
  int nargs = static_cast<int>(L->top - (base + b)) - 1;
  if (nargs < 0) nargs = 0;
  save_pc();
  ensure_stack(L, nargs + 2);
  refresh();
  Value* slot = L->top;
  Value* handler = base + exec::c8(i);
  bool has_handler = handler->tag == TAG_FUNCTION;
  slot[0] = has_handler ? *handler : make_null();
  for (int j = 0; j <= nargs; ++j) slot[1 + j] = base[b + j];
  L->top = slot + 2 + nargs;
  protected_call(L, slot + 1, 0, has_handler ? save_stack(L, slot) : 0);
  refresh();
  L->top = L->frame->top;
  QV_DISPATCH();
}
QV_OP(CALL) : {
  ra = RA();
  int b = exec::b8(i);
  int wanted = exec::c8(i) - 1;
  if (b != 0) L->top = ra + b;
  save_pc();
  if (ra->tag == TAG_FUNCTION && ra->closure()->is_script && !(L->hook_mask & HOOK_MASK_CALL)) {
    // Script to script: push the frame here instead of going through prepare_call.
    Prototype* p = ra->closure()->proto;
    if (script_call_fits(L, p)) [[likely]] {
      Value* callee_base = ra + 1;
      if (L->top > callee_base + p->numparams) L->top = callee_base + p->numparams;
      L->frame->saved_pc = pc;
      enter_script_frame(L, ++L->frame, ra, callee_base, p, wanted);
      nested++;
      // Enter the callee with what is already at hand; the hook table cannot have changed.
      cl = ra->closure();
      base = callee_base;
      k = p->constants;
      pc = p->code;
      QV_DISPATCH();
    }
  } else if (ra->tag == TAG_FUNCTION && !(L->hook_mask & HOOK_MASK_CALL) && L->frame != L->frames_end &&
             L->stack_last - L->top > NATIVE_MIN_SLOTS) {
    // Script to native: the frame prepare_call would push, without its general cases.
    ClosureObject* callee = ra->closure();
    L->frame->saved_pc = pc;
    enter_native_frame(L, ++L->frame, ra, wanted);
    int n = callee->fn(L);
    if (n < 0) return;  // yielded
    Value* first = L->top - n;
    if (L->hook_mask & HOOK_MASK_RETURN)
      finish_call(L, first);
    else
      pop_frame_with_results(L, first);
    if (wanted >= 0) L->top = L->frame->top;
    refresh();
    QV_DISPATCH();
  }
  switch (prepare_call(L, ra, wanted)) {
    case CallKind::SCRIPT:
      nested++;
      goto reentry;
    case CallKind::NATIVE_DONE:
      if (wanted >= 0) L->top = L->frame->top;
      refresh();
      QV_DISPATCH();
    case CallKind::YIELDED:
      return;
  }
  QV_DISPATCH();
}
QV_OP(TAILCALL) : {
  ra = RA();
  int b = exec::b8(i);
  if (b != 0) L->top = ra + b;
  save_pc();
  switch (prepare_call(L, ra, -1)) {
    case CallKind::SCRIPT: {
      // Slide the callee's frame down over the caller's.
      CallFrame* caller = L->frame - 1;
      Value* func = caller->func;
      Value* callee_func = L->frame->func;
      if (L->open_upvalues) close_upvalues(L, caller->base);
      L->base = caller->base = func + (L->frame->base - callee_func);
      ptrdiff_t n = 0;
      for (; callee_func + n < L->top; ++n) func[n] = callee_func[n];
      caller->top = L->top = func + n;
      caller->saved_pc = L->saved_pc;
      caller->tail_calls++;
      L->frame--;
      goto reentry;
    }
    case CallKind::NATIVE_DONE:
      refresh();
      QV_DISPATCH();
    case CallKind::YIELDED:
      return;
  }
  QV_DISPATCH();
}
QV_OP(RETURN) : {
  ra = RA();
  int b = exec::b8(i);
  if (L->open_upvalues && L->open_upvalues->v >= base) close_upvalues(L, base);
  // Back to a script caller that wants at most one value and gets at least that many: the
  // commonest returns (a value into the caller's registers, or a call made as a statement).
  // A wanted count of -1 (all results) compares as the largest.
  auto wanted = static_cast<uint32_t>(L->frame->wanted_results);
  if (wanted <= 1 && static_cast<uint32_t>(b) > wanted && nested > 1 && !(L->hook_mask & HOOK_MASK_RETURN)) [[likely]] {
    CallFrame* f = L->frame;
    if (wanted != 0) *f->func = *ra;
    L->frame = --f;
    nested--;
    cl = f->func->closure();
    L->base = f->base;
    L->top = f->top;
    L->saved_pc = pc = f->saved_pc;
    refresh();
    k = cl->proto->constants;
    QV_DISPATCH();
  }
  if (b != 0) L->top = ra + b - 1;
  save_pc();
  bool fixed = (L->hook_mask & HOOK_MASK_RETURN) ? finish_call(L, ra) : pop_frame_with_results(L, ra);
  if (--nested == 0) return;
  if (fixed) L->top = L->frame->top;
  goto reentry;
}
QV_OP(FORLOOP) : {
  ra = RAX();
  double step = ra[2].u.n;
  double from = ra[3].tag == TAG_NUMBER ? ra[3].u.n : ra[0].u.n;
  double idx = from + step;
  double limit = ra[1].u.n;
  if (step > 0 ? idx <= limit : idx >= limit) {
    pc += exec::sbx(i);
    set_number(ra, idx);
    set_number(ra + 3, idx);
  }
  QV_DISPATCH();
}
QV_OP(FORPREP):
  ra = RAX();
  save_pc();
  for_prepare(L, ra);
  set_number(ra, ra[0].u.n - ra[2].u.n);
  set_null(ra + 3);
  pc += exec::sbx(i);
  QV_DISPATCH();
QV_OP(TFORLOOP):
call_iterator : {
  ra = RA();
  Value* cb = ra + 3;
  cb[2] = ra[2];
  cb[1] = ra[1];
  cb[0] = ra[0];
  L->top = cb + 3;
  save_pc();
  if (cb->tag == TAG_FUNCTION && !cb->closure()->is_script &&
      !(L->hook_mask & (HOOK_MASK_CALL | HOOK_MASK_RETURN)) && L->frame != L->frames_end &&
      L->stack_last - L->top > NATIVE_MIN_SLOTS && L->native_depth + 1 < NATIVE_DEPTH_LIMIT) [[likely]] {
    // A native iterator (next, a line reader, a match iterator): the frame call_value would
    // push, without its general cases. The native depth still counts it, so the iterator
    // cannot yield, as through call_value.
    ClosureObject* iterator = cb->closure();
    L->native_depth++;
    L->frame->saved_pc = pc;
    enter_native_frame(L, ++L->frame, cb, exec::c8(i));
    int n = iterator->fn(L);
    pop_frame_with_results(L, L->top - n);
    L->native_depth--;
    check_gc(L);
  } else {
    call_value(L, cb, exec::c8(i));
  }
  L->top = L->frame->top;
  refresh();
  ra = RA();
  cb = ra + 3;
  if (!cb->is_null()) {
    ra[2] = *cb;
    take_jump();
  } else {
    pc++;
  }
  QV_DISPATCH();
}
QV_OP(CALLIFFUNC):
  ra = RA();
  if (ra[1].tag == TAG_FUNCTION) {
    L->top = ra + 2;
    save_pc();
    call_value(L, ra + 1, 0);
    L->top = L->frame->top;
    refresh();
  }
  QV_DISPATCH();
QV_OP(TFORNEXT):
  ra = RA();
  if (ra->tag == TAG_TABLE) {
    ra[3] = ra[1];
    save_pc();
    if (table_next(L, ra->table(), ra + 3)) {
      ra[1] = ra[3];
      take_jump();
    } else {
      pc++;
    }
    QV_DISPATCH();
  }
  if (ra->tag == TAG_FUNCTION) goto call_iterator;
  pc++;
  QV_DISPATCH();
QV_OP(SETLIST) : {
  ra = RA();
  int n = exec::b8(i);
  int c = exec::c9(i);
  if (n == 0) {
    n = static_cast<int>(L->top - ra) - 1;
    L->top = L->frame->top;
  }
  if (c == 0) c = static_cast<int>(from_exec_form(*pc++));  // the block number word, read as stored
  save_pc();
  set_list(L, ra, n, c);
  QV_DISPATCH();
}
QV_OP(CLOSE):
  close_upvalues(L, RA());
  QV_DISPATCH();
QV_OP(CLOSURE) : {
  save_pc();
  ClosureObject* ncl = make_closure(L, cl, base, cl->proto->protos[exec::bx(i)], pc);
  base[exec::ax(i)] = make_object(ncl);
  check_gc(L);
  refresh();
  QV_DISPATCH();
}

#define QV_BITS(op, expr)                                                      \
  {                                                                            \
    Value* rb = RKB();                                                         \
    Value* rc = RKC();                                                         \
    ra = RA();                                                                 \
    if (rb->tag == TAG_NUMBER && rc->tag == TAG_NUMBER) [[likely]] {           \
      int32_t x = to_int32(rb->u.n), y = to_int32(rc->u.n);                    \
      (void)y;                                                                 \
      set_number(ra, (expr));                                                  \
    } else {                                                                   \
      save_pc();                                                               \
      bit_op(L, ra, rb, rc, op);                                               \
      refresh();                                                               \
    }                                                                          \
    QV_DISPATCH();                                                             \
  }

QV_OP(BNOT) : {
  Value* rb = RKB();
  ra = RA();
  if (rb->tag == TAG_NUMBER) [[likely]] {
    set_number(ra, ~to_int32(rb->u.n));
  } else {
    save_pc();
    bit_op(L, ra, rb, rb, OP_BNOT);
    refresh();
  }
  QV_DISPATCH();
}
QV_OP(BAND):
  QV_BITS(OP_BAND, x & y)
QV_OP(BOR):
  QV_BITS(OP_BOR, x | y)
QV_OP(BXOR):
  QV_BITS(OP_BXOR, x ^ y)
QV_OP(SHL):
  QV_BITS(OP_SHL, static_cast<int32_t>(static_cast<uint32_t>(x) << (y & 31)))
QV_OP(SAR):
  QV_BITS(OP_SAR, x >> (y & 31))
QV_OP(SHR):
  QV_BITS(OP_SHR, static_cast<uint32_t>(x) >> (y & 31))
#undef QV_BITS

QV_OP(VARARG) : {
  ra = RA();
  int wanted = exec::b8(i) - 1;
  Prototype* p = cl->proto;
  int extra = static_cast<int>(base - L->frame->func) - p->numparams - 1;
  if (wanted == -1) {
    save_pc();
    ensure_stack(L, extra);
    refresh();
    ra = RA();
    wanted = extra;
    L->top = ra + extra;
  }
  for (int j = 0; j < wanted; ++j) ra[j] = j < extra ? *(base - extra + j) : make_null();
  QV_DISPATCH();
}
op_UNDEFINED:
  QV_DISPATCH();
#undef QV_OP_R_RK
#undef QV_OP_RK_BC
#undef QV_OP
#undef QV_DISPATCH
}

}  // namespace quevro
