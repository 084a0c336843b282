#include "com/script_control.h"

#include <cstring>
#include <initializer_list>
#include <thread>

#include "com/typed_script_object.h"
#include "com/variant.h"

namespace quevro::com {
namespace {

constexpr uint32_t WM_GETTEXT = 0x000D;

// The hidden window a thread's control windows belong to while they are not active in a
// container; it lives while any control window of the thread does.
struct Parking {
  WindowHandle window = nullptr;
  int users = 0;
};
thread_local Parking parking;

intptr_t parking_procedure(WindowHandle, uint32_t message, uintptr_t wparam, intptr_t lparam, void*) {
  if (message != WM_GETTEXT || wparam == 0 || lparam == 0) return 0;
  size_t length = std::min<size_t>(std::strlen(PARKING_WINDOW_NAME), wparam - 1);
  auto* buffer = reinterpret_cast<char*>(lparam);
  std::memcpy(buffer, PARKING_WINDOW_NAME, length);
  buffer[length] = '\0';
  return static_cast<intptr_t>(length);
}

WindowHandle acquire_parking() {
  if (!parking.window) parking.window = winsys::create_window(parking_procedure, nullptr);
  if (parking.window) ++parking.users;
  return parking.window;
}

void release_parking() {
  if (parking.users > 0 && --parking.users == 0) {
    winsys::destroy_window(parking.window);
    parking.window = nullptr;
  }
}

VARIANT number_argument(double n) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R8;
  v.dblVal = n;
  return v;
}

VARIANT window_argument(WindowHandle window) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_INT_PTR;
  v.byref = window;
  return v;
}

class ControlPart final : public TypedObjectPart,
                          public IOleObject,
                          public IOleInPlaceObject,
                          public IOleInPlaceActiveObject,
                          public IViewObject {
 public:
  ControlPart(IDispatch* object, IDispatch* implementation) : object_(object), implementation_(implementation) {}

  ~ControlPart() override {
    active_ = false;
    if (in_place_site_) in_place_site_->Release();
    if (site_) site_->Release();
    if (window_) {
      winsys::destroy_window(window_);
      // The parking window is its thread's; a control let go elsewhere leaves its count alone.
      if (window_thread_ == std::this_thread::get_id()) release_parking();
    }
  }

  void* find_interface(REFIID iid) override {
    if (iid == IID_IOleObject) return static_cast<IOleObject*>(this);
    if (iid == IID_IOleWindow || iid == IID_IOleInPlaceObject) return static_cast<IOleInPlaceObject*>(this);
    if (iid == IID_IOleInPlaceActiveObject) return static_cast<IOleInPlaceActiveObject*>(this);
    if (iid == IID_IViewObject) return static_cast<IViewObject*>(this);
    return nullptr;
  }

  // Identity and lifetime are the typed object's.
  HRESULT QueryInterface(REFIID iid, void** object) override { return object_->QueryInterface(iid, object); }
  ULONG AddRef() override { return object_->AddRef(); }
  ULONG Release() override { return object_->Release(); }

  // IOleObject
  HRESULT SetClientSite(IOleClientSite* site) override {
    if (site == site_) return S_OK;
    if (!site) deactivate(false);
    if (site) site->AddRef();
    if (site_) site_->Release();
    site_ = site;
    return S_OK;
  }
  HRESULT GetClientSite(IOleClientSite** site) override {
    if (!site) return E_POINTER;
    *site = site_;
    if (site_) site_->AddRef();
    return S_OK;
  }
  HRESULT SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  HRESULT Close(DWORD) override {
    // The container is letting go: no script runs now, it may be closing down.
    deactivate(false);
    return S_OK;
  }
  HRESULT DoVerb(LONG verb, const winsys::Message*, IOleClientSite* site, LONG, WindowHandle parent,
                 const RECT* position) override {
    switch (verb) {
      case OLEIVERB_PRIMARY:
      case OLEIVERB_SHOW:
      case OLEIVERB_UIACTIVATE:
      case OLEIVERB_INPLACEACTIVATE: return activate(site ? site : site_, parent, position);
      case OLEIVERB_HIDE:
        deactivate(true);
        return S_OK;
      default: return E_NOTIMPL;
    }
  }
  HRESULT SetExtent(DWORD aspect, SIZEL* size) override {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!size) return E_INVALIDARG;
    extent_ = *size;
    return S_OK;
  }
  HRESULT GetExtent(DWORD aspect, SIZEL* size) override {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!size) return E_POINTER;
    *size = extent_;
    return S_OK;
  }

  // IOleWindow
  HRESULT GetWindow(WindowHandle* window) override {
    if (!window) return E_POINTER;
    *window = window_;
    return window_ ? S_OK : E_FAIL;
  }
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IOleInPlaceObject
  HRESULT InPlaceDeactivate() override {
    deactivate(true);
    return S_OK;
  }
  HRESULT UIDeactivate() override { return S_OK; }
  HRESULT SetObjectRects(const RECT* position, const RECT*) override {
    if (!position) return E_INVALIDARG;
    rect_ = *position;
    call(u"onRectChange", {number_argument(rect_.left), number_argument(rect_.top),
                             number_argument(rect_.right), number_argument(rect_.bottom)});
    return S_OK;
  }

  // IOleInPlaceActiveObject
  HRESULT TranslateAccelerator(const winsys::Message* message) override {
    if (!active_ || !message) return S_FALSE;
    VARIANT result;
    VariantInit(&result);
    bool called = call(u"onAccelerator",
                       {number_argument(message->message), number_argument(static_cast<double>(message->wparam)),
                        number_argument(static_cast<double>(message->lparam))},
                       &result);
    bool taken = called && SUCCEEDED(VariantChangeType(&result, &result, 0, VT_BOOL)) && result.boolVal != 0;
    VariantClear(&result);
    return taken ? S_OK : S_FALSE;
  }

  // IViewObject
  HRESULT Draw(DWORD aspect, LONG, void*, const RECT* bounds) override {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!bounds) return E_INVALIDARG;
    call(u"onDraw", {number_argument(bounds->left), number_argument(bounds->top), number_argument(bounds->right),
                     number_argument(bounds->bottom)});
    return S_OK;
  }

 private:
  HRESULT activate(IOleClientSite* site, WindowHandle given_parent, const RECT* given_position) {
    if (active_) {
      if (given_position) rect_ = *given_position;
      return S_OK;
    }
    if (!site) return E_UNEXPECTED;
    IOleInPlaceSite* in_place = nullptr;
    HRESULT hr = site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&in_place));
    if (FAILED(hr) || !in_place) return FAILED(hr) ? hr : E_NOINTERFACE;
    if (in_place->CanInPlaceActivate() != S_OK) {
      in_place->Release();
      return E_FAIL;
    }
    WindowHandle parent = nullptr;
    if (FAILED(in_place->GetWindow(&parent)) || !parent) parent = given_parent;
    RECT position = given_position ? *given_position : RECT{0, 0, 0, 0};
    RECT clip = position;
    IOleInPlaceFrame* frame = nullptr;
    if (SUCCEEDED(in_place->GetWindowContext(&frame, nullptr, &position, &clip)) && frame) frame->Release();
    if (!parent || !winsys::is_window(parent) || FAILED(hr = in_place->OnInPlaceActivate())) {
      in_place->Release();
      return FAILED(hr) ? hr : E_FAIL;
    }
    if (!window_) {
      window_ = winsys::create_window(window_procedure, this);
      window_thread_ = std::this_thread::get_id();
      if (window_ && !acquire_parking()) {
        winsys::destroy_window(window_);
        window_ = nullptr;
      }
      if (!window_) {
        in_place->OnInPlaceDeactivate();
        in_place->Release();
        return E_OUTOFMEMORY;
      }
    }
    in_place_site_ = in_place;
    parent_ = parent;
    rect_ = position;
    active_ = true;
    call(u"onInPlaceActivate", {window_argument(window_), window_argument(parent_), number_argument(rect_.left),
                                number_argument(rect_.top), number_argument(rect_.right),
                                number_argument(rect_.bottom)});
    return S_OK;
  }

  // Back into the parking window; the script hears of it when `notify` is set.
  void deactivate(bool notify) {
    if (!active_) return;
    active_ = false;
    parent_ = parking.window;
    if (notify) call(u"onInPlaceDeactivate", {});
    if (IOleInPlaceSite* in_place = in_place_site_) {
      in_place_site_ = nullptr;
      in_place->OnInPlaceDeactivate();
      in_place->Release();
    }
  }

  static intptr_t window_procedure(WindowHandle, uint32_t message, uintptr_t wparam, intptr_t lparam, void* user) {
    auto* self = static_cast<ControlPart*>(user);
    VARIANT result;
    VariantInit(&result);
    intptr_t answer = 0;
    if (self->call(u"onMessage",
                   {number_argument(message), number_argument(static_cast<double>(wparam)),
                    number_argument(static_cast<double>(lparam))},
                   &result) &&
        SUCCEEDED(VariantChangeType(&result, &result, 0, VT_R8)))
      answer = static_cast<intptr_t>(result.dblVal);
    VariantClear(&result);
    return answer;
  }

  // Calls the implementation's member `name` with the arguments in their natural order; false
  // when it has no such member, the member failed or the state is gone.
  bool call(const char16_t* name, std::initializer_list<VARIANT> arguments, VARIANT* result = nullptr) {
    DISPID id;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    if (FAILED(implementation_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return false;
    VARIANT reversed[8];
    UINT count = 0;
    for (auto it = arguments.end(); it != arguments.begin() && count < 8;) reversed[count++] = *--it;
    DISPPARAMS params{reversed, nullptr, count, 0};
    EXCEPINFO exception = empty_exception();
    UINT argument_error = 0;
    object_->AddRef();  // the script may let go of the control while it runs
    HRESULT hr = implementation_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result,
                                         &exception, &argument_error);
    clear_exception(&exception);
    object_->Release();
    return SUCCEEDED(hr);
  }

  IDispatch* object_;          // the typed object this is part of (not referenced)
  IDispatch* implementation_;  // the script's own members (held by the typed object)
  IOleClientSite* site_ = nullptr;
  IOleInPlaceSite* in_place_site_ = nullptr;
  WindowHandle window_ = nullptr;
  std::thread::id window_thread_;
  WindowHandle parent_ = nullptr;
  RECT rect_{0, 0, 0, 0};
  SIZEL extent_{0, 0};
  bool active_ = false;
};

}  // namespace

IDispatch* new_script_control(VmState* L, int idx, ITypeInfo* iface, ITypeInfo* coclass) {
  return new_typed_script_object(L, idx, iface, coclass, true, [](IDispatch* object, IDispatch* implementation) {
    return new ControlPart(object, implementation);
  });
}

WindowHandle parking_window() { return parking.window; }

}  // namespace quevro::com
