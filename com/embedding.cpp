#include "com/embedding.h"

#include <cmath>
#include <string>
#include <sys/stat.h>

#include "com/class_registry.h"
#include "com/com_error.h"
#include "com/container_site.h"
#include "com/dispatch_object.h"
#include "com/state_link.h"
#include "runtime/library_registry.h"
#include "vm/arguments.h"
#include "vm/calls.h"

namespace quevro::com {
namespace {

constexpr const char* INVALID_FORM = "\r\ncom.CreateEmbed\r\nInvalid form.hwnd!";
constexpr const char* INVALID_PROGID = "Invalid ProgID!";
constexpr const char* NOT_A_MESSAGE = "\n{Expected}: ::MSG struct ";
constexpr const char16_t* CONTAINER_NAME = u"Quevro Ole";
// Pixels to HIMETRIC (hundredths of a millimetre) at 96 pixels per inch.
constexpr double HIMETRIC_PER_PIXEL = 26.458334;

// One embedded control: what "ole.host" closes. The form is anchored under the record's
// address, so `adjust` can ask it for its client rectangle again.
struct HostRecord {
  IOleObject* control;  // one reference
  ContainerSite* site;  // one reference
  WindowHandle window;
  StateLink* link;
};

LONG rect_field(VmState* L, int table, const char* name) {
  raw_get_field(L, table, name);
  LONG n = is_number(L, -1) ? static_cast<LONG>(to_number(L, -1)) : 0;
  pop(L, 1);
  return n;
}

// The form's client rectangle from its `getClientRect` method ({left, top, right, bottom});
// empty when the form has none to give.
RECT client_rect(VmState* L, int form) {
  RECT r{0, 0, 0, 0};
  check_stack(L, 6);
  get_field(L, form, "getClientRect");
  if (type_of(L, -1) != TAG_FUNCTION) {
    pop(L, 1);
    return r;
  }
  push_value(L, form);
  call(L, 1, 1);
  if (type_of(L, -1) == TAG_TABLE) {
    int t = get_top(L);
    r = RECT{rect_field(L, t, "left"), rect_field(L, t, "top"), rect_field(L, t, "right"), rect_field(L, t, "bottom")};
  }
  pop(L, 1);
  return r;
}

WindowHandle form_window(VmState* L, int form) {
  get_field(L, form, "hwnd");
  void* handle = nullptr;
  if (type_of(L, -1) == TAG_POINTER) handle = stack_address(L, -1)->u.p;
  else if (is_number(L, -1)) handle = reinterpret_cast<void*>(static_cast<uintptr_t>(to_number(L, -1)));
  pop(L, 1);
  return handle && winsys::is_window(handle) ? handle : nullptr;
}

void close_record(HostRecord* record) {
  if (record->control) {
    record->control->Close(OLECLOSE_NOSAVE);
    record->control->SetClientSite(nullptr);
    record->control->Release();
    record->control = nullptr;
  }
  if (record->site) {
    // A control that still holds the site finds it cut from the window, state and table.
    detach_site(record->site);
    release_site(record->site);
    record->site = nullptr;
  }
  if (record->link) {
    if (record->link->L) drop_anchor(record->link, record);
    release_state_link(record->link);
    record->link = nullptr;
  }
}

HostRecord* check_host(VmState* L, int idx) {
  return *static_cast<HostRecord**>(check_object(L, idx, OLE_LIBRARY, HOST_TYPE));
}

int host_close(VmState* L) {
  HostRecord* record = check_host(L, 1);
  close_record(record);
  delete record;
  *static_cast<HostRecord**>(to_cdata(L, 1)) = nullptr;
  return 0;
}

int host_gc(VmState* L) {
  auto** slot = static_cast<HostRecord**>(to_cdata(L, 1));
  if (slot && *slot) {
    close_record(*slot);
    delete *slot;
    *slot = nullptr;
  }
  return 0;
}

RECT current_rect(VmState* L, HostRecord* record) {
  push_anchored(record->link, L, record);
  RECT r = type_of(L, -1) == TAG_TABLE ? client_rect(L, get_top(L)) : RECT{0, 0, 0, 0};
  pop(L, 1);
  return r;
}

// host.doObjectVerb(verb)
int host_do_verb(VmState* L) {
  HostRecord* record = check_host(L, 1);
  LONG verb = check_integer(L, ARG1);
  RECT r = current_rect(L, record);
  HRESULT hr = record->control->DoVerb(verb, nullptr, client_site(record->site), 0, record->window, &r);
  push_boolean(L, SUCCEEDED(hr));
  return 1;
}

LONG to_himetric(LONG pixels) { return static_cast<LONG>(std::floor(pixels * HIMETRIC_PER_PIXEL + 0.5)); }

// host.adjust(): the control follows the window's client area.
int host_adjust(VmState* L) {
  HostRecord* record = check_host(L, 1);
  RECT r = current_rect(L, record);
  set_site_rectangle(record->site, r);
  SIZEL size{to_himetric(r.right - r.left), to_himetric(r.bottom - r.top)};
  record->control->SetExtent(DVASPECT_CONTENT, &size);
  ComRef<IOleInPlaceObject> in_place;
  if (SUCCEEDED(record->control->QueryInterface(IID_IOleInPlaceObject, in_place.put_void())) && in_place)
    in_place->SetObjectRects(&r, &r);
  return 0;
}

// host.tranacc(msg): the message to the control's accelerator handling; true when it took it.
int host_translate_accelerator(VmState* L) {
  HostRecord* record = check_host(L, upvalue_index(1));
  int msg = ARG1;
  if (type_of(L, msg) != TAG_TABLE) runtime_error_text(L, NOT_A_MESSAGE);
  raw_get_field(L, msg, "_struct");
  bool declared = is_string(L, -1);
  pop(L, 1);
  if (!declared) runtime_error_text(L, NOT_A_MESSAGE);
  winsys::Message m{};
  raw_get_field(L, msg, "hwnd");
  if (type_of(L, -1) == TAG_POINTER) m.hwnd = stack_address(L, -1)->u.p;
  pop(L, 1);
  m.message = static_cast<uint32_t>(rect_field(L, msg, "message"));
  m.wparam = static_cast<uintptr_t>(rect_field(L, msg, "wParam"));
  m.lparam = rect_field(L, msg, "lParam");
  m.time = static_cast<uint32_t>(rect_field(L, msg, "time"));
  ComRef<IOleInPlaceActiveObject> active;
  bool handled = SUCCEEDED(record->control->QueryInterface(IID_IOleInPlaceActiveObject, active.put_void())) &&
                 active && active->TranslateAccelerator(&m) == S_OK;
  push_boolean(L, handled);
  return 1;
}

// _get(host, key): the methods, and `tranacc` as a callable bound to this host.
int host_get(VmState* L) {
  check_host(L, 1);
  if (is_string(L, 2) && std::string(to_string(L, 2)) == "tranacc") {
    push_value(L, 1);
    push_closure(L, host_translate_accelerator, 1);
    return 1;
  }
  if (!get_metatable(L, 1)) return 0;
  push_value(L, 2);
  raw_get(L, -2);
  return 1;
}

bool is_existing_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The class of the control named by the argument: the browser control when there is none.
CLSID control_class(VmState* L, int idx) {
  if (is_none_or_null(L, idx)) return CLSID_WebBrowser;
  if (!is_string(L, idx)) runtime_error_text(L, INVALID_PROGID);
  size_t len;
  const char* name = to_lstring(L, idx, &len);
  CLSID clsid;
  if (SUCCEEDED(clsid_from_string(std::string_view(name, len), &clsid))) return clsid;
  // Controls stored in files are not supported.
  if (is_existing_file(std::string(name, len))) runtime_error_text(L, com_error_text(E_NOTIMPL));
  runtime_error_text(L, INVALID_PROGID);
}

struct Embedding {
  IOleObject* control = nullptr;
  ContainerSite* site = nullptr;
  ~Embedding() {
    if (control) {
      control->Close(OLECLOSE_NOSAVE);
      control->SetClientSite(nullptr);
      control->Release();
    }
    if (site) {
      detach_site(site);
      release_site(site);
    }
  }
};

HRESULT activate(Embedding& e, WindowHandle window, const RECT& r) {
  HRESULT hr = e.control->SetHostNames(CONTAINER_NAME, nullptr);
  if (SUCCEEDED(hr)) hr = e.control->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, client_site(e.site), 0, window, &r);
  if (SUCCEEDED(hr)) hr = e.control->DoVerb(OLEIVERB_SHOW, nullptr, client_site(e.site), -1, window, &r);
  return hr;
}

}  // namespace

void register_host_type(VmState* L) {
  static const LibraryFunction fields[] = {{"close", host_close},
                                           {"doObjectVerb", host_do_verb},
                                           {"adjust", host_adjust},
                                           {"_get", host_get},
                                           {"_gc", host_gc},
                                           {nullptr, nullptr}};
  register_object_type(L, OLE_LIBRARY, HOST_TYPE, fields);
  pop(L, 1);
}

int create_embed(VmState* L) {
  if (type_of(L, ARG1) != TAG_TABLE) type_arg_error(L, ARG1, "table");
  if (type_of(L, ARG2) != TAG_TABLE) type_arg_error(L, ARG2, "table");
  int kind = is_number(L, ARG4) ? to_integer(L, ARG4) : 0;
  if (kind != 1 && kind != 2) kind = is_none_or_null(L, ARG3) ? 1 : 3;
  WindowHandle window = form_window(L, ARG1);
  if (!window) runtime_error_text(L, INVALID_FORM);
  RECT r = client_rect(L, ARG1);

  Embedding e;
  DispatchWrapper* given = to_dispatch_object(L, ARG3);
  CLSID clsid{};
  if (!given) clsid = control_class(L, ARG3);
  e.site = new_container_site(L, ARG2, window, r, kind);
  HRESULT hr;
  if (given) {
    hr = given->dispatch->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&e.control));
  } else {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IOleObject, reinterpret_cast<void**>(&e.control));
  }
  if (SUCCEEDED(hr)) hr = e.control->SetClientSite(client_site(e.site));
  if (SUCCEEDED(hr)) hr = activate(e, window, r);
  ComRef<IDispatch> dispatch;
  if (SUCCEEDED(hr)) hr = e.control->QueryInterface(IID_IDispatch, dispatch.put_void());
  if (FAILED(hr)) runtime_error_text(L, com_error_text(hr));  // `e` closes what was made

  push_dispatch_object(L, dispatch.get());
  int result = get_top(L);
  auto** slot = static_cast<HostRecord**>(new_cdata(L, sizeof(HostRecord*)));
  *slot = nullptr;
  registry_subtable(L, OLE_LIBRARY);
  raw_get_field(L, -1, HOST_TYPE);
  remove(L, -2);
  set_metatable(L, -2);
  auto* record = new HostRecord{e.control, e.site, window, acquire_state_link(L)};
  e.control = nullptr;
  e.site = nullptr;
  *slot = record;
  anchor_value(record->link, L, record, ARG1);
  raw_set_field(L, result, "_host");
  push_value(L, ARG1);
  raw_set_field(L, result, "_form");
  push_value(L, result);
  raw_set_field(L, result, "_object");
  return 1;
}

int do_object_verb(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, ARG1);
  LONG verb = check_integer(L, ARG2);
  ComRef<IOleObject> control;
  HRESULT hr = object->dispatch->QueryInterface(IID_IOleObject, control.put_void());
  ComRef<IOleClientSite> site;
  if (SUCCEEDED(hr)) control->GetClientSite(site.put());
  if (SUCCEEDED(hr)) hr = control->DoVerb(verb, nullptr, site.get(), 0, nullptr, nullptr);
  push_boolean(L, SUCCEEDED(hr));
  return 1;
}

}  // namespace quevro::com
