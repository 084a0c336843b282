#include "vm/metamethods.h"

#include <cmath>
#include <cstring>

#include "vm/api.h"
#include "vm/calls.h"
#include "vm/cdata.h"
#include "vm/collector.h"
#include "vm/number.h"
#include "vm/opcodes.h"
#include "vm/runtime_errors.h"

namespace quevro {

constexpr int HANDLER_CHAIN_LIMIT = 100;

const Value* metatable_handler(VmState* L, TableObject* mt, Event e) {
  if (mt == nullptr) return &ABSENT_VALUE;
  if (e < CACHED_EVENT_COUNT && (mt->absent_events & (1u << e))) return &ABSENT_VALUE;
  const Value* h = table_get_str(mt, G(L)->event_names[e]);
  if (h->is_null()) {
    if (e < CACHED_EVENT_COUNT) mt->absent_events |= static_cast<uint8_t>(1u << e);
    return &ABSENT_VALUE;
  }
  return h;
}

TableObject* metatable_of(VmState* L, const Value* v) {
  switch (v->tag) {
    case TAG_TABLE: return v->table()->metatable;
    case TAG_CDATA: return v->cdata()->metatable;
    default: return v->tag < BASIC_TYPE_COUNT ? G(L)->type_metatables[v->tag] : nullptr;
  }
}

const Value* value_handler(VmState* L, const Value* v, Event e) { return metatable_handler(L, metatable_of(L, v), e); }

bool to_number_value(const Value* v, double* out) {
  if (v->tag == TAG_NUMBER) {
    *out = v->u.n;
    return true;
  }
  return v->tag == TAG_STRING && string_to_number(v->string()->data(), v->string()->length, out);
}

namespace {

// Calls f with the given arguments; stores the first result in *result (a stack slot) when
// result is given.
void call_handler(VmState* L, const Value& f, std::initializer_list<Value> args, Value* result) {
  ptrdiff_t result_at = result ? save_stack(L, result) : 0;
  ensure_stack(L, static_cast<int>(args.size()) + 1);
  Value* slot = L->top;
  *L->top++ = f;
  for (const Value& a : args) *L->top++ = a;
  call_value(L, slot, result ? 1 : 0);
  if (result) {
    L->top--;
    *restore_stack(L, result_at) = *L->top;
  }
}

// Zero-based element position of a numeric key: trunc(key - 1), taken as unsigned.
uint64_t element_position(double key) {
  double p = std::trunc(key - 1);
  if (!(p >= 0) || p >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(p);
}

bool is_class(const Value* v) { return v->tag == TAG_FUNCTION && v->closure()->is_class; }

}  // namespace

bool call_binary_handler(VmState* L, const Value* a, const Value* b, Value* result, Event e) {
  const Value* h = value_handler(L, a, e);
  if (h->is_null()) h = value_handler(L, b, e);
  // The left operand's entry wins; an entry that is no function counts as no handler, so the
  // operator raises its own type error instead of trying to call it.
  if (h->tag != TAG_FUNCTION) return false;
  call_handler(L, *h, {*a, *b}, result);
  return true;
}

void full_get(VmState* L, const Value* obj, const Value* key, Value* result, const Value& flag) {
  Value t = *obj;
  Value k = *key;
  Value flag_value = flag;
  if (is_class(&t)) {
    t = make_object(t.closure()->env);
    flag_value = make_boolean(0);
  } else if (t.tag == TAG_STRING && k.tag == TAG_NUMBER) {
    StringObject* s = t.string();
    uint64_t i = element_position(k.u.n);
    double code = 0;
    if (i < s->units()) code = s->is_wide() ? s->wide_data()[i] : static_cast<unsigned char>(s->data()[i]);
    *result = make_number(code);
    return;
  }
  for (int step = 0;;) {
    Value handler;
    if (t.tag == TAG_TABLE) {
      const Value* v = table_get(t.table(), k);
      if (!v->is_null()) {
        *result = *v;
        return;
      }
      const Value* h = metatable_handler(L, t.table()->metatable, EVENT_GET);
      if (h->is_null()) {
        set_null(result);
        return;
      }
      handler = *h;
    } else {
      const Value* h = value_handler(L, &t, EVENT_GET);
      if (h->is_null()) {
        if (t.tag == TAG_CDATA && t.cdata()->is_buffer() && k.tag == TAG_NUMBER) {
          uint64_t i = element_position(k.u.n);
          *result = make_number(i < t.cdata()->size ? t.cdata()->data()[i] : 0);
          return;
        }
        type_error(L, step == 0 ? obj : &t, " _get table ");
      }
      handler = *h;
    }
    if (handler.tag == TAG_FUNCTION) {
      call_handler(L, handler, {t, k, flag_value}, result);
      return;
    }
    t = handler;
    if (++step == HANDLER_CHAIN_LIMIT) runtime_error(L, "loop in _get table ");
  }
}

namespace {

// Fields whose names begin with '_' are write-once; constants are guarded as globals.
void check_readonly(VmState* L, TableObject* t, const Value& key, const Value* old, const Value& val, bool via_globals) {
  if (key.tag != TAG_STRING) return;
  StringObject* name = key.string();
  uint8_t mark = name->reserved;
  bool constant_store = mark == MARK_CONSTANT_NAME && via_globals;
  bool guarded = mark == MARK_READONLY_NAME ||
                 (mark == MARK_CONSTANT_NAME && (via_globals || (name->length > 0 && name->data()[0] == '_')));
  if (!guarded || raw_equal_values(*old, val)) return;
  bool is_globals = L->globals.tag == TAG_TABLE && L->globals.table() == t;
  if (!is_globals && !metatable_handler(L, t->metatable, EVENT_READONLY)->is_null()) return;
  runtime_error(L, "Can't modify the %s : '%s'", constant_store ? "constant" : "read-only field", name->data());
}

}  // namespace

void full_set(VmState* L, const Value* obj, const Value* key, const Value* val, bool flag, bool via_globals) {
  Value t = *obj;
  Value k = *key;
  Value v = *val;
  if (is_class(&t)) t = make_object(t.closure()->env);
  for (int step = 0;;) {
    Value handler;
    if (t.tag == TAG_TABLE) {
      TableObject* table = t.table();
      Value* slot = table_set_slot(L, table, k);
      if (!slot->is_null()) {
        check_readonly(L, table, k, slot, v, via_globals);
        *slot = v;
        return;
      }
      const Value* h = metatable_handler(L, table->metatable, EVENT_SET);
      if (h->is_null()) {
        *slot = v;
        // When the table is its own metatable, the lookup above may have read this very slot,
        // still empty, and recorded `_set` as missing; the store must not leave that behind.
        table->absent_events = 0;
        return;
      }
      handler = *h;
    } else {
      const Value* h = value_handler(L, &t, EVENT_SET);
      if (h->is_null()) {
        if (t.tag == TAG_CDATA && t.cdata()->is_buffer() && k.tag == TAG_NUMBER) {
          uint64_t i = element_position(k.u.n);
          double n = 0;
          to_number_value(&v, &n);
          // The low 8 bits of the value truncated toward zero.
          double low = std::isfinite(n) ? std::fmod(std::trunc(n), 256.0) : 0;
          if (i < t.cdata()->size) t.cdata()->data()[i] = static_cast<unsigned char>(static_cast<int>(low));
          return;
        }
        type_error(L, step == 0 ? obj : &t, " _set table ");
      }
      handler = *h;
    }
    if (handler.tag == TAG_FUNCTION) {
      call_handler(L, handler, {t, k, v, make_boolean(flag ? 1 : 0)}, nullptr);
      return;
    }
    t = handler;
    if (++step == HANDLER_CHAIN_LIMIT) runtime_error(L, "loop in _set table ");
  }
}

void raw_set_checked(VmState* L, const Value* obj, const Value* key, const Value* val) {
  if (obj->tag != TAG_TABLE) type_error(L, obj, " rawset table ");
  Value k = *key, v = *val;
  TableObject* t = obj->table();
  Value* slot = table_set_slot(L, t, k);
  if (!slot->is_null()) check_readonly(L, t, k, slot, v, false);
  *slot = v;
}

TableObject* get_metatable_of(VmState* L, const Value* obj) {
  if (is_class(obj)) return obj->closure()->env->metatable;
  return metatable_of(L, obj);
}

void set_metatable_checked(VmState* L, const Value* obj, const Value* mt) {
  TableObject* current = get_metatable_of(L, obj);
  if (current != nullptr) {
    // A metatable without a true `_float` field is locked in place.
    const Value* f = table_get_str(current, intern_string(L, "_float"));
    if (f->is_null() || (f->tag == TAG_BOOLEAN && f->u.b == 0)) runtime_error(L, "Can't remove the metatable that is locked. ");
  }
  if (mt->tag != TAG_TABLE && mt->tag != TAG_NULL) type_error(L, mt, "metatable");
  TableObject* m = mt->tag == TAG_TABLE ? mt->table() : nullptr;
  if (is_class(obj)) {
    obj->closure()->env->metatable = m;
    barrier_back(L, obj->closure()->env);
  } else if (obj->tag == TAG_TABLE) {
    obj->table()->metatable = m;
    barrier_back(L, obj->table());
  } else if (obj->tag == TAG_CDATA) {
    obj->cdata()->metatable = m;
    barrier_forward(L, obj->cdata(), m);
  } else
    G(L)->type_metatables[obj->tag] = m;
}

bool loose_equal(VmState* L, const Value* a, const Value* b) {
  if (a->tag == TAG_NUMBER || a->tag == TAG_BOOLEAN) std::swap(a, b);
  if (b->tag == TAG_BOOLEAN) {
    bool bf = b->u.b == 0;
    switch (a->tag) {
      case TAG_NULL: return bf;
      case TAG_BOOLEAN: return a->u.b == b->u.b;
      case TAG_NUMBER: return (a->u.n == 0) == bf;
      default: return !bf;
    }
  }
  if (b->tag == TAG_NUMBER) {
    double n = b->u.n;
    switch (a->tag) {
      case TAG_NULL: return false;
      case TAG_BOOLEAN: return (n == 0) == (a->u.b == 0);
      case TAG_POINTER: return std::trunc(n) == static_cast<double>(reinterpret_cast<uintptr_t>(a->u.p));
      case TAG_NUMBER: return a->u.n == n;
      case TAG_STRING: {
        double m;
        return string_to_number(a->string()->data(), a->string()->length, &m) && m == n;
      }
      default: return false;
    }
  }
  if (a->tag != b->tag) return false;
  switch (a->tag) {
    case TAG_NULL: return true;
    case TAG_TABLE:
    case TAG_CDATA: {
      if (a->u.p == b->u.p) return true;
      TableObject* ma = metatable_of(L, a);
      TableObject* mb = metatable_of(L, b);
      const Value* ha = metatable_handler(L, ma, EVENT_EQ);
      if (ha->is_null()) return false;
      if (ma != mb) {
        const Value* hb = metatable_handler(L, mb, EVENT_EQ);
        if (!raw_equal_values(*ha, *hb)) return false;
      }
      ptrdiff_t at = save_stack(L, L->top);
      ensure_stack(L, 1);
      L->top++;
      Value* result = restore_stack(L, at);
      call_handler(L, *ha, {*a, *b}, result);
      bool eq = !is_falsy(*restore_stack(L, at));
      L->top = restore_stack(L, at);
      return eq;
    }
    default: return a->u.p == b->u.p;
  }
}

namespace {

// Byte strings under the locale's collation, segment by segment across embedded zero bytes.
int compare_strings(const StringObject* ls, const StringObject* rs) {
  const char* l = ls->data();
  size_t ll = ls->length;
  const char* r = rs->data();
  size_t lr = rs->length;
  for (;;) {
    int c = std::strcoll(l, r);
    if (c != 0) return c;
    size_t len = std::strlen(l);
    if (len == lr) return len == ll ? 0 : 1;
    if (len == ll) return -1;
    len++;
    l += len;
    ll -= len;
    r += len;
    lr -= len;
  }
}

// Calls the order handler common to both operands; false when there is none.
bool call_order_handler(VmState* L, const Value* a, const Value* b, Event e, bool* result) {
  const Value* h1 = value_handler(L, a, e);
  if (h1->is_null()) return false;
  const Value* h2 = value_handler(L, b, e);
  if (!raw_equal_values(*h1, *h2)) return false;
  ptrdiff_t at = save_stack(L, L->top);
  ensure_stack(L, 1);
  L->top++;
  call_handler(L, *h1, {*a, *b}, restore_stack(L, at));
  *result = !is_falsy(*restore_stack(L, at));
  L->top = restore_stack(L, at);
  return true;
}

}  // namespace

bool less_than(VmState* L, const Value* a, const Value* b) {
  if (a->tag == TAG_NUMBER && b->tag == TAG_NUMBER) return a->u.n < b->u.n;
  if (a->tag == TAG_STRING && b->tag == TAG_STRING) return compare_strings(a->string(), b->string()) < 0;
  bool result;
  if (a->tag == b->tag && call_order_handler(L, a, b, EVENT_LT, &result)) return result;
  compare_error(L, a, b);
}

bool less_equal(VmState* L, const Value* a, const Value* b) {
  if (a->tag != b->tag) return false;
  if (a->tag == TAG_NUMBER) return a->u.n <= b->u.n;
  if (a->tag == TAG_STRING) return compare_strings(a->string(), b->string()) <= 0;
  bool result;
  if (call_order_handler(L, a, b, EVENT_LE, &result)) return result;
  if (call_order_handler(L, b, a, EVENT_LT, &result)) return !result;
  compare_error(L, a, b);
}

void arith(VmState* L, Value* result, const Value* a, const Value* b, Event e) {
  double x, y;
  if (to_number_value(a, &x) && to_number_value(b, &y)) {
    double r;
    switch (e) {
      case EVENT_ADD: r = x + y; break;
      case EVENT_SUB: r = x - y; break;
      case EVENT_MUL: r = x * y; break;
      case EVENT_DIV: r = x / y; break;
      case EVENT_MOD: r = x - std::floor(x / y) * y; break;
      case EVENT_POW: r = std::pow(x, y); break;
      case EVENT_UNM: r = -x; break;
      case EVENT_LSHIFT: r = static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(to_int32(x)) << (to_int32(y) & 31))); break;
      case EVENT_RSHIFT: r = static_cast<double>(to_int32(x) >> (to_int32(y) & 31)); break;
      default: r = 0; break;
    }
    *result = make_number(r);
    return;
  }
  if (call_binary_handler(L, a, b, result, e)) return;
  if (e == EVENT_ADD && a->tag == TAG_STRING && b->tag == TAG_STRING) {
    // "a" + "b" joins the bytes; wide only when both are wide.
    StringObject* l = a->string();
    StringObject* r = b->string();
    std::string joined(l->data(), l->length);
    joined.append(r->data(), r->length);
    *result = make_string(intern_bytes(L, joined.data(), joined.size(), l->is_wide() && r->is_wide()));
    return;
  }
  arith_error(L, a, b);
}

void bit_op(VmState* L, Value* result, const Value* a, const Value* b, int op) {
  if (op == OP_SHL || op == OP_SAR) {
    arith(L, result, a, b, op == OP_SHL ? EVENT_LSHIFT : EVENT_RSHIFT);
    return;
  }
  double x, y = 0;
  if (!to_number_value(a, &x)) arith_error(L, a, b);
  if (op != OP_BNOT && !to_number_value(b, &y)) arith_error(L, a, b);
  int32_t i = to_int32(x), j = to_int32(y);
  double r;
  switch (op) {
    case OP_BNOT: r = ~i; break;
    case OP_BAND: r = i & j; break;
    case OP_BOR: r = i | j; break;
    case OP_BXOR: r = i ^ j; break;
    default: r = static_cast<uint32_t>(i) >> (j & 31); break;  // SHR
  }
  *result = make_number(r);
}

void get_length(VmState* L, Value* result, const Value* v) {
  switch (v->tag) {
    case TAG_NULL: *result = make_number(0); return;
    case TAG_STRING: *result = make_number(v->string()->length); return;
    case TAG_TABLE: *result = make_number(table_border(v->table())); return;
    case TAG_CDATA:
      if (v->cdata()->is_buffer()) {
        *result = make_number(v->cdata()->size);
        return;
      }
      break;
    default: break;
  }
  const Value* h = value_handler(L, v, EVENT_LEN);
  if (h->is_null()) h = metatable_handler(L, G(L)->type_metatables[TAG_NULL], EVENT_LEN);
  if (h->is_null()) type_error(L, v, "get length of");
  Value handler = *h;
  call_handler(L, handler, {*v, make_null()}, result);
}

}  // namespace quevro
