#include "com/event_connection.h"

#include <cstring>
#include <string>
#include <vector>

#include "com/com_error.h"
#include "com/dispatch_invoke.h"
#include "com/dispatch_object.h"
#include "com/typed_script_object.h"
#include "com/variant_conversion.h"
#include "vm/arguments.h"
#include "vm/calls.h"

namespace quevro::com {
namespace {

constexpr const char* NO_EVENTS_INTERFACE = "Could not get default events interface.";
constexpr const char* CANNOT_CONNECT = "Could not establish connection";
constexpr const char* NO_CONTAINER = "Object does not accept connections!";
constexpr const char* NO_POINT = "No connection point for this interface!";
constexpr const char* RAW_IID_FIELD = "_(QUEVRO/COM.INTERFACE/RAW/IID)_";

GUID guid_of(ITypeInfo* info) {
  GUID guid{};
  TYPEATTR* attributes;
  if (SUCCEEDED(info->GetTypeAttr(&attributes))) {
    guid = attributes->guid;
    info->ReleaseTypeAttr(attributes);
  }
  return guid;
}

// Advises the sink on the object's point for `iid` and records the connection with the object.
bool advise(DispatchWrapper* object, const IID& iid, IDispatch* sink, DWORD* cookie) {
  ComRef<IConnectionPointContainer> container;
  ComRef<IConnectionPoint> point;
  if (FAILED(object->dispatch->QueryInterface(IID_IConnectionPointContainer, container.put_void())) ||
      !container || FAILED(container->FindConnectionPoint(iid, point.put())) || !point ||
      FAILED(point->Advise(sink, cookie)))
    return false;
  if (!object->connections) object->connections = new std::vector<EventConnection>();
  sink->AddRef();
  object->connections->push_back(EventConnection{point.detach(), *cookie, sink});
  return true;
}

// The default event interface of the object's class, with a reference; null when unknown.
ComRef<ITypeInfo> default_events(DispatchWrapper* object) {
  ComRef<IProvideClassInfo> provider;
  ComRef<ITypeInfo> coclass;
  if (FAILED(object->dispatch->QueryInterface(IID_IProvideClassInfo, provider.put_void())) || !provider ||
      FAILED(provider->GetClassInfo(coclass.put())) || !coclass)
    return {};
  return ComRef<ITypeInfo>::adopt(default_interface(coclass.get(), true));
}

void disconnect(EventConnection& c) {
  c.point->Unadvise(c.cookie);
  c.point->Release();
  c.sink->Release();
}

}  // namespace

// com.Connect(object, sink table or cdata): the typed sink object and the cookie.
int connect_events(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, ARG1);
  if (type_of(L, ARG2) != TAG_TABLE && type_of(L, ARG2) != TAG_CDATA)
    runtime_error_text(L, "Implementation must be a table or a cdata");
  ComRef<ITypeInfo> events = default_events(object);
  if (!events) runtime_error_text(L, std::string("COM error\n") + NO_EVENTS_INTERFACE);
  ComRef<IDispatch> sink =
      ComRef<IDispatch>::adopt(new_typed_script_object(L, ARG2, events.get(), nullptr, false));
  DWORD cookie = 0;
  if (!advise(object, guid_of(events.get()), sink.get(), &cookie)) runtime_error_text(L, CANNOT_CONNECT);
  push_dispatch_object(L, sink.get());
  push_number(L, cookie);
  return 2;
}

// com.AddConnection(object, sink): a typed script object, or a table naming its interface in
// RAW_IID_FIELD (a GUID text or its 16 bytes) and holding the sink in `__thisPointer`.
int add_connection(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, ARG1);
  DispatchWrapper* sink = to_dispatch_object(L, ARG2);
  IID iid{};
  bool known = false;
  if (type_of(L, ARG2) == TAG_TABLE) {
    raw_get_field(L, ARG2, RAW_IID_FIELD);
    size_t len = 0;
    const char* text = is_string(L, -1) ? to_lstring(L, -1, &len) : nullptr;
    if (text && len == sizeof(IID)) {
      std::memcpy(&iid, text, sizeof(IID));
      known = true;
    } else if (text) {
      known = guid_from_string(std::string_view(text, len), &iid);
    }
    pop(L, 1);
  }
  if (!known && sink && sink->info) {
    iid = guid_of(sink->info);
    known = true;
  }
  DWORD cookie = 0;
  if (!sink || !known || !advise(object, iid, sink->dispatch, &cookie)) runtime_error_text(L, CANNOT_CONNECT);
  push_number(L, cookie);
  return 1;
}

// com.ReleaseConnection(object[, sink]): detaches the sink, or every sink the script attached.
int release_connection(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, ARG1);
  DispatchWrapper* sink = is_none_or_null(L, ARG2) ? nullptr : to_dispatch_object(L, ARG2);
  int released = 0;
  if (auto* connections = object->connections) {
    for (size_t i = connections->size(); i-- > 0;) {
      EventConnection& c = (*connections)[i];
      if (sink && c.sink != sink->dispatch) continue;
      EventConnection gone = c;
      connections->erase(connections->begin() + static_cast<ptrdiff_t>(i));
      disconnect(gone);
      ++released;
    }
  }
  push_boolean(L, released > 0);
  return 1;
}

// com.FireEvent(object, event name, arguments...): calls the event on every sink advised on the
// object; every sink is called even when one fails, then the first failure is raised. Returns
// the number of sinks called.
int fire_event(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, ARG1);
  ConnectionPoints* points = typed_object_connection_points(object->dispatch);
  if (!points) runtime_error_text(L, NO_CONTAINER);
  size_t len;
  const char* name = check_lstring(L, ARG2, &len);
  BSTR wide = bstr_from_utf8(std::string_view(name, len));
  MEMBERID id = MEMBERID_NIL;
  ITypeInfo* events = points->interface_with_event(wide, &id);
  SysFreeString(wide);
  if (!events) runtime_error_text(L, NO_POINT);
  int first = ARG3;
  int count = get_top(L) >= first ? get_top(L) - first + 1 : 0;
  std::vector<IDispatch*> sinks = points->sinks_of(events);
  std::string failure;
  // The arguments are converted once per sink: a sink may change the by-reference ones.
  for (IDispatch* sink : sinks) {
    std::vector<VARIANT> arguments(static_cast<size_t>(count));
    for (VARIANT& v : arguments) VariantInit(&v);
    int status = 0;
    {
      struct Conversion {
        std::vector<VARIANT>* arguments;
        int first;
      } conversion{&arguments, first};
      status = protected_run(L, [](VmState* S, void* ud) {
        auto* c = static_cast<Conversion*>(ud);
        size_t n = c->arguments->size();
        for (size_t i = 0; i < n; ++i) to_variant(S, c->first + static_cast<int>(i), &(*c->arguments)[n - 1 - i]);
      }, &conversion);
    }
    if (status != 0) {
      for (VARIANT& v : arguments) VariantClear(&v);
      for (IDispatch* s : sinks) s->Release();
      raise_error(L);
    }
    DISPPARAMS params{arguments.empty() ? nullptr : arguments.data(), nullptr, static_cast<UINT>(count), 0};
    VariantHolder result;
    EXCEPINFO exception = empty_exception();
    HRESULT hr = sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.get(),
                              &exception, nullptr);
    if (FAILED(hr) && failure.empty())
      failure = hr == DISP_E_EXCEPTION ? exception_text(&exception) : com_error_text(hr);
    clear_exception(&exception);
    for (VARIANT& v : arguments) VariantClear(&v);
    sink->Release();
  }
  if (!failure.empty()) runtime_error_text(L, failure);
  push_number(L, static_cast<double>(sinks.size()));
  return 1;
}

}  // namespace quevro::com
