#include "com/container_site.h"

#include <cstring>
#include <string>

#include "com/bstr.h"
#include "com/class_registry.h"
#include "com/com_object.h"
#include "com/script_object.h"
#include "com/state_link.h"
#include "com/variant_conversion.h"
#include "vm/calls.h"

namespace quevro::com {
namespace {

// The container's security manager: every page of a trusted host is in the trusted zone and may
// do everything.
class TrustingSecurityManager final
    : public ComObject<TrustingSecurityManager, IInternetSecurityManager, &IID_IInternetSecurityManager> {
 public:
  HRESULT SetSecuritySite(IUnknown*) override { return INET_E_DEFAULT_ACTION; }
  HRESULT GetSecuritySite(IUnknown** site) override {
    if (site) *site = nullptr;
    return INET_E_DEFAULT_ACTION;
  }
  HRESULT MapUrlToZone(LPCOLESTR, DWORD* zone, DWORD) override {
    if (!zone) return E_POINTER;
    *zone = URLZONE_TRUSTED;
    return S_OK;
  }
  HRESULT GetSecurityId(LPCOLESTR, uint8_t*, DWORD*, uintptr_t) override { return INET_E_DEFAULT_ACTION; }
  HRESULT ProcessUrlAction(LPCOLESTR, DWORD, uint8_t* policy, DWORD policy_size, uint8_t*, DWORD, DWORD,
                           DWORD) override {
    if (!policy || policy_size < 4) return S_FALSE;
    DWORD allow = URLPOLICY_ALLOW;
    std::memcpy(policy, &allow, sizeof allow);
    return S_OK;
  }
  HRESULT QueryCustomPolicy(LPCOLESTR, const GUID&, uint8_t**, DWORD*, uint8_t*, DWORD, DWORD) override {
    return INET_E_DEFAULT_ACTION;
  }
  HRESULT SetZoneMapping(DWORD, LPCOLESTR, DWORD) override { return E_NOTIMPL; }
  HRESULT GetZoneMappings(DWORD, void**, DWORD) override { return E_NOTIMPL; }
};

std::string utf8_of(LPCOLESTR text) { return text ? utf8_from_wide(text) : std::string(); }

}  // namespace

class ContainerSite final : public IOleClientSite,
                            public IOleInPlaceFrame,
                            public IOleInPlaceSite,
                            public IDocHostShowUI,
                            public IDocHostUIHandler,
                            public IOleCommandTarget,
                            public IServiceProvider {
 public:
  ContainerSite(VmState* L, int callbacks, WindowHandle window, const RECT& client, int kind)
      : window_(window), client_(client), kind_(kind) {
    if (type_of(L, callbacks) == TAG_TABLE) {
      link_ = acquire_state_link(L);
      anchor_value(link_, L, this, callbacks);
      raw_get_field(L, callbacks, "securityTrusted");
      trusted_ = to_boolean(L, -1);
      pop(L, 1);
    }
  }

  // ---- IUnknown ----
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IOleClientSite) *object = static_cast<IOleClientSite*>(this);
    else if (iid == IID_IOleInPlaceFrame || iid == IID_IOleInPlaceUIWindow) *object = static_cast<IOleInPlaceFrame*>(this);
    else if (iid == IID_IOleInPlaceSite || iid == IID_IOleWindow) *object = static_cast<IOleInPlaceSite*>(this);
    else if (iid == IID_IDocHostShowUI) *object = static_cast<IDocHostShowUI*>(this);
    else if (iid == IID_IDocHostUIHandler) *object = static_cast<IDocHostUIHandler*>(this);
    else if (iid == IID_IOleCommandTarget) *object = static_cast<IOleCommandTarget*>(this);
    else if (iid == IID_IServiceProvider) *object = static_cast<IServiceProvider*>(this);
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // ---- IOleClientSite ----
  HRESULT SaveObject() override { return E_NOTIMPL; }
  HRESULT GetContainer(IUnknown** container) override {
    if (container) *container = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT ShowObject() override { return S_OK; }
  HRESULT OnShowWindow(BOOL) override { return S_OK; }
  HRESULT RequestNewObjectLayout() override { return E_NOTIMPL; }

  // ---- IOleWindow (frame and in-place site alike) ----
  HRESULT GetWindow(WindowHandle* window) override {
    if (!window) return E_POINTER;
    *window = window_;
    return window_ ? S_OK : E_FAIL;
  }
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // ---- IOleInPlaceUIWindow / IOleInPlaceFrame: a full container's frame work is not done ----
  HRESULT GetBorder(RECT*) override { return E_NOTIMPL; }
  HRESULT RequestBorderSpace(const RECT*) override { return E_NOTIMPL; }
  HRESULT SetBorderSpace(const RECT*) override { return E_NOTIMPL; }
  HRESULT SetActiveObject(IUnknown*, LPCOLESTR) override { return S_OK; }
  HRESULT InsertMenus(void*, void*) override { return E_NOTIMPL; }
  HRESULT SetMenu(void*, void*, WindowHandle) override { return S_OK; }
  HRESULT RemoveMenus(void*) override { return E_NOTIMPL; }
  HRESULT SetStatusText(LPCOLESTR) override { return S_OK; }
  HRESULT EnableModeless(BOOL) override { return S_OK; }
  HRESULT TranslateAccelerator(const winsys::Message*, WORD) override { return S_FALSE; }

  // ---- IOleInPlaceSite ----
  HRESULT CanInPlaceActivate() override { return S_OK; }
  HRESULT OnInPlaceActivate() override { return S_OK; }
  HRESULT OnUIActivate() override { return S_OK; }
  HRESULT GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, RECT* position,
                           RECT* clip) override {
    if (frame) {
      AddRef();
      *frame = static_cast<IOleInPlaceFrame*>(this);
    }
    if (document) *document = nullptr;
    if (position) *position = client_;
    if (clip) *clip = client_;
    return S_OK;
  }
  HRESULT Scroll(SIZEL) override { return E_NOTIMPL; }
  HRESULT OnUIDeactivate(BOOL) override { return S_OK; }
  HRESULT OnInPlaceDeactivate() override { return S_OK; }
  HRESULT DiscardUndoState() override { return E_NOTIMPL; }
  HRESULT DeactivateAndUndo() override { return E_NOTIMPL; }
  HRESULT OnPosRectChange(const RECT*) override { return S_OK; }

  // ---- IDocHostShowUI ----
  HRESULT ShowMessage(WindowHandle, LPCOLESTR text, LPCOLESTR caption, DWORD, LPCOLESTR, DWORD, LONG* result) override {
    std::string t = utf8_of(text), c = utf8_of(caption);
    bool handled = false;
    call("showMsg", [&](VmState* L) {
      push_lstring(L, t.data(), t.size());
      push_lstring(L, c.data(), c.size());
      return 2;
    }, [&](VmState* L, int r) { handled = to_boolean(L, r); });
    if (handled && result) *result = 1;  // IDOK
    return handled ? S_OK : S_FALSE;
  }
  HRESULT ShowHelp(WindowHandle, LPCOLESTR, UINT, DWORD, POINT, IDispatch*) override {
    bool handled = false;
    call("showhelp", [](VmState*) { return 0; }, [&](VmState* L, int r) { handled = to_boolean(L, r); });
    return handled ? S_OK : S_FALSE;
  }

  // ---- IDocHostUIHandler ----
  HRESULT ShowContextMenu(DWORD id, const POINT* point, IUnknown*, IDispatch* element) override {
    bool answered = false, show_default = true;
    call("showMenu", [&](VmState* L) {
      push_number(L, point ? point->x : 0);
      push_number(L, point ? point->y : 0);
      push_number(L, id);
      VARIANT v;
      VariantInit(&v);
      if (element) {
        v.vt = VT_DISPATCH;
        v.pdispVal = element;
      }
      push_variant(L, &v);  // borrowed: not cleared
      return 4;
    }, [&](VmState* L, int r) {
      answered = true;
      show_default = to_boolean(L, r);
    });
    // A false answer (null, false or 0) means the script handled the menu.
    return answered && !show_default ? S_OK : S_FALSE;
  }
  HRESULT GetHostInfo(DOCHOSTUIINFO* info) override {
    if (!info) return E_POINTER;
    double flags = 0;
    read("_hostflag", [&](VmState* L, int v) {
      if (is_number(L, v)) flags = to_number(L, v);
    });
    info->cbSize = 20;
    info->dwFlags = static_cast<DWORD>(flags);
    info->dwDoubleClick = 0;
    return S_OK;
  }
  HRESULT GetExternal(IDispatch** external) override {
    if (!external) return E_POINTER;
    *external = nullptr;
    read("external", [&](VmState* L, int v) {
      if (type_of(L, v) == TAG_TABLE) *external = expose_script_value(L, v);
    });
    return *external ? S_OK : S_FALSE;
  }
  HRESULT TranslateUrl(DWORD, LPCOLESTR url, LPOLESTR* out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    std::string text = utf8_of(url);
    call("translate", [&](VmState* L) {
      push_lstring(L, text.data(), text.size());
      return 1;
    }, [&](VmState* L, int r) {
      if (!is_string(L, r) || is_number(L, r)) return;
      size_t len;
      const char* s = to_lstring(L, r, &len);
      BSTR wide = bstr_from_utf8(std::string_view(s, len));
      UINT units = SysStringLen(wide);
      auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((units + 1) * sizeof(OLECHAR)));
      if (copy) {
        std::memcpy(copy, wide, units * sizeof(OLECHAR));
        copy[units] = 0;
        *out = copy;
      }
      SysFreeString(wide);
    });
    return *out ? S_OK : S_FALSE;
  }

  // ---- IOleCommandTarget ----
  HRESULT QueryStatus(const GUID*, ULONG, void*, void*) override { return E_NOTIMPL; }
  HRESULT Exec(const GUID* group, DWORD id, DWORD, VARIANT*, VARIANT* out) override {
    if (!group || *group != CGID_DocHostCommandHandler || id != OLECMDID_SHOWSCRIPTERROR)
      return OLECMDERR_E_NOTSUPPORTED;
    bool suppress = false;
    call("noScriptErr", [](VmState*) { return 0; }, [&](VmState* L, int r) { suppress = to_boolean(L, r); });
    if (!suppress) return OLECMDERR_E_NOTSUPPORTED;
    // The page's scripts may go on running.
    if (out) {
      VariantClear(out);
      out->vt = VT_BOOL;
      out->boolVal = VARIANT_TRUE;
    }
    return S_OK;
  }

  // ---- IServiceProvider ----
  HRESULT QueryService(const GUID& service, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (service == IID_IInternetSecurityManager && iid == IID_IInternetSecurityManager && trusted_ && link_) {
      auto* manager = new TrustingSecurityManager();
      HRESULT hr = manager->QueryInterface(iid, object);
      manager->Release();
      return hr;
    }
    if (service == IID_SiteService) {
      if (!service_) {
        HRESULT hr = CoCreateInstance(CLSID_SiteService, nullptr, CLSCTX_ALL, IID_SiteService,
                                      reinterpret_cast<void**>(&service_));
        if (FAILED(hr)) return hr;
      }
      return service_->QueryInterface(iid, object);
    }
    return E_NOINTERFACE;
  }

  void set_client(const RECT& client) { client_ = client; }
  int kind() const { return kind_; }

  void detach() {
    window_ = nullptr;
    if (link_) {
      if (link_->L) drop_anchor(link_, this);
      release_state_link(link_);
      link_ = nullptr;
    }
  }

 private:
  ~ContainerSite() {
    detach();
    if (service_) service_->Release();
  }

  // Runs callback field `name` of the table with the arguments push() gives; take(L, r) sees
  // its first result. Nothing happens without a table, a callable field or a usable state.
  template <class Push, class Take>
  void call(const char* name, Push push, Take take) {
    HRESULT refusal;
    VmState* L = link_ ? usable_state(link_, &refusal) : nullptr;
    if (!L) return;
    struct Call {
      ContainerSite* site;
      const char* name;
      Push* push;
      Take* take;
    } c{this, name, &push, &take};
    int top = get_top(L);
    protected_run(L, [](VmState* S, void* ud) {
      auto* c = static_cast<Call*>(ud);
      check_stack(S, 12);
      push_anchored(c->site->link_, S, c->site);
      int table = get_top(S);
      get_field(S, table, c->name);
      if (type_of(S, -1) != TAG_FUNCTION) return;
      push_value(S, table);  // the table is the owner
      int n = (*c->push)(S);
      quevro::call(S, n + 1, 1);
      (*c->take)(S, get_top(S));
    }, &c);
    set_top(L, top);
  }

  // Reads field `name` of the table; use(L, v) sees it.
  template <class Use>
  void read(const char* name, Use use) {
    HRESULT refusal;
    VmState* L = link_ ? usable_state(link_, &refusal) : nullptr;
    if (!L) return;
    struct Read {
      ContainerSite* site;
      const char* name;
      Use* use;
    } r{this, name, &use};
    int top = get_top(L);
    protected_run(L, [](VmState* S, void* ud) {
      auto* r = static_cast<Read*>(ud);
      check_stack(S, 8);
      push_anchored(r->site->link_, S, r->site);
      get_field(S, -1, r->name);
      (*r->use)(S, get_top(S));
    }, &r);
    set_top(L, top);
  }

  ULONG references_ = 1;
  WindowHandle window_;
  RECT client_;
  int kind_;
  StateLink* link_ = nullptr;
  bool trusted_ = false;
  IUnknown* service_ = nullptr;
};

ContainerSite* new_container_site(VmState* L, int callbacks, WindowHandle window, const RECT& client, int kind) {
  if (callbacks < 0 && callbacks > REGISTRY_INDEX) callbacks = get_top(L) + callbacks + 1;
  return new ContainerSite(L, callbacks, window, client, kind);
}

IOleClientSite* client_site(ContainerSite* site) { return static_cast<IOleClientSite*>(site); }
void set_site_rectangle(ContainerSite* site, const RECT& client) { site->set_client(client); }
int site_kind(const ContainerSite* site) { return site->kind(); }
void detach_site(ContainerSite* site) { site->detach(); }
void release_site(ContainerSite* site) { static_cast<IOleClientSite*>(site)->Release(); }

}  // namespace quevro::com
