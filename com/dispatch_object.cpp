#include "com/dispatch_object.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "com/com_library.h"
#include "com/dispatch_invoke.h"
#include "com/type_info.h"
#include "runtime/library_registry.h"
#include "vm/calls.h"

namespace quevro::com {
namespace {

constexpr const char* INVALID_OBJECT = "invalid object(com.IDispatch)";
constexpr const char* OUT_OF_RANGE = "Parameter(s) out of range";
constexpr const char* TOO_MANY_ARGUMENTS = "too many arguments";
constexpr const char* READ_ONLY = "{COM Error}: trying to set a read-only field in a COM object.";
constexpr const char* THIS_POINTER = "__thisPointer";
// Default invoke kind of objects received as results: method or property get.
constexpr WORD METHOD_OR_GET = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
constexpr int64_t MAX_INDEX_ARGUMENTS = 50000;

bool has_type_metatable(VmState* L, int idx, const char* type) {
  if (!get_metatable(L, idx)) return false;
  push_com_metatable(L, type);
  bool same = raw_equal(L, -1, -2);
  pop(L, 2);
  return same;
}

// Raises the outcome's text when the call failed; otherwise the result is on the stack.
void raise_on_failure(VmState* L, const InvokeOutcome& outcome) {
  if (FAILED(outcome.hr)) runtime_error_text(L, failure_text(outcome));
}

bool is_not_found(HRESULT hr) { return hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT; }

// ---- callables for members ------------------------------------------------------------------

// Upvalues: the object, the member's identifier, the invoke kind. Arguments follow the owner.
int call_member(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, upvalue_index(1));
  DISPID member = static_cast<DISPID>(to_integer(L, upvalue_index(2)));
  WORD kind = static_cast<WORD>(to_integer(L, upvalue_index(3)));
  int top = get_top(L);
  if (kind == DISPATCH_PROPERTYPUT) {
    if (top < 2) runtime_error_text(L, OUT_OF_RANGE);
    // The last argument is the value; those before it index the property.
    raise_on_failure(L, invoke_member(L, object, {member, kind, 2, top - 2, top}));
    return 1;
  }
  InvokeOutcome outcome = invoke_member(L, object, {member, kind, 2, top > 1 ? top - 1 : 0, 0, true});
  raise_on_failure(L, outcome);
  return outcome.results;
}

void push_member_callable(VmState* L, int object, DISPID member, WORD kind) {
  push_value(L, object);
  push_number(L, member);
  push_number(L, kind);
  push_closure(L, call_member, 3);
}

// The elements of the table at idx as consecutive stack values; their count.
int push_elements(VmState* L, int idx) {
  int64_t n = RawTable(L, idx).length();
  if (n > MAX_INDEX_ARGUMENTS) runtime_error_text(L, TOO_MANY_ARGUMENTS);
  check_stack(L, static_cast<int>(n) + 4);
  for (int64_t i = 1; i <= n; ++i) raw_get_index(L, idx, i);
  return static_cast<int>(n);
}

// ---- reading members ------------------------------------------------------------------------

bool has_prefix(const char* name, size_t len, const char* prefix) {
  return len > 3 && std::strncmp(name, prefix, 3) == 0;
}

// "getX" / "setX": the table's own function X, else a callable that gets or puts X.
bool push_accessor(VmState* L, DispatchWrapper* object, const char* name, size_t len) {
  bool getter = has_prefix(name, len, "get");
  if (!getter && !has_prefix(name, len, "set")) return false;
  push_lstring(L, name + 3, len - 3);
  raw_get(L, 1);
  if (type_of(L, -1) == TAG_FUNCTION) return true;
  pop(L, 1);
  DISPID member;
  if (!member_id(object, name + 3, len - 3, &member)) return false;
  push_member_callable(L, 1, member, getter ? DISPATCH_PROPERTYGET : DISPATCH_PROPERTYPUT);
  return true;
}

// A property is read at once; a member that is no property gives a callable for the method.
void push_named_member(VmState* L, DispatchWrapper* object, DISPID member) {
  InvokeOutcome outcome = invoke_member(L, object, {member, DISPATCH_PROPERTYGET, 0, 0, 0});
  if (SUCCEEDED(outcome.hr)) return;
  if (!is_not_found(outcome.hr)) raise_on_failure(L, outcome);
  push_member_callable(L, 1, member, DISPATCH_METHOD);
}

// With type information the member's description decides: a property without parameters is
// read at once, anything else gives a callable. False when the information lacks the name.
bool push_described_member(VmState* L, DispatchWrapper* object, const char* name, size_t len) {
  if (!object->info) return false;
  BSTR wide = bstr_from_utf8(std::string_view(name, len));
  FUNCDESC* description = find_member(object->info, wide, static_cast<INVOKEKIND>(INVOKE_FUNC | INVOKE_PROPERTYGET));
  SysFreeString(wide);
  if (!description) return false;
  MEMBERID id = description->memid;
  bool property = description->invkind == INVOKE_PROPERTYGET;
  bool plain = description->cParams == 0;
  object->info->ReleaseFuncDesc(description);
  if (property && plain) {
    raise_on_failure(L, invoke_member(L, object, {id, DISPATCH_PROPERTYGET, 0, 0, 0}));
    return true;
  }
  push_member_callable(L, 1, id, property ? METHOD_OR_GET : DISPATCH_METHOD);
  return true;
}

// With type information: the put the member declares; a property that has none is read-only.
// False when the information lacks the name.
bool put_described_member(VmState* L, DispatchWrapper* object, const char* name, size_t len) {
  if (!object->info) return false;
  BSTR wide = bstr_from_utf8(std::string_view(name, len));
  FUNCDESC* put = find_member(object->info, wide, static_cast<INVOKEKIND>(INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF));
  FUNCDESC* get = put ? nullptr : find_member(object->info, wide, INVOKE_PROPERTYGET);
  SysFreeString(wide);
  if (get) {
    object->info->ReleaseFuncDesc(get);
    runtime_error_text(L, READ_ONLY);
  }
  if (!put) return false;
  MEMBERID id = put->memid;
  WORD kind = put->invkind == INVOKE_PROPERTYPUTREF ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT;
  object->info->ReleaseFuncDesc(put);
  raise_on_failure(L, invoke_member(L, object, {id, kind, 0, 0, 3}));
  return true;
}

void get_by_name(VmState* L, DispatchWrapper* object) {
  size_t len;
  const char* name = to_lstring(L, 2, &len);
  if (push_accessor(L, object, name, len)) return;
  if (push_described_member(L, object, name, len)) return;
  DISPID member;
  if (!member_id(object, name, len, &member)) return push_null(L);
  push_named_member(L, object, member);
}

void get_by_number(VmState* L, DispatchWrapper* object) {
  char text[40];
  std::snprintf(text, sizeof text, "%.14g", to_number(L, 2));
  DISPID member;
  if (member_id(object, text, std::strlen(text), &member)) return push_named_member(L, object, member);
  raise_on_failure(L, invoke_member(L, object, {DISPID_VALUE, METHOD_OR_GET, 2, 1, 0}));
}

void get_by_table(VmState* L, DispatchWrapper* object) {
  int first = get_top(L) + 1;
  int count = push_elements(L, 2);
  raise_on_failure(L, invoke_member(L, object, {DISPID_VALUE, METHOD_OR_GET, first, count, 0}));
}

// _get(object, key, flag)
int dispatch_get(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, 1);
  set_top(L, 2);
  switch (type_of(L, 2)) {
    case TAG_STRING: get_by_name(L, object); break;
    case TAG_NUMBER: get_by_number(L, object); break;
    case TAG_TABLE: get_by_table(L, object); break;
    default: push_null(L); break;
  }
  return 1;
}

// ---- writing members ------------------------------------------------------------------------

void store_own_field(VmState* L) {
  push_value(L, 2);
  push_value(L, 3);
  raw_set(L, 1);
}

// _set(object, key, value, flag)
int dispatch_set(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, 1);
  set_top(L, 3);
  if (type_of(L, 3) == TAG_FUNCTION) {
    store_own_field(L);
    return 0;
  }
  if (type_of(L, 2) == TAG_TABLE) {
    int first = get_top(L) + 1;
    int count = push_elements(L, 2);
    raise_on_failure(L, invoke_member(L, object, {DISPID_VALUE, DISPATCH_PROPERTYPUT, first, count, 3}));
    return 0;
  }
  DISPID member;
  size_t len = 0;
  const char* name = type_of(L, 2) == TAG_STRING ? to_lstring(L, 2, &len) : nullptr;
  if (name && put_described_member(L, object, name, len)) return 0;
  if (!name || !member_id(object, name, len, &member)) {
    store_own_field(L);
    return 0;
  }
  raise_on_failure(L, invoke_member(L, object, {member, DISPATCH_PROPERTYPUT, 0, 0, 3}));
  return 0;
}

// ---- calling the object ---------------------------------------------------------------------

// _call(object, arguments...)
int dispatch_call(VmState* L) {
  int top = get_top(L);
  // Reached without even the object (the handler called on its own).
  if (top < 1 || type_of(L, 1) == TAG_NULL) runtime_error_text(L, OUT_OF_RANGE);
  DispatchWrapper* object = check_dispatch_object(L, 1);
  WORD kind = object->preferred_kind;
  InvokeOutcome outcome = invoke_member(L, object, {DISPID_VALUE, kind, 2, top - 1, 0});
  if (outcome.hr == DISP_E_EXCEPTION && kind != DISPATCH_METHOD) {
    // Some servers raise for a property get of what is really a method; remember that.
    object->preferred_kind = DISPATCH_METHOD;
    outcome = invoke_member(L, object, {DISPID_VALUE, DISPATCH_METHOD, 2, top - 1, 0});
  }
  raise_on_failure(L, outcome);
  return 1;
}

// _eq(a, b): the same interface.
int dispatch_equal(VmState* L) {
  DispatchWrapper* a = to_dispatch_object(L, 1);
  DispatchWrapper* b = to_dispatch_object(L, 2);
  push_boolean(L, a && b && a->dispatch == b->dispatch);
  return 1;
}

// _gc of the wrapper cdata: the interface reference goes with it.
int release_wrapper(VmState* L) {
  auto* wrapper = static_cast<DispatchWrapper*>(to_cdata(L, 1));
  if (wrapper) release_dispatch_wrapper(wrapper);
  return 0;
}

int wrapper_pointer(VmState* L) {
  auto* wrapper = static_cast<DispatchWrapper*>(to_cdata(L, 1));
  push_pointer(L, wrapper ? wrapper->dispatch : nullptr);
  return 1;
}

}  // namespace

void register_dispatch_types(VmState* L) {
  static const LibraryFunction object_fields[] = {{"_get", dispatch_get},
                                                  {"_set", dispatch_set},
                                                  {"_call", dispatch_call},
                                                  {"_eq", dispatch_equal},
                                                  {nullptr, nullptr}};
  register_object_type(L, COM_LIBRARY, DISPATCH_TYPE, object_fields);
  push_number(L, 0);
  raw_set_field(L, -2, "_startIndex");
  pop(L, 1);
  static const LibraryFunction pointer_fields[] = {{"_gc", release_wrapper},
                                                   {"_topointer", wrapper_pointer},
                                                   {nullptr, nullptr}};
  register_object_type(L, COM_LIBRARY, DISPATCH_POINTER_TYPE, pointer_fields);
  pop(L, 1);
}

void push_dispatch_object(VmState* L, IDispatch* dispatch) {
  check_stack(L, 4);
  new_table(L, 0, 1);
  auto* wrapper = static_cast<DispatchWrapper*>(new_cdata(L, sizeof(DispatchWrapper)));
  *wrapper = DispatchWrapper{nullptr, METHOD_OR_GET, 0xFFFF, nullptr, nullptr, nullptr, false};
  push_com_metatable(L, DISPATCH_POINTER_TYPE);
  set_metatable(L, -2);
  wrapper->names = new NameCache();
  // The reference is taken only once the cdata that releases it exists.
  dispatch->AddRef();
  wrapper->dispatch = dispatch;
  UINT count = 0;
  if (SUCCEEDED(dispatch->GetTypeInfoCount(&count)) && count > 0 &&
      FAILED(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, &wrapper->info)))
    wrapper->info = nullptr;
  raw_set_field(L, -2, THIS_POINTER);
  push_com_metatable(L, DISPATCH_TYPE);
  set_metatable(L, -2);
}

void release_dispatch_wrapper(DispatchWrapper* wrapper) {
  if (auto* connections = wrapper->connections) {
    wrapper->connections = nullptr;
    for (EventConnection& c : *connections) {
      c.point->Unadvise(c.cookie);
      c.point->Release();
      c.sink->Release();
    }
    delete connections;
  }
  delete wrapper->names;
  wrapper->names = nullptr;
  if (ITypeInfo* info = wrapper->info) {
    wrapper->info = nullptr;
    info->Release();
  }
  if (IDispatch* dispatch = wrapper->dispatch) {
    wrapper->dispatch = nullptr;
    dispatch->Release();
  }
}

DispatchWrapper* to_dispatch_object(VmState* L, int idx) {
  if (type_of(L, idx) != TAG_TABLE || !has_type_metatable(L, idx, DISPATCH_TYPE)) return nullptr;
  raw_get_field(L, idx, THIS_POINTER);
  DispatchWrapper* wrapper = nullptr;
  wrapper = static_cast<DispatchWrapper*>(com_cdata_of_type(L, -1, DISPATCH_POINTER_TYPE));
  pop(L, 1);
  return wrapper && wrapper->dispatch ? wrapper : nullptr;
}

DispatchWrapper* check_dispatch_object(VmState* L, int idx) {
  DispatchWrapper* wrapper = to_dispatch_object(L, idx);
  if (!wrapper) runtime_error_text(L, INVALID_OBJECT);
  return wrapper;
}

}  // namespace quevro::com
