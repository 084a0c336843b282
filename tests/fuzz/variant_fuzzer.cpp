// Builds VARIANTs of random types from the input, arrays of random element types and shapes
// included, and sends them through every conversion: VARIANT to script value and back, the
// type changer towards a random type, copies, and a script object's Invoke with them as
// arguments (positional and named, any invoke kind). Whatever the input, each step either works
// or reports its failure; nothing may crash, leak or touch memory it does not own (the fuzz
// build runs under the address sanitizer).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "com/dispatch_params.h"
#include "com/safearray.h"
#include "com/script_object.h"
#include "com/variant_conversion.h"
#include "compiler/chunk_entry.h"
#include "host/startup.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/error.h"

using namespace quevro;
using namespace quevro::com;

namespace {

// Reads the input a few bytes at a time; zeros once it runs out.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
  void bytes(void* out, size_t n) {
    auto* p = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < n; ++i) p[i] = byte();
  }
  bool done() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The scalar types a VARIANT or an array element may hold, and a few it may not.
constexpr VARTYPE SCALARS[] = {VT_EMPTY, VT_NULL, VT_I2,  VT_I4,   VT_R4,   VT_R8,  VT_CY,
                               VT_DATE,  VT_BSTR, VT_ERROR, VT_BOOL, VT_DECIMAL, VT_I1, VT_UI1,
                               VT_UI2,   VT_UI4,  VT_I8,  VT_UI8,  VT_INT,  VT_UINT, VT_VARIANT,
                               VT_HRESULT, VT_VOID, VT_PTR, VT_RECORD, VT_INT_PTR, 15, 99};

VARTYPE pick_scalar(Input& in) { return SCALARS[in.byte() % (sizeof SCALARS / sizeof SCALARS[0])]; }

BSTR random_text(Input& in) {
  UINT units = in.byte() % 12;
  BSTR s = SysAllocStringLen(nullptr, units);
  for (UINT i = 0; i < units; ++i) s[i] = static_cast<OLECHAR>(in.word());
  return s;
}

void fill_scalar(Input& in, VARTYPE vt, VARIANT* v, int depth);

// An array of a random element type with one to three dimensions of random bounds.
SAFEARRAY* random_array(Input& in, VARTYPE element, int depth) {
  UINT dims = 1 + in.byte() % 3;
  SAFEARRAYBOUND bounds[3];
  for (UINT d = 0; d < dims; ++d) {
    bounds[d].cElements = in.byte() % 5;
    bounds[d].lLbound = static_cast<int8_t>(in.byte());
  }
  SAFEARRAY* array = SafeArrayCreate(element, dims, bounds);
  if (!array) return nullptr;
  ULONG total = 1;
  for (UINT d = 0; d < dims; ++d) total *= bounds[d].cElements;
  std::vector<LONG> index(dims);
  for (ULONG n = 0; n < total; ++n) {
    ULONG rest = n;
    for (UINT d = 0; d < dims; ++d) {
      index[d] = bounds[d].lLbound + static_cast<LONG>(rest % bounds[d].cElements);
      rest /= bounds[d].cElements;
    }
    VARIANT item;
    VariantInit(&item);
    fill_scalar(in, element, &item, depth + 1);
    void* value = &item.llVal;
    if (element == VT_VARIANT) value = &item;
    else if (element == VT_BSTR) value = item.bstrVal;
    else if (element == VT_DECIMAL) value = &item.decVal;
    SafeArrayPutElement(array, index.data(), value);
    VariantClear(&item);
  }
  return array;
}

void fill_scalar(Input& in, VARTYPE vt, VARIANT* v, int depth) {
  VariantInit(v);
  if (vt == VT_VARIANT) {
    // An element of a VARIANT array is itself a VARIANT of any plain type.
    VARTYPE inner = pick_scalar(in);
    if (inner == VT_VARIANT || depth > 2) inner = VT_I4;
    return fill_scalar(in, inner, v, depth + 1);
  }
  if (vt == VT_BSTR) {
    v->vt = VT_BSTR;
    v->bstrVal = random_text(in);
    return;
  }
  if (vt == VT_DECIMAL) {
    in.bytes(&v->decVal, sizeof(DECIMAL));
    v->decVal.scale %= 29;
    v->decVal.sign &= DECIMAL_NEG;
    v->vt = VT_DECIMAL;
    return;
  }
  if (vt == VT_PTR || vt == VT_VOID || vt == VT_INT_PTR || vt == VT_RECORD || vt == 15 || vt == 99) {
    // Types without a value the fuzzer could own: their bits are never dereferenced as data.
    v->vt = vt;
    v->byref = nullptr;
    return;
  }
  v->vt = vt;
  in.bytes(&v->llVal, 8);
}

// A VARIANT of any shape: a scalar, an array, or a reference to storage the caller keeps.
struct Storage {
  VARIANT target;
};

void random_variant(Input& in, VARIANT* v, Storage* storage) {
  uint8_t shape = in.byte() % 8;
  VARTYPE vt = pick_scalar(in);
  if (shape == 0 && vt != VT_EMPTY && vt != VT_NULL && vt != VT_PTR && vt != VT_VOID &&
      vt != VT_RECORD && vt != 15 && vt != 99 && vt != VT_INT_PTR) {
    fill_scalar(in, vt, &storage->target, 0);
    VariantInit(v);
    v->vt = static_cast<VARTYPE>(VT_BYREF | vt);
    if (vt == VT_VARIANT) {
      v->pvarVal = &storage->target;
    } else if (vt == VT_DECIMAL) {
      v->pdecVal = &storage->target.decVal;
    } else {
      v->byref = &storage->target.llVal;
    }
    return;
  }
  if (shape == 1) {
    VARTYPE element = vt == VT_EMPTY || vt == VT_NULL ? VARTYPE{VT_I4} : vt;
    if (safearray_element_size(element) == 0) element = VT_VARIANT;
    VariantInit(v);
    SAFEARRAY* array = random_array(in, element, 0);
    if (!array) return;
    v->vt = static_cast<VARTYPE>(VT_ARRAY | element);
    v->parray = array;
    return;
  }
  fill_scalar(in, vt, v, 0);
}

void clear_storage(VARIANT* v, Storage* storage) {
  if (v->vt & VT_BYREF) VariantClear(&storage->target);
  VariantClear(v);
}

struct Round {
  Input* in;
  VARIANT* v;
};

// VARIANT -> script value -> VARIANT, the requested type random.
void round_trip(VmState* L, void* ud) {
  auto* r = static_cast<Round*>(ud);
  push_variant(L, r->v);
  VariantHolder back;
  VARTYPE requested = r->in->byte() & 1 ? pick_scalar(*r->in) : VARTYPE{VT_VARIANT};
  if (requested == VT_EMPTY || requested == VT_NULL) requested = VT_VARIANT;
  to_variant(L, -1, back.get(), requested, r->in->byte() & 1 ? VARTYPE{VT_I4} : NO_PREFERRED_TYPE);
}

const char SCRIPT[] =
    "return {echo = function(...) { return ... }; count = function(...) { return #{...} };"
    " fail = function(x) { error(x) }; value = 5; list = {1, 2, 3}}";

void invoke_script_object(Input& in, VmState* L, IDispatch* object) {
  static const char16_t* const names[] = {u"echo", u"count", u"fail", u"value", u"list", u"nothing", u"2"};
  LPOLESTR name[1] = {const_cast<LPOLESTR>(names[in.byte() % 7])};
  DISPID member = DISPID_UNKNOWN;
  object->GetIDsOfNames(IID_NULL, name, 1, 0, &member);
  uint8_t pick = in.byte() % 8;
  if (pick == 0) member = DISPID_VALUE;
  if (pick == 1) member = DISPID_NEWENUM;
  if (pick == 2) member = static_cast<DISPID>(in.word()) - 100;
  UINT count = in.byte() % 5;
  UINT named = count ? in.byte() % (count + 1) : 0;
  VARIANT args[4];
  Storage storage[4];
  DISPID ids[4];
  for (UINT i = 0; i < count; ++i) random_variant(in, &args[i], &storage[i]);
  for (UINT i = 0; i < named; ++i) ids[i] = static_cast<int8_t>(in.byte()) % 6 - 3;
  DISPPARAMS params{count ? args : nullptr, named ? ids : nullptr, count, named};
  WORD flags = static_cast<WORD>(in.byte() % 16);
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO exception = empty_exception();
  UINT bad = 0;
  object->Invoke(member, IID_NULL, 0, flags, &params, &result, &exception, &bad);
  if (result.vt == VT_UNKNOWN && result.punkVal) {
    ComRef<IEnumVARIANT> items;
    if (SUCCEEDED(result.punkVal->QueryInterface(IID_IEnumVARIANT, items.put_void()))) {
      VARIANT got[3];
      ULONG fetched = 0;
      if (SUCCEEDED(items->Next(3, got, &fetched)))
        for (ULONG i = 0; i < fetched; ++i) VariantClear(&got[i]);
    }
  }
  VariantClear(&result);
  clear_exception(&exception);
  for (UINT i = 0; i < count; ++i) clear_storage(&args[i], &storage[i]);
  (void)L;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static VmState* L = [] {
    VmState* state = create_main_state();
    return state;
  }();
  static IDispatch* object = [] {
    load_buffer(L, SCRIPT, sizeof SCRIPT - 1, "=fuzz");
    pcall(L, 0, 1, 0);
    IDispatch* made = expose_script_value(L, -1);
    pop(L, 1);
    return made;
  }();
  Input in(data, size);
  int top = get_top(L);
  while (!in.done()) {
    VARIANT v;
    Storage storage;
    random_variant(in, &v, &storage);
    Round round{&in, &v};
    protected_run(L, round_trip, &round);
    set_top(L, top);

    VARIANT changed;
    VariantInit(&changed);
    VariantChangeType(&changed, &v, static_cast<uint16_t>(in.byte() & 0x1F), pick_scalar(in));
    VariantClear(&changed);
    VARIANT copy;
    VariantInit(&copy);
    VariantCopyInd(&copy, &v);
    VariantClear(&copy);
    clear_storage(&v, &storage);

    invoke_script_object(in, L, object);
    set_top(L, top);
  }
  return 0;
}
