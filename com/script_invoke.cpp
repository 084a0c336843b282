// IDispatch::Invoke of a dynamic script object: the arguments become script values in their
// natural order, the member is read from the wrapped value and called (or read, or stored), and
// the results go back into the result VARIANT and the by-reference arguments.
#include <cstring>
#include <string>
#include <vector>

#include "com/safearray.h"
#include "com/script_enumerator.h"
#include "com/script_object.h"
#include "com/variant_conversion.h"
#include "lib/base_library.h"
#include "vm/calls.h"

namespace quevro::com {
namespace {

constexpr const char* PUT_TOO_MANY = "Property puts with more than two parameters aren't supported.";
constexpr const char* PUT_NOT_INDEXABLE =
    "Parametrized property puts only implemented for tables and userdata's.";
// Named arguments address parameters by position; a script function has at most this many.
constexpr DISPID MAX_PARAMETER_POSITION = 255;
constexpr UINT MAX_ARGUMENTS = 10000;
constexpr WORD ANY_PUT = DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;

// Converting an argument or storing an output failed: a type mismatch, not a script error.
constexpr int NOT_CONVERTING = -1;

struct ScriptCall {
  ScriptObject* object;
  DISPID member;
  WORD flags;
  VARIANT* result;
  std::vector<VARIANT*> arguments;  // natural order; null for a position no named argument filled
  VARIANT* put_value = nullptr;
  HRESULT hr = S_OK;
  VARIANT* converting = nullptr;  // the argument whose conversion is under way
};

// Sorts the DISPPARAMS into natural order; a failure code when they do not fit the call.
HRESULT arrange_arguments(const DISPPARAMS* params, ScriptCall* call, UINT* argument_error) {
  if (params->cArgs > MAX_ARGUMENTS || params->cNamedArgs > params->cArgs) return DISP_E_BADPARAMCOUNT;
  if ((params->cArgs && !params->rgvarg) || (params->cNamedArgs && !params->rgdispidNamedArgs))
    return E_INVALIDARG;
  UINT positional = params->cArgs - params->cNamedArgs;
  call->arguments.reserve(positional);
  for (UINT i = 0; i < positional; ++i) call->arguments.push_back(&params->rgvarg[params->cArgs - 1 - i]);
  for (UINT k = 0; k < params->cNamedArgs; ++k) {
    DISPID id = params->rgdispidNamedArgs[k];
    VARIANT* value = &params->rgvarg[k];
    if (id == DISPID_PROPERTYPUT && (call->flags & ANY_PUT) && !call->put_value) {
      call->put_value = value;
      continue;
    }
    size_t position = static_cast<size_t>(id);
    if (id < 0 || id > MAX_PARAMETER_POSITION ||
        (position < call->arguments.size() && call->arguments[position])) {
      if (argument_error) *argument_error = k;
      return DISP_E_PARAMNOTFOUND;
    }
    if (position >= call->arguments.size()) call->arguments.resize(position + 1, nullptr);
    call->arguments[position] = value;
  }
  if ((call->flags & ANY_PUT) && !call->put_value) {
    // A caller that does not name the stored value passes it last.
    if (call->arguments.empty() || !call->arguments.back()) return DISP_E_PARAMNOTOPTIONAL;
    call->put_value = call->arguments.back();
    call->arguments.pop_back();
  }
  return S_OK;
}

void push_argument(VmState* L, ScriptCall* call, VARIANT* argument) {
  if (!argument) return push_null(L);
  call->converting = argument;
  push_variant(L, argument);
  call->converting = nullptr;
}

void push_arguments(VmState* L, ScriptCall* call) {
  check_stack(L, static_cast<int>(call->arguments.size()) + 8);
  for (VARIANT* argument : call->arguments) push_argument(L, call, argument);
}

// Replaces what a by-reference argument points at with the script value at idx, converted to
// the referenced type.
void store_through_reference(VmState* L, int idx, VARIANT* reference) {
  VARTYPE target = static_cast<VARTYPE>(reference->vt & ~VT_BYREF);
  if (!reference->byref) return;
  VariantHolder value;
  if (target == VT_VARIANT) {
    to_variant(L, idx, value.get());
    VariantClear(reference->pvarVal);
    *reference->pvarVal = *value.get();
    value.get()->vt = VT_EMPTY;
    return;
  }
  if (target & VT_ARRAY) {
    table_to_safearray(L, idx, static_cast<VARTYPE>(target & ~VT_ARRAY), value.get());
    SafeArrayDestroy(*reference->pparray);
    *reference->pparray = value.get()->parray;
    value.get()->vt = VT_EMPTY;
    return;
  }
  to_variant(L, idx, value.get(), target);
  if (value.get()->vt != target) {
    HRESULT hr = VariantChangeType(value.get(), value.get(), 0, target);
    if (FAILED(hr)) runtime_error_text(L, hresult_message(hr).data());
  }
  switch (target) {
    case VT_BSTR:
      SysFreeString(*reference->pbstrVal);
      *reference->pbstrVal = value.get()->bstrVal;
      break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      if (*reference->ppunkVal) (*reference->ppunkVal)->Release();
      *reference->ppunkVal = value.get()->punkVal;
      break;
    case VT_DECIMAL: {
      DECIMAL d = value.get()->decVal;
      d.wReserved = 0;
      *reference->pdecVal = d;
      break;
    }
    default: {
      ULONG size = safearray_element_size(target);
      if (size == 0 || size > 8) runtime_error_text(L, hresult_message(DISP_E_BADVARTYPE).data());
      std::memcpy(reference->byref, &value.get()->llVal, size);
      break;
    }
  }
  value.get()->vt = VT_EMPTY;  // ownership moved behind the reference
}

// The call's first result into the result VARIANT, the others into the by-reference arguments.
void deliver_results(VmState* L, ScriptCall* call, int first) {
  int last = get_top(L);
  if (call->result && first <= last) to_variant(L, first, call->result);
  int next = first + 1;
  for (VARIANT* argument : call->arguments) {
    if (next > last) break;
    if (!argument || !(argument->vt & VT_BYREF)) continue;
    call->converting = argument;
    store_through_reference(L, next++, argument);
    call->converting = nullptr;
  }
}

// The callable at `callee` with the wrapped value as owner (none for a bare function).
void call_value(VmState* L, ScriptCall* call, int callee, int self) {
  int base = get_top(L);
  push_value(L, callee);
  if (call->object->kind() == ScriptValueKind::FUNCTION)
    push_null(L);
  else
    push_value(L, self);
  push_arguments(L, call);
  quevro::call(L, static_cast<int>(call->arguments.size()) + 1, -1);
  deliver_results(L, call, base + 1);
}

bool is_callable(VmState* L, int idx) {
  if (type_of(L, idx) == TAG_FUNCTION) return true;
  if (!get_metafield(L, idx, "_call")) return false;
  pop(L, 1);
  return true;
}

void return_value(VmState* L, ScriptCall* call, int idx) {
  if (call->result) to_variant(L, idx, call->result);
}

// DISPATCH_PROPERTYPUT: stores the value under the name, or under the index inside the
// member when an index was passed.
void put_member(VmState* L, ScriptCall* call, int self, int key) {
  if (call->object->kind() == ScriptValueKind::FUNCTION) {
    call->hr = DISP_E_MEMBERNOTFOUND;
    return;
  }
  if (call->arguments.size() > 1) runtime_error_text(L, PUT_TOO_MANY);
  if (call->arguments.empty()) {
    if (call->member == DISPID_VALUE) {
      call->hr = DISP_E_MEMBERNOTFOUND;
      return;
    }
    push_value(L, key);
    push_argument(L, call, call->put_value);
    set_table(L, self);
    return;
  }
  int target = self;
  if (call->member != DISPID_VALUE) {
    push_value(L, key);
    get_table(L, self);
    target = get_top(L);
    if (type_of(L, target) != TAG_TABLE && type_of(L, target) != TAG_CDATA)
      runtime_error_text(L, PUT_NOT_INDEXABLE);
  }
  push_argument(L, call, call->arguments[0]);
  push_argument(L, call, call->put_value);
  set_table(L, target);
}

// The key a member identifier stands for; false when it stands for none.
bool push_member_key(VmState* L, ScriptCall* call) {
  if (call->member > 0 && call->member < FIRST_NAME_ID) {
    push_number(L, call->member);
    return true;
  }
  const std::string* name = call->object->name_of(call->member);
  if (!name) return false;
  push_lstring(L, name->data(), name->size());
  return true;
}

void run_call(VmState* L, void* ud) {
  auto* call = static_cast<ScriptCall*>(ud);
  check_stack(L, 12);
  call->object->push_value(L);
  int self = get_top(L);
  bool get = call->flags & DISPATCH_PROPERTYGET;
  bool method = call->flags & DISPATCH_METHOD;
  bool plain = call->arguments.empty();

  if (call->member == DISPID_NEWENUM) {
    if (type_of(L, self) != TAG_TABLE) {
      call->hr = DISP_E_MEMBERNOTFOUND;
      return;
    }
    IEnumVARIANT* items = new_script_enumerator(L, self);
    if (call->result) {
      call->result->vt = VT_UNKNOWN;
      call->result->punkVal = items;
    } else {
      items->Release();
    }
    return;
  }
  if (call->member == DISPID_VALUE) {
    push_null(L);  // no key: the value itself
  } else if (call->object->kind() == ScriptValueKind::FUNCTION || !push_member_key(L, call)) {
    call->hr = DISP_E_MEMBERNOTFOUND;
    return;
  }
  int key = get_top(L);
  if (call->flags & ANY_PUT) return put_member(L, call, self, key);

  int value = self;
  if (call->member != DISPID_VALUE) {
    push_value(L, key);
    get_table(L, self);
    value = get_top(L);
  }
  bool callable = is_callable(L, value);
  if (callable && method) return call_value(L, call, value, self);
  if (call->member == DISPID_VALUE && get && plain) {
    // The object's own value is the object itself (also for a function read, not called).
    call->object->AddRef();
    if (call->result) {
      call->result->vt = VT_DISPATCH;
      call->result->pdispVal = call->object;
    } else {
      call->object->Release();
    }
    return;
  }
  if (type_of(L, value) == TAG_NULL && method) {
    call->hr = DISP_E_MEMBERNOTFOUND;
    return;
  }
  if (get && plain) return return_value(L, call, value);
  call->hr = TYPE_E_OUTOFBOUNDS;
}

std::string error_text(VmState* L, int idx) {
  if (is_string(L, idx) || is_number(L, idx)) {
    size_t len;
    const char* text = to_lstring(L, idx, &len);
    return std::string(text, len);
  }
  return std::string("(error object is a ") + type_name(L, idx) + " value)";
}

void report_exception(EXCEPINFO* exception, const std::string& text) {
  if (!exception) return;
  *exception = empty_exception();
  exception->bstrSource = SysAllocString(u"quevro");
  exception->bstrDescription = bstr_from_utf8(text);
  exception->scode = E_FAIL;
}

}  // namespace

HRESULT ScriptObject::Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,
                             VARIANT* result, EXCEPINFO* exception, UINT* argument_error) {
  HRESULT refusal;
  VmState* L = usable_state(link_, &refusal);
  if (!L) return refusal;
  if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET | ANY_PUT))) return E_INVALIDARG;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (!params) params = &none;
  ScriptCall call{this, member, flags, result, {}};
  HRESULT hr = arrange_arguments(params, &call, argument_error);
  if (FAILED(hr)) return hr;
  if (result) VariantInit(result);
  // The script may drop the last outside reference while it runs.
  ComRef<IDispatch> keep = ComRef<IDispatch>::share(this);
  int top = get_top(L);
  int status = protected_run(L, run_call, &call);
  if (status != STATUS_OK) {
    if (result) VariantClear(result);
    if (call.converting) {
      if (argument_error) *argument_error = static_cast<UINT>(call.converting - params->rgvarg);
      call.hr = DISP_E_TYPEMISMATCH;
    } else {
      report_exception(exception, error_text(L, -1));
      call.hr = DISP_E_EXCEPTION;
    }
  }
  set_top(L, top);
  return call.hr;
}

}  // namespace quevro::com
