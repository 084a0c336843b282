#include "com/server_registration.h"

#include <memory>
#include <string>

#include "com/class_registry.h"
#include "com/com_error.h"
#include "com/state_link.h"
#include "com/type_library_object.h"
#include "com/type_library_reader.h"
#include "com/typed_script_object.h"
#include "compiler/chunk_entry.h"
#include "vm/arguments.h"
#include "vm/calls.h"

namespace quevro::com {
namespace {

constexpr const char* NOT_A_TABLE = "Registration info must be a table or cdata";
constexpr const char* INCOMPLETE = "Incomplete registration table.";
constexpr const char* NO_COCLASS = "Could not get coclass typeinfo.";

struct Registration {
  std::string coclass;
  std::string prog_id;
  std::string version_independent;
  std::string script_file;
  std::string arguments;
  ITypeLib* library = nullptr;  // borrowed from the argument while the call runs
};

Registration read_registration(VmState* L, int idx) {
  if (type_of(L, idx) != TAG_TABLE && type_of(L, idx) != TAG_CDATA) runtime_error_text(L, NOT_A_TABLE);
  // A cdata registration answers through its `_get`: read it as the table it stands for.
  if (type_of(L, idx) == TAG_CDATA) {
    new_table(L, 0, 8);
    for (const char* field : {"CoClass", "ProgID", "VersionIndependentProgID", "ScriptFile", "Arguments", "TypeLib"}) {
      get_field(L, idx, field);
      raw_set_field(L, -2, field);
    }
    idx = get_top(L);
  }
  auto text_of = [L](int table, const char* field) { return text_field(L, table, field); };
  Registration r;
  r.coclass = text_of(idx, "CoClass");
  r.prog_id = text_of(idx, "ProgID");
  r.version_independent = text_of(idx, "VersionIndependentProgID");
  r.script_file = text_of(idx, "ScriptFile");
  r.arguments = text_of(idx, "Arguments");
  raw_get_field(L, idx, "TypeLib");
  bool has_library = type_of(L, -1) != TAG_NULL;
  if (r.coclass.empty() || r.prog_id.empty() || r.version_independent.empty() || !has_library)
    runtime_error_text(L, INCOMPLETE);
  r.library = check_type_library(L, get_top(L));
  pop(L, 1);
  return r;
}

// The class of the registration, with a reference.
ComRef<ITypeInfo> coclass_of(VmState* L, const Registration& r) {
  for (UINT i = 0; i < r.library->GetTypeInfoCount(); ++i) {
    BSTR name = nullptr;
    TYPEKIND kind;
    if (FAILED(r.library->GetDocumentation(static_cast<int32_t>(i), &name, nullptr, nullptr, nullptr))) continue;
    bool same = utf8_from_bstr(name) == r.coclass;
    SysFreeString(name);
    ComRef<ITypeInfo> info;
    if (same && SUCCEEDED(r.library->GetTypeInfoType(i, &kind)) && kind == TKIND_COCLASS &&
        SUCCEEDED(r.library->GetTypeInfo(i, info.put())))
      return info;
  }
  runtime_error_text(L, NO_COCLASS);
}

CLSID guid_of(ITypeInfo* info) {
  CLSID clsid{};
  TYPEATTR* attributes;
  if (SUCCEEDED(info->GetTypeAttr(&attributes))) {
    clsid = attributes->guid;
    info->ReleaseTypeAttr(attributes);
  }
  return clsid;
}

// What a registered class's factory keeps: the class, its script and the state to run it in.
struct Server {
  ComRef<ITypeInfo> coclass;
  std::string script_file;
  std::string arguments;
  StateLink* link;
  Server(ComRef<ITypeInfo> c, std::string file, std::string args, StateLink* l)
      : coclass(std::move(c)), script_file(std::move(file)), arguments(std::move(args)), link(l) {}
  ~Server() { release_state_link(link); }
};

struct Creation {
  Server* server;
  IDispatch* made = nullptr;
};

// Runs the script; its first result implements a new object of the class.
void run_server_script(VmState* L, void* ud) {
  auto* c = static_cast<Creation*>(ud);
  if (load_file(L, c->server->script_file.c_str()) != STATUS_OK) raise_error(L);
  push_null(L);
  push_lstring(L, c->server->arguments.data(), c->server->arguments.size());
  call(L, 2, 1);
  ComRef<ITypeInfo> iface = ComRef<ITypeInfo>::adopt(default_interface(c->server->coclass.get(), false));
  if (!iface) runtime_error_text(L, "Could not find a suitable default interface.");
  c->made = new_typed_script_object(L, -1, iface.get(), c->server->coclass.get(), true);
}

HRESULT create_from_script(const std::shared_ptr<Server>& server, REFIID iid, void** out) {
  HRESULT refusal;
  VmState* L = usable_state(server->link, &refusal);
  if (!L) return refusal == RPC_E_DISCONNECTED ? CO_E_SERVER_EXEC_FAILURE : refusal;
  if (server->script_file.empty()) return CO_E_SERVER_EXEC_FAILURE;
  Creation creation{server.get()};
  int top = get_top(L);
  int status = protected_run(L, run_server_script, &creation);
  set_top(L, top);
  if (status != STATUS_OK || !creation.made) return CO_E_SERVER_EXEC_FAILURE;
  HRESULT hr = creation.made->QueryInterface(iid, out);
  creation.made->Release();
  return hr;
}

}  // namespace

// com.RegisterObject(registration)
int register_object(VmState* L) {
  Registration r = read_registration(L, ARG1);
  ComRef<ITypeInfo> coclass = coclass_of(L, r);
  CLSID clsid = guid_of(coclass.get());
  auto server = std::make_shared<Server>(coclass, r.script_file, r.arguments, acquire_state_link(L));
  HRESULT hr = register_class(clsid, r.prog_id, r.version_independent,
                              [server](REFIID iid, void** out) { return create_from_script(server, iid, out); });
  if (FAILED(hr)) runtime_error_text(L, com_error_text(hr));
  push_boolean(L, true);
  return 1;
}

// com.UnRegisterObject(registration)
int unregister_object(VmState* L) {
  Registration r = read_registration(L, ARG1);
  ComRef<ITypeInfo> coclass = coclass_of(L, r);
  push_boolean(L, unregister_class(guid_of(coclass.get())));
  return 1;
}

}  // namespace quevro::com
