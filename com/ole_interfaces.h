// The embedding interfaces: what an OLE container and the control it hosts say to each other,
// and what a browser control asks of its host. This is the project's own subset: the Win32
// names and the order of the methods it keeps, with window handles and messages of the
// window-system layer; methods no part of the system calls are left out, and structures hold
// only the fields that are used.
#pragma once

#include "com/dispatch_params.h"
#include "runtime/window_system.h"

namespace quevro::com {

using WindowHandle = winsys::WindowHandle;
using BOOL = int32_t;

struct RECT {
  LONG left, top, right, bottom;
};
struct POINT {
  LONG x, y;
};
struct SIZEL {
  LONG cx, cy;
};

inline constexpr LONG OLEIVERB_PRIMARY = 0;
inline constexpr LONG OLEIVERB_SHOW = -1;
inline constexpr LONG OLEIVERB_INPLACEACTIVATE = -5;
inline constexpr DWORD DVASPECT_CONTENT = 1;
inline constexpr DWORD OLECLOSE_NOSAVE = 1;

struct IOleClientSite : IUnknown {
  virtual HRESULT SaveObject() = 0;
  virtual HRESULT GetContainer(IUnknown** container) = 0;
  virtual HRESULT ShowObject() = 0;
  virtual HRESULT OnShowWindow(BOOL show) = 0;
  virtual HRESULT RequestNewObjectLayout() = 0;

 protected:
  ~IOleClientSite() = default;
};

struct IOleObject : IUnknown {
  virtual HRESULT SetClientSite(IOleClientSite* site) = 0;
  virtual HRESULT GetClientSite(IOleClientSite** site) = 0;
  virtual HRESULT SetHostNames(LPCOLESTR container_app, LPCOLESTR container_object) = 0;
  virtual HRESULT Close(DWORD save_option) = 0;
  virtual HRESULT DoVerb(LONG verb, const winsys::Message* message, IOleClientSite* site, LONG index,
                         WindowHandle parent, const RECT* position) = 0;
  virtual HRESULT SetExtent(DWORD aspect, SIZEL* size) = 0;
  virtual HRESULT GetExtent(DWORD aspect, SIZEL* size) = 0;

 protected:
  ~IOleObject() = default;
};

struct IOleWindow : IUnknown {
  virtual HRESULT GetWindow(WindowHandle* window) = 0;
  virtual HRESULT ContextSensitiveHelp(BOOL enter) = 0;

 protected:
  ~IOleWindow() = default;
};

struct IOleInPlaceUIWindow : IOleWindow {
  virtual HRESULT GetBorder(RECT* border) = 0;
  virtual HRESULT RequestBorderSpace(const RECT* widths) = 0;
  virtual HRESULT SetBorderSpace(const RECT* widths) = 0;
  virtual HRESULT SetActiveObject(IUnknown* object, LPCOLESTR name) = 0;

 protected:
  ~IOleInPlaceUIWindow() = default;
};

struct IOleInPlaceFrame : IOleInPlaceUIWindow {
  virtual HRESULT InsertMenus(void* menu, void* widths) = 0;
  virtual HRESULT SetMenu(void* menu, void* ole_menu, WindowHandle active_object) = 0;
  virtual HRESULT RemoveMenus(void* menu) = 0;
  virtual HRESULT SetStatusText(LPCOLESTR text) = 0;
  virtual HRESULT EnableModeless(BOOL enable) = 0;
  virtual HRESULT TranslateAccelerator(const winsys::Message* message, WORD id) = 0;

 protected:
  ~IOleInPlaceFrame() = default;
};

struct IOleInPlaceSite : IOleWindow {
  virtual HRESULT CanInPlaceActivate() = 0;
  virtual HRESULT OnInPlaceActivate() = 0;
  virtual HRESULT OnUIActivate() = 0;
  virtual HRESULT GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                   RECT* position, RECT* clip) = 0;
  virtual HRESULT Scroll(SIZEL extent) = 0;
  virtual HRESULT OnUIDeactivate(BOOL undoable) = 0;
  virtual HRESULT OnInPlaceDeactivate() = 0;
  virtual HRESULT DiscardUndoState() = 0;
  virtual HRESULT DeactivateAndUndo() = 0;
  virtual HRESULT OnPosRectChange(const RECT* position) = 0;

 protected:
  ~IOleInPlaceSite() = default;
};

struct IOleInPlaceObject : IOleWindow {
  virtual HRESULT InPlaceDeactivate() = 0;
  virtual HRESULT UIDeactivate() = 0;
  virtual HRESULT SetObjectRects(const RECT* position, const RECT* clip) = 0;

 protected:
  ~IOleInPlaceObject() = default;
};

struct IOleInPlaceActiveObject : IOleWindow {
  // S_OK when the control handled the message.
  virtual HRESULT TranslateAccelerator(const winsys::Message* message) = 0;

 protected:
  ~IOleInPlaceActiveObject() = default;
};

struct DOCHOSTUIINFO {
  ULONG cbSize;
  DWORD dwFlags;
  DWORD dwDoubleClick;
};

struct IDocHostUIHandler : IUnknown {
  // S_OK: the host handled the menu; S_FALSE: the control shows its own.
  virtual HRESULT ShowContextMenu(DWORD id, const POINT* point, IUnknown* reserved, IDispatch* element) = 0;
  virtual HRESULT GetHostInfo(DOCHOSTUIINFO* info) = 0;
  virtual HRESULT GetExternal(IDispatch** external) = 0;
  // S_OK with a new string (CoTaskMemAlloc) in *out, or S_FALSE for the URL unchanged.
  virtual HRESULT TranslateUrl(DWORD translate, LPCOLESTR url, LPOLESTR* out) = 0;

 protected:
  ~IDocHostUIHandler() = default;
};

struct IDocHostShowUI : IUnknown {
  // S_OK: the host showed (or suppressed) the message; S_FALSE: the control shows its own.
  virtual HRESULT ShowMessage(WindowHandle window, LPCOLESTR text, LPCOLESTR caption, DWORD type,
                              LPCOLESTR help_file, DWORD help_context, LONG* result) = 0;
  virtual HRESULT ShowHelp(WindowHandle window, LPCOLESTR help_file, UINT command, DWORD data,
                           POINT mouse, IDispatch* element) = 0;

 protected:
  ~IDocHostShowUI() = default;
};

struct IOleCommandTarget : IUnknown {
  virtual HRESULT QueryStatus(const GUID* group, ULONG count, void* commands, void* text) = 0;
  virtual HRESULT Exec(const GUID* group, DWORD id, DWORD options, VARIANT* in, VARIANT* out) = 0;

 protected:
  ~IOleCommandTarget() = default;
};

struct IServiceProvider : IUnknown {
  virtual HRESULT QueryService(const GUID& service, REFIID iid, void** object) = 0;

 protected:
  ~IServiceProvider() = default;
};

struct IInternetSecurityManager : IUnknown {
  virtual HRESULT SetSecuritySite(IUnknown* site) = 0;
  virtual HRESULT GetSecuritySite(IUnknown** site) = 0;
  virtual HRESULT MapUrlToZone(LPCOLESTR url, DWORD* zone, DWORD flags) = 0;
  virtual HRESULT GetSecurityId(LPCOLESTR url, uint8_t* id, DWORD* size, uintptr_t reserved) = 0;
  virtual HRESULT ProcessUrlAction(LPCOLESTR url, DWORD action, uint8_t* policy, DWORD policy_size,
                                   uint8_t* context, DWORD context_size, DWORD flags, DWORD reserved) = 0;
  virtual HRESULT QueryCustomPolicy(LPCOLESTR url, const GUID& key, uint8_t** policy, DWORD* size,
                                    uint8_t* context, DWORD context_size, DWORD reserved) = 0;
  virtual HRESULT SetZoneMapping(DWORD zone, LPCOLESTR pattern, DWORD flags) = 0;
  virtual HRESULT GetZoneMappings(DWORD zone, void** enumerator, DWORD flags) = 0;

 protected:
  ~IInternetSecurityManager() = default;
};

inline constexpr IID IID_IOleClientSite = {0x00000118, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleObject = {0x00000112, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleWindow = {0x00000114, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleInPlaceUIWindow = {0x00000115, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleInPlaceFrame = {0x00000116, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleInPlaceSite = {0x00000119, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleInPlaceObject = {0x00000113, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleInPlaceActiveObject = {0x00000117, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDocHostUIHandler = {0xBD3F23C0, 0xD43E, 0x11CF, {0x89, 0x3B, 0x00, 0xAA, 0x00, 0xBD, 0xCE, 0x1A}};
inline constexpr IID IID_IDocHostShowUI = {0xC4D244B0, 0xD43E, 0x11CF, {0x89, 0x3B, 0x00, 0xAA, 0x00, 0xBD, 0xCE, 0x1A}};
inline constexpr IID IID_IOleCommandTarget = {0xB722BCCB, 0x4E68, 0x101B, {0xA2, 0xBC, 0x00, 0xAA, 0x00, 0x40, 0x47, 0x70}};
inline constexpr IID IID_IServiceProvider = {0x6D5140C1, 0x7436, 0x11CE, {0x80, 0x34, 0x00, 0xAA, 0x00, 0x60, 0x09, 0xFA}};
inline constexpr IID IID_IInternetSecurityManager = {0x79EAC9EE, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};

// The system's web browser control, the default class of an embedding.
inline constexpr CLSID CLSID_WebBrowser = {0x8856F961, 0x340A, 0x11D0, {0xA9, 0x6B, 0x00, 0xC0, 0x4F, 0xD7, 0x05, 0xA2}};
// The command group of the document host, whose command 40 reports a page's script error.
inline constexpr GUID CGID_DocHostCommandHandler = {0xF38BC242, 0xB950, 0x11D1, {0x89, 0x18, 0x00, 0xC0, 0x4F, 0xC2, 0xC8, 0x36}};
inline constexpr DWORD OLECMDID_SHOWSCRIPTERROR = 40;
// A service the site creates on first request and keeps: this class for this interface.
inline constexpr CLSID CLSID_SiteService = {0xD7B70EE0, 0x4340, 0x11CF, {0xB0, 0x63, 0x00, 0x20, 0xAF, 0xC2, 0xCD, 0x35}};
inline constexpr IID IID_SiteService = {0x9C59509A, 0x39BD, 0x11D1, {0x8C, 0x4A, 0x00, 0xC0, 0x4F, 0xD9, 0x30, 0xC5}};

inline constexpr HRESULT OLECMDERR_E_NOTSUPPORTED = hresult(0x80040100u);
inline constexpr HRESULT INET_E_DEFAULT_ACTION = hresult(0x800C0011u);
inline constexpr DWORD URLZONE_TRUSTED = 2;
inline constexpr uint8_t URLPOLICY_ALLOW = 0;

}  // namespace quevro::com
