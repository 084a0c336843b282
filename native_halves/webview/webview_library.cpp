// The web view library: a browser (WebKitGTK) placed in the client area of a layer window, driven
// through plain C entry points that scripts declare and call. Texts cross the boundary as UTF-16
// (the scripts' "ustring"); results are HRESULT numbers, negative for failure. Every entry point
// is called on the thread that owns the host window, which is the one running GTK.
//
// The library is loaded from memory (a module carries its bytes), so it keeps no path of its
// own and finds the host window's container by name in the process (the display backend's
// quevro_display_client_widget).
#include <dlfcn.h>
#include <webkit2/webkit2.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "automation_abi.h"
#include "host_objects.h"

namespace {

using HRESULT = int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);

// The page side of the channel to the host: window.chrome.webview.postMessage hands any value to
// the host as JSON text. Installed in every document before its own scripts. Host scripts add
// their own members to window.external, which this engine does not have: it starts empty here.
constexpr const char* CHANNEL_SCRIPT = R"JS(
(function () {
  if (!window.external) window.external = {};
  if (window.chrome && window.chrome.webview && window.chrome.webview.postMessage) return;
  var handler = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.quevro;
  window.chrome = window.chrome || {};
  window.chrome.webview = window.chrome.webview || {};
  window.chrome.webview.postMessage = function (value) {
    var text;
    try { text = JSON.stringify(value); } catch (e) { text = undefined; }
    if (text === undefined) text = 'null';
    if (handler) handler.postMessage(text);
  };
})();
)JS";

constexpr const char* CHANNEL_NAME = "quevro";

using MessageCallback = void (*)(const char16_t* json);
using ScriptCallback = void (*)(int32_t error, const char16_t* json);
using NewWindowCallback = void (*)(const char16_t* uri);
using FullScreenCallback = void (*)(int32_t full);

struct Creation {
  void* window;
  const char16_t* user_data_dir;
  const char16_t* language;
  const char16_t* start_arguments;
  const char16_t* compatible_version;
  int32_t extensions;
};

struct WebView {
  GtkWidget* view = nullptr;  // owned by the host's container once created
  WebKitUserContentManager* content = nullptr;
  bool ready = false;
  bool accelerators = true;
  bool context_menus = true;
  bool status_bar = true;
  std::vector<MessageCallback> message_receivers;
  NewWindowCallback new_window = nullptr;
  FullScreenCallback full_screen = nullptr;
  // The page's host objects; they go with the view.
  std::unique_ptr<webview_com::HostObjects> hosts;
};

std::string to_utf8(const char16_t* text) {
  if (!text) return {};
  gchar* s = g_utf16_to_utf8(reinterpret_cast<const gunichar2*>(text), -1, nullptr, nullptr, nullptr);
  std::string r = s ? s : "";
  g_free(s);
  return r;
}

std::u16string to_utf16(const char* text) {
  if (!text) return {};
  glong n = 0;
  gunichar2* s = g_utf8_to_utf16(text, -1, nullptr, &n, nullptr);
  std::u16string r = s ? std::u16string(reinterpret_cast<const char16_t*>(s), static_cast<size_t>(n)) : u"";
  g_free(s);
  return r;
}

using ClientWidgetLookup = void* (*)(void* hwnd);

GtkWidget* host_container(void* hwnd) {
  auto lookup = reinterpret_cast<ClientWidgetLookup>(dlsym(RTLD_DEFAULT, "quevro_display_client_widget"));
  if (!lookup || !hwnd) return nullptr;
  auto* w = static_cast<GtkWidget*>(lookup(hwnd));
  return w && GTK_IS_LAYOUT(w) ? w : nullptr;
}

void on_script_message(WebKitUserContentManager*, WebKitJavascriptResult* result, WebView* wv) {
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  gchar* text = jsc_value_is_string(value) ? jsc_value_to_string(value) : jsc_value_to_json(value, 0);
  std::u16string json = to_utf16(text ? text : "null");
  g_free(text);
  // A receiver may add another one; the copy keeps the walk valid.
  std::vector<MessageCallback> receivers = wv->message_receivers;
  for (MessageCallback cb : receivers) cb(json.c_str());
}

gboolean on_context_menu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*, WebView* wv) {
  return !wv->context_menus;  // TRUE suppresses the menu
}

// The browser's own key bindings (reload, print, find, zoom), as far as WebKit has them.
gboolean on_key_press(GtkWidget*, GdkEventKey* e, WebView* wv) {
  if (wv->accelerators) return FALSE;
  bool ctrl = (e->state & GDK_CONTROL_MASK) != 0;
  switch (e->keyval) {
    case GDK_KEY_F5:
    case GDK_KEY_F12:
      return TRUE;
    case GDK_KEY_r:
    case GDK_KEY_p:
    case GDK_KEY_f:
    case GDK_KEY_plus:
    case GDK_KEY_minus:
    case GDK_KEY_0:
      return ctrl;
    default:
      return FALSE;
  }
}

GtkWidget* on_create(WebKitWebView*, WebKitNavigationAction* action, WebView* wv) {
  if (wv->new_window) {
    WebKitURIRequest* req = webkit_navigation_action_get_request(action);
    std::u16string uri = to_utf16(webkit_uri_request_get_uri(req));
    wv->new_window(uri.c_str());
  }
  return nullptr;  // no second browser window: the host decides where the address goes
}

gboolean on_enter_full_screen(WebKitWebView*, WebView* wv) {
  if (wv->full_screen) wv->full_screen(1);
  return FALSE;
}

gboolean on_leave_full_screen(WebKitWebView*, WebView* wv) {
  if (wv->full_screen) wv->full_screen(0);
  return FALSE;
}

void add_document_script(WebView* wv, const std::string& source) {
  WebKitUserScript* s = webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(wv->content, s);
  webkit_user_script_unref(s);
}

WebKitWebContext* make_context(const Creation* c) {
  std::string dir = to_utf8(c->user_data_dir);
  if (dir.empty()) return nullptr;  // the default context
  std::string cache = dir + "/cache";
  WebKitWebsiteDataManager* data = webkit_website_data_manager_new("base-data-directory", dir.c_str(),
                                                                   "base-cache-directory", cache.c_str(), nullptr);
  WebKitWebContext* ctx = webkit_web_context_new_with_website_data_manager(data);
  g_object_unref(data);
  std::string language = to_utf8(c->language);
  if (!language.empty()) {
    const gchar* languages[] = {language.c_str(), nullptr};
    webkit_web_context_set_preferred_languages(ctx, languages);
  }
  return ctx;
}

struct PendingScript {
  ScriptCallback callback;
};

void on_script_done(GObject* source, GAsyncResult* result, gpointer data) {
  auto* p = static_cast<PendingScript*>(data);
  GError* error = nullptr;
  JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
  if (!value) {
    std::u16string message = to_utf16(error ? error->message : "script failed");
    if (error) g_error_free(error);
    p->callback(E_FAIL, message.c_str());
  } else {
    gchar* json = jsc_value_is_undefined(value) ? nullptr : jsc_value_to_json(value, 0);
    std::u16string text = to_utf16(json ? json : "null");
    g_free(json);
    g_object_unref(value);
    p->callback(S_OK, text.c_str());
  }
  delete p;
}

// Handles given out and not yet destroyed: a stale or made-up handle is refused, never followed.
std::set<WebView*>& live_handles() {
  static auto* s = new std::set<WebView*>;
  return *s;
}

WebView* known(void* handle) {
  auto* wv = static_cast<WebView*>(handle);
  return live_handles().count(wv) ? wv : nullptr;
}

WebView* alive(void* handle) {
  WebView* wv = known(handle);
  return wv && wv->view ? wv : nullptr;
}

// The on/off settings the view's signal handlers read.
HRESULT set_switch(void* handle, bool WebView::*setting, int32_t enabled) {
  WebView* wv = alive(handle);
  if (!wv) return E_POINTER;
  wv->*setting = enabled != 0;
  return S_OK;
}

}  // namespace

#define WEBVIEW_EXPORT extern "C" __attribute__((visibility("default")))

WEBVIEW_EXPORT void* webview_new() {
  auto* wv = new WebView;
  live_handles().insert(wv);
  return wv;
}

WEBVIEW_EXPORT HRESULT webview_create(void* handle, const Creation* c) {
  WebView* wv = known(handle);
  if (!wv || !c) return E_POINTER;
  if (wv->view) return E_FAIL;
  GtkWidget* container = host_container(c->window);
  if (!container) return E_INVALIDARG;
  wv->content = webkit_user_content_manager_new();
  g_signal_connect(wv->content, "script-message-received::quevro", G_CALLBACK(on_script_message), wv);
  webkit_user_content_manager_register_script_message_handler(wv->content, CHANNEL_NAME);
  add_document_script(wv, CHANNEL_SCRIPT);
  WebKitWebContext* ctx = make_context(c);
  wv->view = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", wv->content, "web-context",
                                     ctx ? ctx : webkit_web_context_get_default(), nullptr));
  if (ctx) g_object_unref(ctx);
  g_signal_connect(wv->view, "context-menu", G_CALLBACK(on_context_menu), wv);
  g_signal_connect(wv->view, "key-press-event", G_CALLBACK(on_key_press), wv);
  g_signal_connect(wv->view, "create", G_CALLBACK(on_create), wv);
  g_signal_connect(wv->view, "enter-fullscreen", G_CALLBACK(on_enter_full_screen), wv);
  g_signal_connect(wv->view, "leave-fullscreen", G_CALLBACK(on_leave_full_screen), wv);
  // The container holds the last reference; destroying the host window ends the view with it.
  g_signal_connect(wv->view, "destroy", G_CALLBACK(+[](GtkWidget*, WebView* w) {
                     w->hosts.reset();
                     w->view = nullptr;
                   }), wv);
  wv->hosts = std::make_unique<webview_com::HostObjects>(wv->content, WEBKIT_WEB_VIEW(wv->view));
  gtk_widget_set_size_request(wv->view, gtk_widget_get_allocated_width(container),
                              gtk_widget_get_allocated_height(container));
  gtk_layout_put(GTK_LAYOUT(container), wv->view, 0, 0);
  gtk_widget_show(wv->view);
  wv->ready = true;
  return S_OK;
}

WEBVIEW_EXPORT int32_t webview_ready(void* handle) {
  WebView* wv = alive(handle);
  return wv && wv->ready;
}

WEBVIEW_EXPORT void webview_destroy(void* handle) {
  WebView* wv = known(handle);
  if (!wv) return;
  live_handles().erase(wv);
  wv->hosts.reset();
  if (wv->view) {
    g_signal_handlers_disconnect_by_data(wv->view, wv);
    gtk_widget_destroy(wv->view);
  }
  if (wv->content) {
    g_signal_handlers_disconnect_by_data(wv->content, wv);
    g_object_unref(wv->content);
  }
  delete wv;
}

WEBVIEW_EXPORT HRESULT webview_navigate(void* handle, const char16_t* url) {
  WebView* wv = alive(handle);
  if (!wv) return E_POINTER;
  std::string u = to_utf8(url);
  if (u.empty()) return E_INVALIDARG;
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(wv->view), u.c_str());
  return S_OK;
}

WEBVIEW_EXPORT HRESULT webview_navigateToString(void* handle, const char16_t* html) {
  WebView* wv = alive(handle);
  if (!wv) return E_POINTER;
  webkit_web_view_load_html(WEBKIT_WEB_VIEW(wv->view), to_utf8(html).c_str(), "about:blank");
  return S_OK;
}

// Runs script text in the page; with a callback, the result arrives later as JSON (error 0) or
// as the error's text (a failure code).
WEBVIEW_EXPORT HRESULT webview_do_script(void* handle, const char16_t* script, ScriptCallback callback) {
  WebView* wv = alive(handle);
  if (!wv) return E_POINTER;
  std::string s = to_utf8(script);
  webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(wv->view), s.c_str(), static_cast<gssize>(s.size()), nullptr,
                                      nullptr, nullptr, callback ? on_script_done : nullptr,
                                      callback ? new PendingScript{callback} : nullptr);
  return S_OK;
}

// Script text run in every new top-level document before its own scripts.
WEBVIEW_EXPORT HRESULT webview_init(void* handle, const char16_t* script) {
  WebView* wv = alive(handle);
  if (!wv) return E_POINTER;
  add_document_script(wv, to_utf8(script));
  return S_OK;
}

// Receives what the page posts with window.chrome.webview.postMessage, as JSON text.
WEBVIEW_EXPORT HRESULT webview_bind(void* handle, MessageCallback callback) {
  WebView* wv = alive(handle);
  if (!wv) return E_POINTER;
  if (!callback) return E_INVALIDARG;
  wv->message_receivers.push_back(callback);
  return S_OK;
}

WEBVIEW_EXPORT HRESULT webview_set_size(void* handle, int32_t width, int32_t height) {
  WebView* wv = alive(handle);
  if (!wv) return E_POINTER;
  gtk_widget_set_size_request(wv->view, width > 0 ? width : 0, height > 0 ? height : 0);
  return S_OK;
}

WEBVIEW_EXPORT int32_t webview_getVisible(void* handle) {
  WebView* wv = alive(handle);
  return wv && gtk_widget_get_visible(wv->view);
}

WEBVIEW_EXPORT HRESULT webview_setVisible(void* handle, int32_t visible) {
  WebView* wv = alive(handle);
  if (!wv) return E_POINTER;
  gtk_widget_set_visible(wv->view, visible != 0);
  return S_OK;
}

// WebKit shows no status bar of its own: that setting is only remembered.
WEBVIEW_EXPORT HRESULT webview_setIsStatusBarEnabled(void* handle, int32_t enabled) {
  return set_switch(handle, &WebView::status_bar, enabled);
}

WEBVIEW_EXPORT HRESULT webview_setAreDefaultContextMenusEnabled(void* handle, int32_t enabled) {
  return set_switch(handle, &WebView::context_menus, enabled);
}

WEBVIEW_EXPORT HRESULT webview_setAreBrowserAcceleratorKeysEnabled(void* handle, int32_t enabled) {
  return set_switch(handle, &WebView::accelerators, enabled);
}

WEBVIEW_EXPORT HRESULT webview_setAreDevToolsEnabled(void* handle, int32_t enabled) {
  WebView* wv = alive(handle);
  if (!wv) return E_POINTER;
  webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(WEBKIT_WEB_VIEW(wv->view)), enabled != 0);
  return S_OK;
}

WEBVIEW_EXPORT HRESULT webview_openDevToolsWindow(void* handle) {
  WebView* wv = alive(handle);
  if (!wv) return E_POINTER;
  WebKitSettings* settings = webkit_web_view_get_settings(WEBKIT_WEB_VIEW(wv->view));
  if (!webkit_settings_get_enable_developer_extras(settings)) return E_FAIL;
  webkit_web_inspector_show(webkit_web_view_get_inspector(WEBKIT_WEB_VIEW(wv->view)));
  return S_OK;
}

// 0xAARRGGBB; an alpha of 0 makes the view transparent over its window.
WEBVIEW_EXPORT HRESULT webview_setDefaultBackgroundColor(void* handle, uint32_t argb) {
  WebView* wv = alive(handle);
  if (!wv) return E_POINTER;
  GdkRGBA c{((argb >> 16) & 0xFF) / 255.0, ((argb >> 8) & 0xFF) / 255.0, (argb & 0xFF) / 255.0,
            ((argb >> 24) & 0xFF) / 255.0};
  webkit_web_view_set_background_color(WEBKIT_WEB_VIEW(wv->view), &c);
  return S_OK;
}

// The view follows its GTK parent; nothing is cached that a move of the parent would outdate.
WEBVIEW_EXPORT HRESULT webview_notifyParentWindowPositionChanged(void* handle) {
  return alive(handle) ? S_OK : E_POINTER;
}

WEBVIEW_EXPORT HRESULT webview_addNewWindowRequested(void* handle, NewWindowCallback callback) {
  WebView* wv = alive(handle);
  if (!wv) return E_POINTER;
  wv->new_window = callback;
  return S_OK;
}

WEBVIEW_EXPORT HRESULT webview_addContainsFullScreenElementChanged(void* handle, FullScreenCallback callback) {
  WebView* wv = alive(handle);
  if (!wv) return E_POINTER;
  wv->full_screen = callback;
  return S_OK;
}

// Publishes the automation object a VARIANT holds (VT_DISPATCH, or VT_UNKNOWN answering
// IDispatch) to the page as chrome.webview.hostObjects.<name>. The library keeps its own reference
// until the view goes; the caller still owns the VARIANT.
WEBVIEW_EXPORT HRESULT webview_addHostObjectToScript(void* handle, const char16_t* name, void* variant) {
  namespace wc = webview_com;
  WebView* wv = alive(handle);
  if (!wv || !wv->hosts) return E_POINTER;
  std::string n = to_utf8(name);
  if (n.empty() || !variant) return E_INVALIDARG;
  // Without the host's automation functions no VARIANT can be read or made here.
  if (!wc::automation()) return E_NOTIMPL;
  const auto* v = static_cast<const wc::VARIANT*>(variant);
  if ((v->vt != wc::VT_DISPATCH && v->vt != wc::VT_UNKNOWN) || !v->punkVal) return E_INVALIDARG;
  void* dispatch = nullptr;
  if (wc::failed(v->punkVal->QueryInterface(wc::IID_IDispatch, &dispatch)) || !dispatch) return wc::E_NOINTERFACE;
  auto* object = static_cast<wc::IDispatch*>(dispatch);
  HRESULT hr = wv->hosts->add(n, object);
  object->Release();
  return hr;
}

// WebKit has no DevTools protocol endpoint and no browser extensions of that kind: these report
// E_NOTIMPL, which callers see as a failed call, never as a success.
WEBVIEW_EXPORT HRESULT webview_callDevToolsProtocolMethod(void* handle, const char16_t*, const char16_t*, void*) {
  return alive(handle) ? E_NOTIMPL : E_POINTER;
}

WEBVIEW_EXPORT HRESULT webview_addDevToolsProtocolEventReceivedW(void* handle, const char16_t*, void*) {
  return alive(handle) ? E_NOTIMPL : E_POINTER;
}

WEBVIEW_EXPORT HRESULT webview_removeDevToolsProtocolEventReceivedW(void* handle, const char16_t*) {
  return alive(handle) ? E_NOTIMPL : E_POINTER;
}

WEBVIEW_EXPORT HRESULT webview_loadExtension(void* handle, const char16_t*) {
  return alive(handle) ? E_NOTIMPL : E_POINTER;
}
