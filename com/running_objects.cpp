#include "com/running_objects.h"

#include <mutex>
#include <string>
#include <vector>

#include "com/class_registry.h"
#include "com/com_error.h"
#include "com/com_library.h"
#include "com/dispatch_object.h"
#include "com/type_info.h"
#include "runtime/library_registry.h"
#include "vm/arguments.h"
#include "vm/calls.h"

namespace quevro::com {
namespace {

constexpr const char* NO_COCLASS = "Object does not have coclass type information";
constexpr HRESULT MK_E_UNAVAILABLE = hresult(0x800401E3u);
constexpr const char* GUARD_TYPE = "RunningObjects";

struct RunningEntry {
  CLSID clsid;
  std::string name;     // the ProgID the class is registered under
  IDispatch* object;    // one reference
  const void* owner;    // the machine (shared state) that published it
  bool factory_used;
};

std::mutex running_lock;
std::vector<RunningEntry>& running() {
  static std::vector<RunningEntry> entries;
  return entries;
}

// Removes the entry of the class, if any, and its factory; releases outside the lock.
void withdraw(const CLSID& clsid) {
  IDispatch* gone = nullptr;
  {
    std::lock_guard<std::mutex> hold(running_lock);
    auto& entries = running();
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].clsid != clsid) continue;
      gone = entries[i].object;
      entries.erase(entries.begin() + static_cast<ptrdiff_t>(i));
      break;
    }
  }
  if (!gone) return;
  unregister_class(clsid);
  gone->Release();
}

// When the state closes, what it published is withdrawn.
int withdraw_machine(VmState* L) {
  const void* owner = G(L);
  std::vector<CLSID> classes;
  {
    std::lock_guard<std::mutex> hold(running_lock);
    for (const RunningEntry& e : running())
      if (e.owner == owner) classes.push_back(e.clsid);
  }
  for (const CLSID& clsid : classes) withdraw(clsid);
  return 0;
}

void ensure_guard(VmState* L) {
  registry_subtable(L, COM_LIBRARY);
  raw_get_field(L, -1, "runningGuard");
  bool present = type_of(L, -1) != TAG_NULL;
  pop(L, 1);
  if (!present) {
    push_com_metatable(L, GUARD_TYPE);
    if (type_of(L, -1) != TAG_TABLE) {
      pop(L, 1);
      static const LibraryFunction fields[] = {{"_gc", withdraw_machine}, {nullptr, nullptr}};
      register_object_type(L, COM_LIBRARY, GUARD_TYPE, fields);
    }
    new_cdata(L, 1);
    insert(L, -2);
    set_metatable(L, -2);
    raw_set_field(L, -2, "runningGuard");
  }
  pop(L, 1);
}

// The class of the automation object at idx and the ProgID it gets ("Library.Class").
bool class_of(DispatchWrapper* object, CLSID* clsid, std::string* name) {
  ComRef<IProvideClassInfo> provider;
  ComRef<ITypeInfo> coclass;
  if (FAILED(object->dispatch->QueryInterface(IID_IProvideClassInfo, provider.put_void())) || !provider ||
      FAILED(provider->GetClassInfo(coclass.put())) || !coclass)
    return false;
  TYPEATTR* attributes;
  if (FAILED(coclass->GetTypeAttr(&attributes))) return false;
  *clsid = attributes->guid;
  coclass->ReleaseTypeAttr(attributes);
  BSTR class_name = nullptr, library_name = nullptr;
  coclass->GetDocumentation(MEMBERID_NIL, &class_name, nullptr, nullptr, nullptr);
  ComRef<ITypeLib> library;
  UINT index;
  if (SUCCEEDED(coclass->GetContainingTypeLib(library.put(), &index)) && library)
    library->GetDocumentation(-1, &library_name, nullptr, nullptr, nullptr);
  std::string lib = utf8_from_bstr(library_name);
  *name = (lib.empty() ? std::string("Quevro") : lib) + "." + utf8_from_bstr(class_name);
  SysFreeString(class_name);
  SysFreeString(library_name);
  return true;
}

// The running object of a class, with a reference; null when none.
IDispatch* active_object(const CLSID& clsid) {
  std::lock_guard<std::mutex> hold(running_lock);
  for (const RunningEntry& e : running()) {
    if (e.clsid == clsid) {
      e.object->AddRef();
      return e.object;
    }
  }
  return nullptr;
}

}  // namespace

// com.ExposeObject(object)
int expose_object(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, ARG1);
  CLSID clsid;
  std::string name;
  if (!class_of(object, &clsid, &name)) runtime_error_text(L, NO_COCLASS);
  ensure_guard(L);
  withdraw(clsid);
  object->dispatch->AddRef();
  {
    std::lock_guard<std::mutex> hold(running_lock);
    running().push_back(RunningEntry{clsid, name, object->dispatch, G(L), false});
  }
  // Single use: the first creation of the class gets this object, later ones fail.
  HRESULT hr = register_class(clsid, name, "", [clsid](REFIID iid, void** out) {
    IDispatch* found = nullptr;
    {
      std::lock_guard<std::mutex> hold(running_lock);
      for (RunningEntry& e : running()) {
        if (e.clsid != clsid || e.factory_used) continue;
        e.factory_used = true;
        found = e.object;
        found->AddRef();
      }
    }
    if (!found) return CLASS_E_CLASSNOTAVAILABLE;
    HRESULT result = found->QueryInterface(iid, out);
    found->Release();
    return result;
  });
  if (FAILED(hr)) {
    withdraw(clsid);
    runtime_error_text(L, com_error_text(hr));
  }
  push_boolean(L, true);
  return 1;
}

// com.RevokeObject(object)
int revoke_object(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, ARG1);
  CLSID clsid;
  std::string name;
  if (!class_of(object, &clsid, &name)) runtime_error_text(L, NO_COCLASS);
  IDispatch* active = active_object(clsid);
  bool ours = active == object->dispatch;
  if (active) active->Release();
  if (ours) withdraw(clsid);
  push_boolean(L, ours);
  return 1;
}

// com.GetObject(ProgID or "{CLSID}"): the running object of the class.
int get_object(VmState* L) {
  size_t len;
  const char* name = check_lstring(L, ARG1, &len);
  CLSID clsid;
  HRESULT hr = clsid_from_string(std::string_view(name, len), &clsid);
  ComRef<IDispatch> object;
  if (SUCCEEDED(hr)) {
    object = ComRef<IDispatch>::adopt(active_object(clsid));
    if (!object) hr = MK_E_UNAVAILABLE;
  }
  if (FAILED(hr)) runtime_error_text(L, com_error_text(hr));
  push_dispatch_object(L, object.get());
  return 1;
}

// com.enumRunning(f): f(display name, object) for each running object.
int enum_running(VmState* L) {
  check_type(L, ARG1, TAG_FUNCTION);
  std::vector<std::pair<std::string, IDispatch*>> list;
  {
    std::lock_guard<std::mutex> hold(running_lock);
    for (const RunningEntry& e : running()) {
      e.object->AddRef();
      list.emplace_back(e.name, e.object);
    }
  }
  // The wrappers take their own references; ours go before any script runs.
  int base = get_top(L);
  check_stack(L, static_cast<int>(list.size()) * 2 + 4);
  for (auto& [name, object] : list) {
    push_lstring(L, name.data(), name.size());
    push_dispatch_object(L, object);
    object->Release();
  }
  for (size_t i = 0; i < list.size(); ++i) {
    push_value(L, ARG1);
    push_null(L);
    push_value(L, base + 1 + static_cast<int>(2 * i));
    push_value(L, base + 2 + static_cast<int>(2 * i));
    call(L, 3, 0);
  }
  return 0;
}

}  // namespace quevro::com
