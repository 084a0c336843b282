#include "native/native_call.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "lib/size64.h"
#include "native/native_values.h"
#include "native/number_conversion.h"
#include "native/pointer_conversion.h"
#include "native/structures.h"
#include "runtime/system_errors.h"
#include "vm/api.h"
#include "vm/arguments.h"
#include "vm/calls.h"
#include "vm/cdata.h"
#include "vm/string.h"
#include "vm/utf.h"

namespace quevro {

ffi_type* ffi_type_of(char code) {
  switch (code) {
    case 'b': return &ffi_type_sint8;
    case 'B': return &ffi_type_uint8;
    case 'w': return &ffi_type_sint16;
    case 'W': return &ffi_type_uint16;
    case 'i': case 'y': return &ffi_type_sint32;
    case 'I': return &ffi_type_uint32;
    case 'l': return &ffi_type_sint64;
    case 'L': return &ffi_type_uint64;
    case 'f': return &ffi_type_float;
    case 'd': return &ffi_type_double;
    case 'v': return &ffi_type_void;
    default: return &ffi_type_pointer;
  }
}

bool prepare_api(ApiFunction* api) {
  api->argument_types.clear();
  for (const Parameter& p : api->signature.parameters)
    api->argument_types.push_back((p.flags & PARAM_BY_REFERENCE) ? &ffi_type_pointer : ffi_type_of(p.code));
  // Variadic targets (printf and friends) are called like any other: on x86-64 the caller's
  // count of vector registers is always set, which is all a variadic callee needs.
  return ffi_prep_cif(&api->cif, FFI_DEFAULT_ABI, static_cast<unsigned>(api->argument_types.size()),
                      ffi_type_of(api->signature.result),
                      api->argument_types.empty() ? nullptr : api->argument_types.data()) == FFI_OK;
}

namespace {

// Calls the target the way scripts expect an API call to behave: a C function reports failure
// through errno, which becomes the thread's last system error; a function that leaves errno
// alone leaves the last error as it was.
void call_target(ffi_cif* cif, void* address, uint64_t* raw, void** values) {
  errno = 0;
  ffi_call(cif, FFI_FN(address), raw, values);
  int failure = errno;
  if (failure != 0) set_last_system_error(system_error_from_errno(failure));
}

// One staged argument: the value word handed to libffi, and memory the call owns.
struct Staged {
  uint64_t word;                  // a scalar at its own width, or a pointer
  uint64_t cell;                  // the by-reference cell
  std::unique_ptr<unsigned char[]> block;  // a structure or an output buffer, when one is needed
  size_t block_size;
  int source;                     // stack slot of the script argument (0 for the bound one)
};

template <class T>
void put(uint64_t* word, T v) {
  *word = 0;
  std::memcpy(word, &v, sizeof v);
}

double number_argument(VmState* L, int idx) {
  if (!is_number(L, idx)) type_arg_error(L, idx, "number");
  return to_number(L, idx);
}

// A scalar code's value into *word at the code's width.
void convert_scalar(VmState* L, int idx, char code, uint64_t* word) {
  switch (code) {
    case 'i': put<int32_t>(word, round_to_int32(number_argument(L, idx))); return;
    case 'I': case 'W': case 'B': case 'w': case 'b': {
      uint64_t u = truncate_to_uint64(number_argument(L, idx));
      if (code == 'I') put<uint32_t>(word, static_cast<uint32_t>(u));
      else if (code == 'W' || code == 'w') put<uint16_t>(word, static_cast<uint16_t>(u));
      else put<uint8_t>(word, static_cast<uint8_t>(u));
      return;
    }
    case 'l': put<int64_t>(word, truncate_to_int64(number_argument(L, idx))); return;
    case 'L': {
      uint64_t u;
      if (is_size64(L, idx) && to_size64(L, idx, &u)) put<uint64_t>(word, u);
      else put<int64_t>(word, truncate_to_int64(number_argument(L, idx)));
      return;
    }
    case 'f': put<float>(word, static_cast<float>(number_argument(L, idx))); return;
    case 'd': put<double>(word, number_argument(L, idx)); return;
    case 'y': put<int32_t>(word, to_boolean(L, idx) ? 1 : 0); return;
    default: return;
  }
}

void convert_pointer(VmState* L, int idx, const Parameter& p, uint64_t* word) {
  void* ptr = nullptr;
  bool null_ok = (p.flags & PARAM_NULL_ACCEPTED) != 0;
  if (!to_native_pointer(L, idx, null_ok, null_ok, &ptr)) arg_error(L, idx, "Invalid POINTER!");
  put<void*>(word, ptr);
}

void convert_string(VmState* L, int idx, const Parameter& p, uint64_t* word) {
  bool null_ok = (p.flags & PARAM_NULL_ACCEPTED) != 0;
  void* ptr = nullptr;
  int t = type_of(L, idx);
  if (p.code == 'g' && (t == TAG_STRING || t == TAG_NUMBER)) {
    ptr = const_cast<char16_t*>(to_utf16(L, idx));  // the argument slot keeps the copy alive
  } else {
    if (t == TAG_NUMBER) to_lstring(L, idx, nullptr);
    if (t == TAG_TABLE || !to_native_pointer(L, idx, null_ok, true, &ptr) || (!null_ok && ptr == nullptr))
      type_arg_error(L, idx, p.code == 'g' ? "USTRING" : "STRING");
  }
  put<void*>(word, ptr);
}

// A by-reference string: an output buffer of N characters, or a private copy of the text.
void stage_string_buffer(VmState* L, int idx, const Parameter& p, Staged* s) {
  int t = type_of(L, idx);
  bool wide = p.code == 'g';
  if (t <= static_cast<int>(TAG_NULL)) {
    if (!(p.flags & PARAM_NULL_ACCEPTED)) arg_error(L, idx, "Buffer cannot be null!");
    put<void*>(&s->word, nullptr);
    return;
  }
  if (t == TAG_NUMBER) {
    double n = to_number(L, idx);
    if (!(n >= 0) || n > (1u << 30)) arg_error(L, idx, "Invalid buffer size");
    size_t count = static_cast<size_t>(n);
    s->block_size = wide ? 2 * count + 4 : count + 2;
  } else if (t == TAG_STRING || (t == TAG_CDATA && stack_address(L, idx)->cdata()->is_buffer())) {
    size_t len;
    const char* text;
    if (wide && t == TAG_STRING) {
      text = reinterpret_cast<const char*>(to_utf16(L, idx));
      len = length_of(L, idx);
    } else {
      text = to_lstring(L, idx, &len);
    }
    s->block_size = len + 2;
    s->block.reset(new unsigned char[s->block_size]());
    std::memcpy(s->block.get(), text, len);
    put<void*>(&s->word, s->block.get());
    return;
  } else {
    type_arg_error(L, idx, wide ? "USTRING" : "STRING");
  }
  s->block.reset(new unsigned char[s->block_size]());
  put<void*>(&s->word, s->block.get());
}

void stage_structure(VmState* L, int idx, Staged* s) {
  if (!is_structure(L, idx)) type_arg_error(L, idx, "table(struct)");
  size_t size = structure_size(L, idx);
  if (size < 1) {
    put<void*>(&s->word, nullptr);
    return;
  }
  s->block_size = size;
  s->block.reset(new unsigned char[size]());
  pack_structure(L, idx, s->block.get(), 0);
  put<void*>(&s->word, s->block.get());
}

void stage_argument(VmState* L, int idx, const Parameter& p, Staged* s) {
  s->source = idx;
  bool by_reference = (p.flags & PARAM_BY_REFERENCE) != 0;
  if (p.code == 't') {
    stage_structure(L, idx, s);
    return;
  }
  if (by_reference) {
    if (p.code == 's' || p.code == 'g') {
      stage_string_buffer(L, idx, p, s);
      return;
    }
    if (type_of(L, idx) > static_cast<int>(TAG_NULL)) {
      if (p.code == 'p') convert_pointer(L, idx, p, &s->cell);
      else convert_scalar(L, idx, p.code, &s->cell);
    } else if (!(p.flags & PARAM_NULL_ACCEPTED)) {
      arg_error(L, idx, "Buffer cannot be null!");
    }
    put<void*>(&s->word, &s->cell);
    return;
  }
  switch (p.code) {
    case 'p': convert_pointer(L, idx, p, &s->word); break;
    case 's': case 'g': convert_string(L, idx, p, &s->word); break;
    default: convert_scalar(L, idx, p.code, &s->word); break;
  }
}

// The text left in a by-reference string buffer, up to its first zero.
void push_buffer_text(VmState* L, const Staged& s, bool wide) {
  if (!s.block) {
    push_null(L);
    return;
  }
  if (!wide) {
    size_t n = strnlen(reinterpret_cast<const char*>(s.block.get()), s.block_size);
    push_lstring(L, reinterpret_cast<const char*>(s.block.get()), n);
    return;
  }
  // The callee may have filled the whole buffer, terminators included: stop at its end.
  std::u16string units;
  for (size_t i = 0; 2 * i + 1 < s.block_size; ++i) {
    char16_t c;
    std::memcpy(&c, s.block.get() + 2 * i, 2);
    if (c == 0) break;
    units.push_back(c);
  }
  std::string text;
  utf16_to_utf8(units.data(), units.size(), &text);
  push_string_flags(L, text.data(), text.size(), STR_UTF8);
}

int push_results(VmState* L, ApiFunction* api, const uint64_t& result, Staged* staged, size_t count) {
  int n = 0;
  const Signature& sig = api->signature;
  ensure_stack(L, static_cast<int>(count) + 2);
  if (sig.result != 'v') {
    if (sig.result == 't') push_native_value(L, 'p', &result);
    else push_native_value(L, sig.result, &result);
    ++n;
  }
  for (size_t i = 0; i < count; ++i) {
    const Parameter& p = sig.parameters[i];
    Staged& s = staged[i];
    if (p.code == 't') {
      if (s.block) unpack_structure(L, s.source, s.block.get(), 0);
      push_value(L, s.source);
      ++n;
    } else if (p.flags & PARAM_BY_REFERENCE) {
      if (p.code == 's' || p.code == 'g') push_buffer_text(L, s, p.code == 'g');
      else push_native_value(L, p.code, &s.cell);
      ++n;
    }
  }
  return n;
}

// libffi widens small integer results to a full register; keep the low bytes in place.
uint64_t narrow_result(char code, uint64_t raw) {
  uint64_t out = 0;
  size_t width = (code == 'b' || code == 'B') ? 1 : (code == 'w' || code == 'W') ? 2
               : (code == 'i' || code == 'I' || code == 'y' || code == 'f') ? 4 : 8;
  std::memcpy(&out, &raw, width);
  return out;
}

}  // namespace

int call_api(VmState* L, ApiFunction* api, int first) {
  const Signature& sig = api->signature;
  size_t count = sig.parameters.size();
  // Most functions take a handful of parameters: stage those without touching the heap.
  constexpr size_t INLINE_PARAMETERS = 8;
  std::unique_ptr<Staged[]> heap_staged;
  std::unique_ptr<void*[]> heap_values;
  Staged* staged;
  void** values;
  alignas(Staged) unsigned char inline_bytes[INLINE_PARAMETERS * sizeof(Staged)];
  void* inline_values[INLINE_PARAMETERS];
  if (count > INLINE_PARAMETERS) {
    heap_staged.reset(new Staged[count]());
    heap_values.reset(new void*[count]);
    staged = heap_staged.get();
    values = heap_values.get();
  } else {
    // Only the slots in use are constructed (and destroyed below).
    staged = reinterpret_cast<Staged*>(inline_bytes);
    for (size_t i = 0; i < count; ++i) new (&staged[i]) Staged{};
    values = inline_values;
  }
  struct InlineRelease {
    Staged* staged;
    size_t count;
    ~InlineRelease() {
      for (size_t i = 0; i < count; ++i) staged[i].~Staged();
    }
  } release{count > INLINE_PARAMETERS ? nullptr : staged, count > INLINE_PARAMETERS ? 0 : count};
  int top = get_top(L);
  // Missing arguments read as null; the slots must exist so that conversions can replace them.
  int needed = first + static_cast<int>(count) - (api->has_bound_first ? 1 : 0);
  ensure_stack(L, needed - top + 4);
  while (get_top(L) < needed) push_null(L);
  int arg = first;
  for (size_t i = 0; i < count; ++i) {
    if (i == 0 && api->has_bound_first) {
      put<void*>(&staged[0].word, api->bound_first);
    } else {
      stage_argument(L, arg, sig.parameters[i], &staged[i]);
      ++arg;
    }
    values[i] = &staged[i].word;
  }
  uint64_t raw[2] = {0, 0};
  call_target(&api->cif, api->address, raw, count ? values : nullptr);
  uint64_t result = narrow_result(sig.result, raw[0]);
  return push_results(L, api, result, staged, count);
}

namespace {

struct DirectArgument {
  ffi_type* type = &ffi_type_sint32;
  uint64_t word = 0;
  std::unique_ptr<unsigned char[]> block;
  int structure = 0;  // stack slot of a structure table to read back
};

// A table with `_tonumber`: the number, at the width its `_number_type` names.
void convert_tonumber(VmState* L, int idx, DirectArgument* a) {
  get_field(L, idx, "_number_type");
  std::string kind = is_string(L, -1) ? to_string(L, -1) : "";
  pop(L, 1);
  get_metatable(L, idx);
  raw_get_field(L, -1, "_tonumber");
  remove(L, -2);
  push_value(L, idx);
  call(L, 1, 1);
  int v = get_top(L);
  double n = to_number(L, v);
  char c = kind.empty() ? 'd' : kind[0];
  switch (c) {
    case 'B': case 'b': a->type = &ffi_type_uint8; put<uint8_t>(&a->word, static_cast<uint8_t>(truncate_to_uint64(n))); break;
    case 'W': case 'w': a->type = &ffi_type_uint16; put<uint16_t>(&a->word, static_cast<uint16_t>(truncate_to_uint64(n))); break;
    case 'I': case 'i': a->type = &ffi_type_sint32; put<int32_t>(&a->word, static_cast<int32_t>(truncate_to_int64(n))); break;
    case 'L': {
      uint64_t u = 0;
      if (!to_size64(L, v, &u)) u = truncate_to_uint64(n);
      a->type = &ffi_type_uint64;
      put<uint64_t>(&a->word, u);
      break;
    }
    case 'l': a->type = &ffi_type_sint64; put<int64_t>(&a->word, truncate_to_int64(n)); break;
    case 'd': a->type = &ffi_type_double; put<double>(&a->word, n); break;
    case 'f': a->type = &ffi_type_float; put<float>(&a->word, static_cast<float>(n)); break;
    default: runtime_error(L, "Invalid number type '%s'", kind.c_str());
  }
  pop(L, 1);
}

bool has_handler(VmState* L, int idx, const char* name) {
  if (!get_metatable(L, idx)) return false;
  raw_get_field(L, -1, name);
  bool found = type_of(L, -1) == TAG_FUNCTION;
  pop(L, 2);
  return found;
}

void convert_direct(VmState* L, int idx, bool unicode, DirectArgument* a) {
  Value* v = stack_address(L, idx);
  switch (v->tag) {
    case TAG_NULL: a->type = &ffi_type_pointer; return;
    case TAG_POINTER: a->type = &ffi_type_pointer; put<void*>(&a->word, v->u.p); return;
    case TAG_BOOLEAN: put<int32_t>(&a->word, v->u.b ? 1 : 0); return;
    case TAG_NUMBER: put<int32_t>(&a->word, round_to_int32(v->u.n)); return;
    case TAG_STRING:
      a->type = &ffi_type_pointer;
      if (unicode) put<const void*>(&a->word, to_utf16(L, idx));
      else put<const void*>(&a->word, v->string()->data());
      return;
    case TAG_TABLE: {
      a->type = &ffi_type_pointer;
      if (is_structure(L, idx)) {
        size_t size = structure_size(L, idx);
        a->block.reset(new unsigned char[size ? size : 1]());
        if (size) pack_structure(L, idx, a->block.get(), 0);
        a->structure = idx;
        put<void*>(&a->word, a->block.get());
        return;
      }
      void* p;
      if (has_handler(L, idx, "_topointer") && to_native_pointer(L, idx, true, false, &p)) {
        put<void*>(&a->word, p);
        return;
      }
      if (has_handler(L, idx, "_tonumber")) {
        convert_tonumber(L, idx, a);
        return;
      }
      runtime_error(L, "Invalid Struct!");
    }
    case TAG_CDATA: {
      a->type = &ffi_type_pointer;
      uint64_t u;
      if (is_size64(L, idx) && to_size64(L, idx, &u)) {
        a->type = &ffi_type_uint64;
        put<uint64_t>(&a->word, u);
        return;
      }
      void* p = v->cdata()->data();
      if (!v->cdata()->is_buffer() && has_handler(L, idx, "_topointer")) to_native_pointer(L, idx, true, false, &p);
      put<void*>(&a->word, p);
      return;
    }
    default: type_arg_error(L, idx, "string|pointer|number");
  }
}

ffi_type* direct_result_type(char suffix) {
  switch (suffix) {
    case 'D': return &ffi_type_double;
    case 'F': return &ffi_type_float;
    case 'L': return &ffi_type_uint64;
    case 'P': return &ffi_type_pointer;
    default: return &ffi_type_sint32;
  }
}

}  // namespace

int call_direct(VmState* L, void* address, bool unicode, char suffix, int first) {
  int top = get_top(L);
  int count = top >= first ? top - first + 1 : 0;
  std::vector<DirectArgument> args(count);
  std::vector<ffi_type*> types(count);
  std::vector<void*> values(count);
  for (int i = 0; i < count; ++i) {
    convert_direct(L, first + i, unicode, &args[i]);
    types[i] = args[i].type;
    values[i] = &args[i].word;
  }
  ffi_cif cif;
  ffi_type* result_type = direct_result_type(suffix);
  if (ffi_prep_cif(&cif, FFI_DEFAULT_ABI, static_cast<unsigned>(count), result_type,
                   count ? types.data() : nullptr) != FFI_OK)
    runtime_error(L, "Cannot prepare the call");
  uint64_t raw[2] = {0, 0};
  call_target(&cif, address, raw, count ? values.data() : nullptr);
  ensure_stack(L, count + 2);
  switch (suffix) {
    case 'B': push_boolean(L, static_cast<int32_t>(raw[0]) != 0); break;
    case 'D': push_native_value(L, 'd', raw); break;
    case 'F': push_native_value(L, 'f', raw); break;
    case 'L': push_size64(L, raw[0]); break;
    case 'P': push_pointer(L, reinterpret_cast<void*>(raw[0])); break;
    default: push_number(L, static_cast<int32_t>(raw[0])); break;
  }
  int n = 1;
  for (int i = 0; i < count; ++i) {
    if (args[i].structure == 0) continue;
    unpack_structure(L, args[i].structure, args[i].block.get(), 0);
    push_value(L, args[i].structure);
    ++n;
  }
  return n;
}

}  // namespace quevro
