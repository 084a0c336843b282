#include "com/enumerator_object.h"

#include "com/com_error.h"
#include "com/com_library.h"
#include "com/dispatch_invoke.h"
#include "com/variant_conversion.h"
#include "runtime/library_registry.h"
#include "vm/arguments.h"

namespace quevro::com {
namespace {

constexpr const char* NOT_ENOUGH_PARAMETERS = "Not enough parameters.";
constexpr const char* CANNOT_RESET = "Unable to reset enumeration.";
// Items fetched by one Next call of a script; more would only fill the stack.
constexpr int32_t MAX_FETCH = 1000;

IEnumVARIANT** holder_at(VmState* L, int idx) {
  return static_cast<IEnumVARIANT**>(com_cdata_of_type(L, idx, ENUMERATOR_TYPE));
}

IEnumVARIANT* check_enumerator(VmState* L, int idx) {
  IEnumVARIANT* items = to_enumerator_object(L, idx);
  if (!items) runtime_error_text(L, NOT_ENOUGH_PARAMETERS);
  return items;
}

// Fetches one item into *out; false at the end.
bool fetch(VmState* L, IEnumVARIANT* items, VARIANT* out) {
  ULONG fetched = 0;
  HRESULT hr = items->Next(1, out, &fetched);
  if (FAILED(hr)) runtime_error_text(L, com_error_text(hr));
  return hr == S_OK && fetched == 1;
}

// enumerator.Next(count = 1): the next items (up to count); nothing at the end.
int enumerator_next(VmState* L) {
  IEnumVARIANT* items = check_enumerator(L, 1);
  int32_t count = opt_integer(L, ARG1, 1);
  if (count < 1) return 0;
  if (count > MAX_FETCH) count = MAX_FETCH;
  check_stack(L, count + 4);
  int pushed = 0;
  for (; pushed < count; ++pushed) {
    VariantHolder item;
    if (!fetch(L, items, item.get())) break;
    push_variant(L, item.get());
  }
  return pushed;
}

int enumerator_skip(VmState* L) {
  IEnumVARIANT* items = check_enumerator(L, 1);
  int32_t count = opt_integer(L, ARG1, 1);
  push_boolean(L, count >= 0 && items->Skip(static_cast<ULONG>(count)) == S_OK);
  return 1;
}

int enumerator_reset(VmState* L) {
  if (FAILED(check_enumerator(L, 1)->Reset())) runtime_error_text(L, CANNOT_RESET);
  return 0;
}

int enumerator_clone(VmState* L) {
  ComRef<IEnumVARIANT> copy;
  HRESULT hr = check_enumerator(L, 1)->Clone(copy.put());
  if (FAILED(hr) || !copy) runtime_error_text(L, com_error_text(FAILED(hr) ? hr : E_POINTER));
  push_enumerator_object(L, copy.get());
  return 1;
}

int enumerator_gc(VmState* L) {
  if (IEnumVARIANT** holder = holder_at(L, 1)) {
    if (IEnumVARIANT* items = *holder) {
      *holder = nullptr;
      items->Release();
    }
  }
  return 0;
}

int enumerator_pointer(VmState* L) {
  push_pointer(L, to_enumerator_object(L, 1));
  return 1;
}

// Upvalues: the enumerator object, the position reached.
int each_step(VmState* L) {
  IEnumVARIANT* items = check_enumerator(L, upvalue_index(1));
  VariantHolder item;
  if (!fetch(L, items, item.get())) return 0;
  double position = to_number(L, upvalue_index(2)) + 1;
  push_number(L, position);
  replace(L, upvalue_index(2));
  push_number(L, position);
  push_variant(L, item.get());
  return 2;
}

// The enumerator of the automation object at idx, pushed as an enumerator object.
void push_collection_enumerator(VmState* L, int idx) {
  DispatchWrapper* object = check_dispatch_object(L, idx);
  VariantHolder result;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXCEPINFO exception = empty_exception();
  ComRef<IDispatch> keep = ComRef<IDispatch>::share(object->dispatch);
  HRESULT hr = keep->Invoke(DISPID_NEWENUM, IID_NULL, LOCALE_USER_DEFAULT,
                            DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, result.get(), &exception,
                            nullptr);
  if (FAILED(hr)) {
    std::string text = hr == DISP_E_EXCEPTION ? exception_text(&exception) : com_error_text(hr);
    clear_exception(&exception);
    runtime_error_text(L, text);
  }
  clear_exception(&exception);
  VARIANT* v = result.get();
  ComRef<IEnumVARIANT> items;
  if ((v->vt == VT_UNKNOWN || v->vt == VT_DISPATCH) && v->punkVal)
    v->punkVal->QueryInterface(IID_IEnumVARIANT, items.put_void());
  if (!items) runtime_error_text(L, com_error_text(DISP_E_NOTACOLLECTION));
  push_enumerator_object(L, items.get());
}

}  // namespace

void register_enumerator_type(VmState* L) {
  static const LibraryFunction fields[] = {{"Next", enumerator_next},
                                           {"Skip", enumerator_skip},
                                           {"Reset", enumerator_reset},
                                           {"Clone", enumerator_clone},
                                           {"_gc", enumerator_gc},
                                           {"_topointer", enumerator_pointer},
                                           {nullptr, nullptr}};
  register_object_type(L, COM_LIBRARY, ENUMERATOR_TYPE, fields);
  // Methods are found through `_get`, which is the metatable itself.
  push_value(L, -1);
  raw_set_field(L, -2, "_get");
  pop(L, 1);
}

void push_enumerator_object(VmState* L, IEnumVARIANT* items) {
  check_stack(L, 4);
  auto** holder = static_cast<IEnumVARIANT**>(new_cdata(L, sizeof(IEnumVARIANT*)));
  *holder = nullptr;
  push_com_metatable(L, ENUMERATOR_TYPE);
  set_metatable(L, -2);
  items->AddRef();
  *holder = items;
}

IEnumVARIANT* to_enumerator_object(VmState* L, int idx) {
  IEnumVARIANT** holder = holder_at(L, idx);
  return holder ? *holder : nullptr;
}

int get_enumerator(VmState* L) {
  push_collection_enumerator(L, ARG1);
  return 1;
}

int is_enumerator(VmState* L) {
  push_boolean(L, to_enumerator_object(L, ARG1) != nullptr);
  return 1;
}

int each_item(VmState* L) {
  if (to_enumerator_object(L, ARG1))
    push_value(L, ARG1);
  else
    push_collection_enumerator(L, ARG1);
  push_number(L, 0);
  push_closure(L, each_step, 2);
  return 1;
}

}  // namespace quevro::com
