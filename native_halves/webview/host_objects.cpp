#include "host_objects.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "page_values.h"

namespace webview_com {
namespace {

constexpr const char* CHANNEL = "quevroHost";

// The page side. chrome.webview.hostObjects.<name> is a proxy: reading a member gives a function
// that calls it (a promise of the result) and that is itself a thenable reading the member as a
// property (`await obj.value`); assigning a member writes the property. Answers arrive through
// chrome.webview.$quevroHost.answer(id, ok, value).
constexpr const char* PAGE_SCRIPT = R"JS(
(function (name) {
  var w = window;
  w.chrome = w.chrome || {};
  var wv = w.chrome.webview = w.chrome.webview || {};
  var bridge = wv.$quevroHost;
  if (!bridge) {
    var calls = new Map(), next = 1, objects = {};
    var handler = w.webkit && w.webkit.messageHandlers && w.webkit.messageHandlers.quevroHost;
    var request = function (object, kind, member, args) {
      return new Promise(function (resolve, reject) {
        var id = next++;
        calls.set(id, {resolve: resolve, reject: reject});
        try {
          handler.postMessage({id: id, object: object, kind: kind, member: member, args: args});
        } catch (e) {
          calls.delete(id);
          reject(e);
        }
      });
    };
    var proxyFor = function (object) {
      return new Proxy({}, {
        get: function (target, member) {
          if (typeof member !== "string" || member === "then") return undefined;
          var f = function () { return request(object, "call", member, Array.prototype.slice.call(arguments)); };
          f.then = function (ok, fail) { return request(object, "get", member, []).then(ok, fail); };
          return f;
        },
        set: function (target, member, value) {
          if (typeof member === "string") request(object, "put", member, [value]).catch(function () {});
          return true;
        }
      });
    };
    bridge = {
      answer: function (id, ok, value) {
        var c = calls.get(id);
        if (!c) return;
        calls.delete(id);
        if (ok) c.resolve(value); else c.reject(new Error(value));
      },
      add: function (name) { if (!Object.prototype.hasOwnProperty.call(objects, name)) objects[name] = proxyFor(name); }
    };
    Object.defineProperty(wv, "$quevroHost", {value: bridge});
    Object.defineProperty(wv, "hostObjects", {value: objects, enumerable: true});
  }
  bridge.add(name);
})
)JS";

// Tables alive, by serial number: a call queued before its table went is dropped, never run.
std::map<uint64_t, HostObjects*>& live_tables() {
  static auto* m = new std::map<uint64_t, HostObjects*>;
  return *m;
}

uint64_t next_serial() {
  static uint64_t serial = 0;
  return ++serial;
}

HostObjects* live_table(uint64_t serial) {
  auto found = live_tables().find(serial);
  return found == live_tables().end() ? nullptr : found->second;
}

std::string to_utf8(const char16_t* text, size_t length) {
  gchar* s = g_utf16_to_utf8(reinterpret_cast<const gunichar2*>(text), static_cast<glong>(length), nullptr, nullptr,
                             nullptr);
  std::string r = s ? s : "";
  g_free(s);
  return r;
}

std::string error_text(HRESULT hr) {
  char buffer[512];
  automation()->error_text(hr, buffer, sizeof buffer);
  return buffer;
}

// What a failed Invoke tells the page: an automation exception's description (or its codes'
// texts), otherwise the code's text.
std::string failure_text(HRESULT hr, EXCEPINFO* e) {
  if (hr == DISP_E_EXCEPTION) {
    if (e->pfnDeferredFillIn) {
      auto fill = e->pfnDeferredFillIn;
      e->pfnDeferredFillIn = nullptr;
      fill(e);
    }
    if (e->bstrDescription && automation()->string_length(e->bstrDescription) > 0)
      return to_utf8(e->bstrDescription, automation()->string_length(e->bstrDescription));
    if (e->wCode) return error_text(static_cast<HRESULT>(0x80040000u + e->wCode));
    if (e->scode) return error_text(e->scode);
    return "Unknown exception";
  }
  return error_text(hr);
}

std::string member_string(JSCValue* message, const char* field) {
  JSCValue* v = jsc_value_object_get_property(message, field);
  std::string r;
  if (v && jsc_value_is_string(v)) {
    gchar* s = jsc_value_to_string(v);
    r = s ? s : "";
    g_free(s);
  }
  if (v) g_object_unref(v);
  return r;
}

}  // namespace

struct HostObjects::Call {
  uint64_t table;
  double id;
  std::string object;
  std::string kind;
  std::string member;
  std::vector<VARIANT> args;  // in the page's order

  ~Call() {
    for (VARIANT& v : args) automation()->variant_clear(&v);
  }
};

HostObjects::HostObjects(WebKitUserContentManager* content, WebKitWebView* view)
    : serial_(next_serial()), content_(content), view_(view) {
  g_signal_connect(content_, "script-message-received::quevroHost", G_CALLBACK(on_message), this);
  webkit_user_content_manager_register_script_message_handler(content_, CHANNEL);
  live_tables().emplace(serial_, this);
}

HostObjects::~HostObjects() {
  live_tables().erase(serial_);
  g_signal_handlers_disconnect_by_data(content_, this);
  for (auto& entry : objects_) entry.second->Release();
}

std::string HostObjects::page_script(const std::string& name) {
  return std::string(PAGE_SCRIPT) + "(" + string_literal(name) + ");";
}

HRESULT HostObjects::add(const std::string& name, IDispatch* object) {
  object->AddRef();
  auto found = objects_.find(name);
  if (found != objects_.end()) {
    found->second->Release();
    found->second = object;
  } else {
    objects_.emplace(name, object);
    std::string source = page_script(name);
    WebKitUserScript* s = webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                 WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(content_, s);
    webkit_user_script_unref(s);
    webkit_web_view_evaluate_javascript(view_, source.c_str(), static_cast<gssize>(source.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
  }
  return S_OK;
}

void HostObjects::answer(double id, bool ok, const std::string& value) {
  char number[32];
  std::snprintf(number, sizeof number, "%.17g", id);
  std::string script = "window.chrome && window.chrome.webview && window.chrome.webview.$quevroHost && "
                       "window.chrome.webview.$quevroHost.answer(" +
                       std::string(number) + (ok ? ",true," : ",false,") + value + ")";
  webkit_web_view_evaluate_javascript(view_, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                      nullptr, nullptr, nullptr);
}

// A message from the page: checked and converted here, run later from the loop (the page's
// call is asynchronous, and the object's code may run loops of its own or end the view).
void HostObjects::on_message(WebKitUserContentManager*, WebKitJavascriptResult* result, HostObjects* self) {
  JSCValue* message = webkit_javascript_result_get_js_value(result);
  if (!jsc_value_is_object(message)) return;
  JSCValue* id_value = jsc_value_object_get_property(message, "id");
  bool has_id = id_value && jsc_value_is_number(id_value);
  double id = has_id ? jsc_value_to_double(id_value) : 0;
  if (id_value) g_object_unref(id_value);
  // Without a usable identifier nobody waits for an answer: nothing to do.
  if (!has_id || !std::isfinite(id)) return;
  auto* call = new Call{self->serial_, id, member_string(message, "object"), member_string(message, "kind"),
                        member_string(message, "member"), {}};
  std::string problem;
  if (call->kind != "call" && call->kind != "get" && call->kind != "put") problem = "an unknown kind of request";
  else if (call->member.empty()) problem = "a request without a member name";
  JSCValue* args = problem.empty() ? jsc_value_object_get_property(message, "args") : nullptr;
  if (args && jsc_value_is_array(args)) {
    JSCValue* length_value = jsc_value_object_get_property(args, "length");
    double length = jsc_value_to_double(length_value);
    g_object_unref(length_value);
    if (!(length >= 0 && length <= 65536)) problem = "too many arguments";
    for (guint i = 0; problem.empty() && i < static_cast<guint>(length); ++i) {
      JSCValue* item = jsc_value_object_get_property_at_index(args, i);
      VARIANT v{};
      if (page_value_to_variant(item, &v, &problem)) call->args.push_back(v);
      else problem = "argument " + std::to_string(i + 1) + ": " + problem;
      g_object_unref(item);
    }
  } else if (problem.empty()) {
    problem = "a request without an argument list";
  }
  if (args) g_object_unref(args);
  if (!problem.empty()) {
    self->answer(id, false, string_literal(problem));
    delete call;
    return;
  }
  g_idle_add(run_call, call);
}

gboolean HostObjects::run_call(gpointer data) {
  auto* call = static_cast<Call*>(data);
  HostObjects* self = live_table(call->table);
  if (!self) {
    delete call;
    return G_SOURCE_REMOVE;
  }
  auto found = self->objects_.find(call->object);
  if (found == self->objects_.end()) {
    self->answer(call->id, false, string_literal("no host object named " + call->object));
    delete call;
    return G_SOURCE_REMOVE;
  }
  // The object's code may replace it or end the view: the call keeps its own reference.
  IDispatch* object = found->second;
  object->AddRef();
  glong units = 0;
  gunichar2* wide = g_utf8_to_utf16(call->member.c_str(), -1, nullptr, &units, nullptr);
  LPOLESTR names[1] = {reinterpret_cast<LPOLESTR>(wide)};
  DISPID id = -1;
  HRESULT hr = wide ? object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id) : E_INVALIDARG;
  g_free(wide);
  VARIANT result{};
  EXCEPINFO exception{};
  if (!failed(hr)) {
    // Arguments travel last first.
    std::vector<VARIANT> reversed(call->args.rbegin(), call->args.rend());
    DISPID put_id = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    WORD flags = DISPATCH_METHOD;
    if (call->kind == "get") flags = DISPATCH_PROPERTYGET;
    if (call->kind == "put") {
      flags = DISPATCH_PROPERTYPUT;
      params.rgdispidNamedArgs = &put_id;
      params.cNamedArgs = 1;
    }
    UINT argument_error = 0;
    hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, &exception, &argument_error);
  }
  // The object's code may have ended the view meanwhile: then nobody is left to answer.
  if (live_table(call->table) == self) {
    if (failed(hr)) {
      self->answer(call->id, false, string_literal(failure_text(hr, &exception)));
    } else {
      std::string value, problem;
      if (variant_to_script(&result, &value, &problem)) self->answer(call->id, true, value);
      else self->answer(call->id, false, string_literal("the result cannot be sent to the page: " + problem));
    }
  }
  automation()->free_string(exception.bstrSource);
  automation()->free_string(exception.bstrDescription);
  automation()->free_string(exception.bstrHelpFile);
  automation()->variant_clear(&result);
  object->Release();
  delete call;
  return G_SOURCE_REMOVE;
}

}  // namespace webview_com
