#include "vm/api.h"

#include <cstring>
#include <string>

#include "vm/cdata.h"
#include "vm/collector.h"
#include "vm/concat.h"
#include "vm/encoding.h"
#include "vm/utf.h"
#include "vm/metamethods.h"
#include "vm/number.h"
#include "vm/runtime_errors.h"

namespace quevro {

namespace {

Value* absent() { return const_cast<Value*>(&ABSENT_VALUE); }

ClosureObject* running_function(VmState* L) {
  Value* f = L->frame->func;
  return (L->frame != L->frames && f->tag == TAG_FUNCTION) ? f->closure() : nullptr;
}

// Replaces a number in a stack slot by its text.
void number_to_string_in_place(VmState* L, Value* v) {
  char buf[32];
  size_t n = format_number(v->u.n, buf);
  *v = make_string(intern_string(L, buf, n));
}

}  // namespace

TableObject* current_env(VmState* L) {
  ClosureObject* f = running_function(L);
  return f ? f->env : L->globals.table();
}

// Relative and pseudo-indices.
Value* stack_address_beyond(VmState* L, int idx) {
  if (idx > REGISTRY_INDEX) {
    Value* o = L->top + idx;
    return (idx != 0 && o >= L->base) ? o : absent();
  }
  switch (idx) {
    case REGISTRY_INDEX: return &G(L)->registry;
    case ENVIRON_INDEX: L->env_scratch = make_object(current_env(L)); return &L->env_scratch;
    case GLOBALS_INDEX: return &L->globals;
    default: {
      ClosureObject* f = running_function(L);
      int n = GLOBALS_INDEX - idx;
      if (f == nullptr || f->is_script || n > f->nupvalues) return absent();
      return &f->native_upvalues()[n - 1];
    }
  }
}

int check_stack(VmState* L, int n) {
  if (n < 0 || n > STACK_WINDOW_LIMIT || (L->top - L->base) + n > STACK_WINDOW_LIMIT) return 0;
  if (n > 0) {
    ensure_stack(L, n);
    if (L->frame->top < L->top + n) L->frame->top = L->top + n;
  }
  return 1;
}

void set_top(VmState* L, int idx) {
  if (idx >= 0) {
    Value* target = L->base + idx;
    while (L->top < target) *L->top++ = make_null();
    L->top = target;
  } else {
    L->top += idx + 1;
  }
}

void remove(VmState* L, int idx) {
  Value* p = stack_address(L, idx);
  if (is_absent(p)) return;
  while (++p < L->top) *(p - 1) = *p;
  L->top--;
}

void insert(VmState* L, int idx) {
  Value* p = stack_address(L, idx);
  if (is_absent(p)) return;
  for (Value* q = L->top; q > p; --q) *q = *(q - 1);
  *p = *L->top;
}

void replace(VmState* L, int idx) {
  Value* v = L->top - 1;
  if (idx == ENVIRON_INDEX) {
    ClosureObject* f = running_function(L);
    if (f && v->tag == TAG_TABLE) {
      f->env = v->table();
      barrier_forward(L, f, *v);
    }
  } else {
    Value* p = stack_address(L, idx);
    if (!is_absent(p)) {
      *p = *v;
      if (idx < GLOBALS_INDEX) barrier_forward(L, running_function(L), *v);  // a native upvalue
    }
  }
  L->top--;
}

void push_value(VmState* L, int idx) { push(L, *stack_address(L, idx)); }

const char* tag_name(int tag) {
  static const char* const names[] = {"null", "boolean", "pointer", "number", "string", "table",
                                      "function", "cdata", "fiber", "proto", "upval"};
  return (tag >= 0 && tag <= static_cast<int>(TAG_UPVAL)) ? names[tag] : "no value";
}

const char* value_type_name(const Value* v) {
  if (v == &ABSENT_VALUE) return "no value";
  if (v->tag == TAG_FUNCTION && v->closure()->is_class) return "class";
  if (v->tag == TAG_CDATA && v->cdata()->is_buffer()) return "buffer";
  return tag_name(static_cast<int>(v->tag));
}

int type_of(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  return is_absent(v) ? TYPE_NONE : static_cast<int>(v->tag);
}

const char* type_name(VmState* L, int idx) { return value_type_name(stack_address(L, idx)); }

bool is_number(VmState* L, int idx) {
  double n;
  return to_number_value(stack_address(L, idx), &n);
}

bool is_string(VmState* L, int idx) {
  uint32_t t = stack_address(L, idx)->tag;
  return t == TAG_STRING || t == TAG_NUMBER;
}

bool is_cdata(VmState* L, int idx) {
  uint32_t t = stack_address(L, idx)->tag;
  return t == TAG_CDATA || t == TAG_POINTER;
}

bool raw_equal(VmState* L, int i, int j) {
  Value* a = stack_address(L, i);
  Value* b = stack_address(L, j);
  return !is_absent(a) && !is_absent(b) && raw_equal_values(*a, *b);
}

double to_number(VmState* L, int idx) {
  double n;
  return to_number_value(stack_address(L, idx), &n) ? n : 0;
}

int32_t to_integer(VmState* L, int idx) {
  double n;
  return to_number_value(stack_address(L, idx), &n) ? to_int32(n) : 0;
}

bool to_boolean(VmState* L, int idx) { return !is_falsy(*stack_address(L, idx)); }

uint8_t string_flags(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  return v->tag == TAG_STRING ? v->string()->flags : 0;
}

void set_string_flags(VmState* L, int idx, uint8_t flags) {
  Value* v = stack_address(L, idx);
  if (v->tag != TAG_STRING) return;
  StringObject* s = v->string();
  // Wideness is part of a string's identity; it cannot be switched on or off afterwards.
  if ((flags & STR_WIDE) || s->is_wide()) runtime_error(L, "Invalid UTF");
  s->flags = flags;
}

const char* to_lstring(VmState* L, int idx, size_t* len) {
  Value* v = stack_address(L, idx);
  switch (v->tag) {
    case TAG_NUMBER:
      if (is_absent(v)) break;
      number_to_string_in_place(L, v);
      [[fallthrough]];
    case TAG_STRING:
      if (len) *len = v->string()->length;
      return v->string()->data();
    case TAG_CDATA:
      if (v->cdata()->is_buffer()) {
        if (len) *len = v->cdata()->size;
        return reinterpret_cast<const char*>(v->cdata()->data());
      }
      break;
    default: break;
  }
  if (len) *len = 0;
  return nullptr;
}

const char16_t* to_utf16(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  if (v->tag == TAG_NUMBER && !is_absent(v)) number_to_string_in_place(L, v);
  if (v->tag != TAG_STRING) return nullptr;
  StringObject* s = v->string();
  if (s->is_wide()) return s->wide_data();
  std::u16string wide;
  if (s->flags & STR_ANSI)
    ansi_to_utf16(s->data(), s->length, &wide);
  else
    utf8_to_utf16(s->data(), s->length, &wide);
  StringObject* w = intern_wide(L, wide.data(), wide.size());
  v = stack_address(L, idx);  // interning may not move the stack, but stay safe
  *v = make_string(w);
  return w->wide_data();
}

size_t length_of(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  switch (v->tag) {
    case TAG_STRING: return v->string()->length;
    case TAG_TABLE: return table_border(v->table());
    case TAG_CDATA: return v->cdata()->size;
    case TAG_NUMBER: {
      size_t len = 0;
      if (!is_absent(v)) to_lstring(L, idx, &len);
      return len;
    }
    default: return 0;
  }
}

void* to_cdata(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  return v->tag == TAG_CDATA ? v->cdata()->data() : nullptr;
}

void* cdata_handle(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  if (v->tag != TAG_CDATA || v->cdata()->size < sizeof(void*)) return nullptr;
  void* handle;
  std::memcpy(&handle, v->cdata()->data(), sizeof handle);
  return handle;
}

void push_null(VmState* L) { push(L, make_null()); }
void push_number(VmState* L, double n) { push(L, make_number(n)); }
void push_integer(VmState* L, int64_t n) { push(L, make_number(static_cast<double>(n))); }
void push_boolean(VmState* L, bool b) { push(L, make_boolean(b ? 1 : 0)); }
void push_pointer(VmState* L, void* p) { push(L, p ? make_pointer(p) : make_null()); }

void push_lstring(VmState* L, const char* s, size_t len) {
  check_gc(L);
  push(L, make_string(intern_string(L, s, len)));
}

namespace {
// Addresses that are really small integers or the all-ones handle travel as pointer values.
bool is_pseudo_address(const void* p) {
  auto a = reinterpret_cast<uintptr_t>(p);
  return a < 65535 || a == ~static_cast<uintptr_t>(0);
}
}  // namespace

void push_string(VmState* L, const char* s) {
  if (s == nullptr)
    push_null(L);
  else if (is_pseudo_address(s))
    push(L, make_pointer(const_cast<char*>(s)));
  else {
    check_gc(L);
    push(L, make_string(intern_name(L, s)));
  }
}

void push_wstring(VmState* L, const char16_t* s, size_t units) {
  check_gc(L);
  push(L, make_string(intern_wide(L, s, units)));
}

void push_string_flags(VmState* L, const char* s, size_t len, uint8_t flags) {
  check_gc(L);
  StringObject* str = (flags & STR_WIDE) ? intern_bytes(L, s, len, true) : intern_string(L, s, len);
  // The wide bit follows the string's identity; the other flags are taken as given.
  if (flags != 0 && str->length != 0) str->flags = static_cast<uint8_t>((flags & ~STR_WIDE) | (str->flags & STR_WIDE));
  push(L, make_string(str));
}

void push_wide_as_utf8(VmState* L, const char16_t* w) {
  if (w == nullptr) {
    push_null(L);
    return;
  }
  if (is_pseudo_address(w)) {
    push(L, make_pointer(const_cast<char16_t*>(w)));
    return;
  }
  check_gc(L);
  size_t units = 0;
  while (w[units]) ++units;
  std::string utf8;
  utf16_to_utf8(w, units, &utf8);
  StringObject* s = intern_string(L, utf8.data(), utf8.size());
  if (s->length) s->flags = STR_UTF8;
  push(L, make_string(s));
}

void push_closure(VmState* L, NativeFn fn, int nup, bool as_class) {
  check_gc(L);
  ClosureObject* c = new_native_closure(L, fn, nup, current_env(L));
  L->top -= nup;
  for (int i = 0; i < nup; ++i) c->native_upvalues()[i] = L->top[i];
  push(L, make_object(c));
  if (as_class) make_class(L, c);
}

void new_table(VmState* L, int narray, int nhash) {
  check_gc(L);
  push(L, make_object(table_create(L, narray, nhash)));
}

void new_array(VmState* L, int narray) {
  check_gc(L);
  push(L, make_object(table_create(L, narray, -1)));
}

bool is_array(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  return v->tag == TAG_TABLE && v->table()->array_flag;
}

void* new_cdata(VmState* L, size_t size) {
  check_gc(L);
  CdataObject* u = cdata_create(L, size, current_env(L));
  push(L, make_object(u));
  return u->data();
}

namespace {

TableObject* table_at(VmState* L, int idx) {
  Value* t = stack_address(L, idx);
  if (t->tag != TAG_TABLE) type_error(L, t, "index");
  return t->table();
}

}  // namespace

void new_table_like(VmState* L, int idx) {
  check_gc(L);
  TableObject* model = table_at(L, idx);
  push(L, make_object(table_create(L, model->array_size, model->array_flag ? -1 : 0)));
}

RawTable::RawTable(VmState* L, int idx) : L_(L), t_(table_at(L, idx)) {}

void RawTable::set_outside_array_part(int64_t i, const Value& v) {
  if (v.is_null() && table_get_int(t_, i)->is_null()) return;
  *table_set_int(L_, t_, i) = v;
}

void get_table(VmState* L, int idx) {
  Value obj = *stack_address(L, idx);
  full_get(L, &obj, L->top - 1, L->top - 1, make_boolean(0));
}

void get_field(VmState* L, int idx, const char* name) {
  Value obj = *stack_address(L, idx);
  push_string(L, name);
  full_get(L, &obj, L->top - 1, L->top - 1, make_boolean(0));
}

void set_table(VmState* L, int idx) {
  Value obj = *stack_address(L, idx);
  full_set(L, &obj, L->top - 2, L->top - 1, true, idx == GLOBALS_INDEX);
  L->top -= 2;
}

void set_field(VmState* L, int idx, const char* name) {
  Value obj = *stack_address(L, idx);
  push_string(L, name);
  insert(L, -2);
  full_set(L, &obj, L->top - 2, L->top - 1, true, idx == GLOBALS_INDEX);
  L->top -= 2;
}

void raw_get(VmState* L, int idx) {
  TableObject* t = table_at(L, idx);
  L->top[-1] = *table_get(t, L->top[-1]);
}

void raw_get_index(VmState* L, int idx, int64_t n) {
  TableObject* t = table_at(L, idx);
  push(L, *table_get_int(t, n));
}

void raw_get_field(VmState* L, int idx, const char* name) {
  TableObject* t = table_at(L, idx);
  push(L, *table_get_str(t, intern_name(L, name)));
}

void raw_set(VmState* L, int idx) {
  TableObject* t = table_at(L, idx);
  *table_set_slot(L, t, L->top[-2]) = L->top[-1];
  L->top -= 2;
}

void raw_set_index(VmState* L, int idx, int64_t n) {
  TableObject* t = table_at(L, idx);
  *table_set_int(L, t, n) = L->top[-1];
  L->top--;
}

void raw_set_field(VmState* L, int idx, const char* name) {
  TableObject* t = table_at(L, idx);
  *table_set_str(L, t, intern_name(L, name)) = L->top[-1];
  L->top--;
}

bool get_metatable(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  TableObject* mt = nullptr;
  if (is_absent(v)) return false;
  switch (v->tag) {
    case TAG_TABLE: mt = v->table()->metatable; break;
    case TAG_CDATA: mt = v->cdata()->metatable; break;
    default: mt = G(L)->type_metatables[v->tag]; break;
  }
  if (mt == nullptr) return false;
  push(L, make_object(mt));
  return true;
}

bool get_metafield(VmState* L, int idx, const char* name) {
  if (!get_metatable(L, idx)) return false;
  const Value* field = table_get_str(L->top[-1].table(), intern_name(L, name));
  if (field->is_null()) {
    L->top--;
    return false;
  }
  L->top[-1] = *field;
  return true;
}

void set_metatable(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  Value* m = L->top - 1;
  TableObject* mt = m->tag == TAG_TABLE ? m->table() : nullptr;
  if (!is_absent(v)) {
    switch (v->tag) {
      case TAG_TABLE:
        v->table()->metatable = mt;
        barrier_back(L, v->table());
        break;
      case TAG_CDATA:
        v->cdata()->metatable = mt;
        barrier_forward(L, v->cdata(), mt);
        break;
      default: G(L)->type_metatables[v->tag] = mt; break;
    }
  }
  L->top--;
}

void get_env(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  switch (v->tag) {
    case TAG_FUNCTION: push(L, make_object(v->closure()->env)); break;
    case TAG_CDATA: push(L, v->cdata()->env ? make_object(v->cdata()->env) : make_null()); break;
    case TAG_FIBER: push(L, v->fiber()->globals); break;
    default: push_null(L); break;
  }
}

int set_env(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  Value* e = L->top - 1;
  int done = 0;
  if (e->tag == TAG_TABLE) {
    switch (v->tag) {
      case TAG_FUNCTION:
        if (!v->closure()->is_class) {
          v->closure()->env = e->table();
          barrier_forward(L, v->closure(), *e);
          done = 1;
        }
        break;
      case TAG_CDATA:
        v->cdata()->env = e->table();
        barrier_forward(L, v->cdata(), *e);
        done = 1;
        break;
      case TAG_FIBER: v->fiber()->globals = *e; done = 1; break;
      default: break;
    }
  }
  L->top--;
  return done;
}

bool next(VmState* L, int idx) {
  TableObject* t = table_at(L, idx);
  if (table_next(L, t, L->top - 1)) {
    L->top++;
    return true;
  }
  L->top--;
  return false;
}

void concat(VmState* L, int n) {
  if (n >= 2) {
    check_gc(L);
    concat_values(L, n, static_cast<int>(L->top - L->base) - 1);
    L->top -= n - 1;
  } else if (n == 0) {
    push(L, make_string(G(L)->empty_string));
  }
}

int64_t append_values(VmState* L, int idx, int first) {
  TableObject* t = table_at(L, idx);
  Value* from = L->base + (first - 1);
  int64_t position = table_border(t);
  for (Value* p = from; p < L->top; ++p) *table_set_int(L, t, ++position) = *p;
  if (from < L->top) L->top = from;
  return position;
}

void registry_subtable(VmState* L, const char* name) {
  TableObject* registry = G(L)->registry.table();
  StringObject* key = intern_name(L, name);
  const Value* v = table_get_str(registry, key);
  if (v->tag == TAG_TABLE) {
    push(L, *v);
    return;
  }
  TableObject* t = table_create(L, 0, 0);
  push(L, make_object(t));
  *table_set_str(L, registry, key) = make_object(t);
}

void make_weak(VmState* L, int idx, const char* mode) {
  int table = idx < 0 && idx > REGISTRY_INDEX ? get_top(L) + idx + 1 : idx;
  ensure_stack(L, 2);
  new_table(L, 0, 1);
  push_string(L, mode);
  raw_set_field(L, -2, "_weak");
  set_metatable(L, table);
}

const Prototype* script_prototype(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  return v->tag == TAG_FUNCTION && v->closure()->is_script ? v->closure()->proto : nullptr;
}

}  // namespace quevro
