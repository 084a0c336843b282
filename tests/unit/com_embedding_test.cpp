// Controls embedded in a window of the window-system layer (headless): a test control
// registered for the length of each test is created by com.CreateEmbed, activated in place in
// the form's window, driven through its "ole.host" object, and calls back through its
// container site, whose answers come from the script's callback table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "com/class_registry.h"
#include "com/container_site.h"
#include "com/dispatch_params.h"
#include "com/ole_interfaces.h"
#include "com/state_link.h"
#include "com_script_run.h"
#include "compiler/chunk_entry.h"
#include "host/startup.h"
#include "runtime/window_system.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/collector.h"

namespace quevro::test {
namespace {

using namespace quevro::com;

constexpr CLSID CONTROL_CLSID = {0x0C7A1E55, 0x4B1D, 0x4E2F, {0xA0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x78}};

// What the test controls saw; the live count checks that every control was released.
struct ControlLog {
  std::vector<std::string> calls;
  IOleClientSite* site = nullptr;  // the last site given, one reference
  int live = 0;
};
ControlLog control_log;

std::string rect_text(const RECT* r) {
  return r ? std::to_string(r->left) + "," + std::to_string(r->top) + "," + std::to_string(r->right) + "," +
                 std::to_string(r->bottom)
           : "null";
}

class TestControl final : public IOleObject, public IOleInPlaceObject, public IOleInPlaceActiveObject, public IDispatch {
 public:
  TestControl() { ++control_log.live; }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IOleObject) *object = static_cast<IOleObject*>(this);
    else if (iid == IID_IOleInPlaceObject) *object = static_cast<IOleInPlaceObject*>(this);
    else if (iid == IID_IOleInPlaceActiveObject) *object = static_cast<IOleInPlaceActiveObject*>(this);
    else if (iid == IID_IDispatch) *object = static_cast<IDispatch*>(this);
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) {
      --control_log.live;
      delete this;
    }
    return left;
  }

  HRESULT SetClientSite(IOleClientSite* site) override {
    control_log.calls.push_back(site ? "SetClientSite" : "SetClientSite(null)");
    if (site) {
      site->AddRef();
      if (control_log.site) control_log.site->Release();
      control_log.site = site;
    }
    return S_OK;
  }
  HRESULT GetClientSite(IOleClientSite** site) override {
    *site = control_log.site;
    if (*site) (*site)->AddRef();
    return S_OK;
  }
  HRESULT SetHostNames(LPCOLESTR app, LPCOLESTR) override {
    control_log.calls.push_back("SetHostNames " + utf8_from_wide(app));
    return S_OK;
  }
  HRESULT Close(DWORD) override {
    control_log.calls.push_back("Close");
    return S_OK;
  }
  HRESULT DoVerb(LONG verb, const winsys::Message*, IOleClientSite* site, LONG index, WindowHandle parent,
                 const RECT* position) override {
    control_log.calls.push_back("DoVerb " + std::to_string(verb) + " " + std::to_string(index) +
                                (site ? " site" : " nosite") + (parent ? " window " : " nowindow ") +
                                rect_text(position));
    return verb == 99 ? E_INVALIDARG : S_OK;
  }
  HRESULT SetExtent(DWORD aspect, SIZEL* size) override {
    control_log.calls.push_back("SetExtent " + std::to_string(aspect) + " " + std::to_string(size->cx) + "x" +
                                std::to_string(size->cy));
    return S_OK;
  }
  HRESULT GetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }

  HRESULT GetWindow(WindowHandle*) override { return E_NOTIMPL; }
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT InPlaceDeactivate() override { return S_OK; }
  HRESULT UIDeactivate() override { return S_OK; }
  HRESULT SetObjectRects(const RECT* position, const RECT* clip) override {
    control_log.calls.push_back("SetObjectRects " + rect_text(position) + " " + rect_text(clip));
    return S_OK;
  }
  HRESULT TranslateAccelerator(const winsys::Message* message) override {
    control_log.calls.push_back("TranslateAccelerator " + std::to_string(message->message));
    return message->message == 0x100 ? S_OK : S_FALSE;
  }

  // IDispatch: one method, Ping(), answering "pong".
  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    if (utf8_from_wide(names[0]) != "Ping") return DISP_E_UNKNOWNNAME;
    ids[0] = 1;
    return S_OK;
  }
  HRESULT Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
    if (member != 1 || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocString(u"pong");
    return S_OK;
  }

 private:
  ULONG references_ = 1;
};

intptr_t ignore_messages(WindowHandle, uint32_t, uintptr_t, intptr_t, void*) { return 0; }

class Embedding : public ::testing::Test {
 protected:
  VmState* L = nullptr;
  WindowHandle window = nullptr;

  void SetUp() override {
    control_log = ControlLog{};
    ASSERT_EQ(register_class(CONTROL_CLSID, "Quevro.TestControl.1", "Quevro.TestControl",
                             [](REFIID iid, void** object) {
                               auto* made = new TestControl();
                               HRESULT hr = made->QueryInterface(iid, object);
                               static_cast<IOleObject*>(made)->Release();
                               return hr;
                             }),
              S_OK);
    window = winsys::create_window(ignore_messages, nullptr);
    ASSERT_NE(window, nullptr);
    L = create_main_state();
    ASSERT_NE(L, nullptr);
    push_pointer(L, window);
    set_field(L, GLOBALS_INDEX, "HWND");
  }

  void TearDown() override {
    if (L) close_state(L);
    if (control_log.site) control_log.site->Release();
    control_log.site = nullptr;
    winsys::destroy_window(window);
    unregister_class(CONTROL_CLSID);
    EXPECT_EQ(control_log.live, 0);
    EXPECT_EQ(live_link_holders(), 0);
  }

  std::string run(const std::string& code) { return run_script(L, code); }

  template <class T>
  ComRef<T> site_as(const IID& iid) {
    ComRef<T> out;
    EXPECT_NE(control_log.site, nullptr);
    if (control_log.site) control_log.site->QueryInterface(iid, out.put_void());
    return out;
  }

  static constexpr const char* FORM =
      "form = {hwnd = HWND; width = 100; height = 50; "
      "getClientRect = function() { return {left = 0; top = 0; right = owner.width; bottom = owner.height} }}; ";
};

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(Embedding, TheBrowserControlIsNotRegisteredYet) {
  std::string failure = run(std::string(FORM) + "com.CreateEmbed(form, {})");
  EXPECT_TRUE(ends_with(failure, "COM error\n" + std::string(hresult_message(REGDB_E_CLASSNOTREG)) + "(0x80040154)"))
      << failure;
  EXPECT_TRUE(ends_with(run(std::string(FORM) + "com.CreateEmbed(form, {}, 'No.Such.Control')"), "Invalid ProgID!"));
  EXPECT_TRUE(ends_with(run(std::string(FORM) + "com.CreateEmbed(form, {}, '/')"), "Invalid ProgID!"));
  EXPECT_TRUE(control_log.calls.empty());
}

TEST_F(Embedding, ControlsAreSitedNamedAndActivatedInPlace) {
  EXPECT_EQ(run(std::string(FORM) +
                "var c = com.CreateEmbed(form, {}, 'Quevro.TestControl'); "
                "return c.Ping(), c._form === form, c._object === c, type(c._host)"),
            "pong|true|true|cdata|ole.host");
  ASSERT_GE(control_log.calls.size(), 4u);
  EXPECT_EQ(control_log.calls[0], "SetClientSite");
  EXPECT_EQ(control_log.calls[1], "SetHostNames Quevro Ole");
  EXPECT_EQ(control_log.calls[2], "DoVerb -5 0 site window 0,0,100,50");
  EXPECT_EQ(control_log.calls[3], "DoVerb -1 -1 site window 0,0,100,50");
  // The site reports the form's window and rectangle.
  ComRef<IOleInPlaceSite> in_place = site_as<IOleInPlaceSite>(IID_IOleInPlaceSite);
  ASSERT_TRUE(in_place);
  WindowHandle got = nullptr;
  EXPECT_EQ(in_place->GetWindow(&got), S_OK);
  EXPECT_EQ(got, window);
  ComRef<IOleInPlaceFrame> frame;
  RECT position, clip;
  ASSERT_EQ(in_place->GetWindowContext(frame.put(), nullptr, &position, &clip), S_OK);
  EXPECT_EQ(rect_text(&position), "0,0,100,50");
  EXPECT_EQ(in_place->CanInPlaceActivate(), S_OK);
  EXPECT_EQ(frame->SetStatusText(u"x"), S_OK);
  EXPECT_EQ(frame->InsertMenus(nullptr, nullptr), E_NOTIMPL);
}

TEST_F(Embedding, TheHostAdjustsReverbsTranslatesAndCloses) {
  run(std::string(FORM) + "ctl = com.CreateEmbed(form, {}, 'Quevro.TestControl')");
  control_log.calls.clear();
  EXPECT_EQ(run("form.width = 200; ctl._host.adjust(); return ctl._host.doObjectVerb(-1), ctl._host.doObjectVerb(99)"),
            "true|false");
  ASSERT_EQ(control_log.calls.size(), 4u);
  // 200 x 50 pixels in hundredths of a millimetre, rounded half up.
  EXPECT_EQ(control_log.calls[0], "SetExtent 1 5292x1323");
  EXPECT_EQ(control_log.calls[1], "SetObjectRects 0,0,200,50 0,0,200,50");
  EXPECT_EQ(control_log.calls[2], "DoVerb -1 0 site window 0,0,200,50");
  control_log.calls.clear();
  EXPECT_EQ(run("return ctl._host.tranacc({_struct = 'addr hwnd;INT message;ADDR wParam;addr lParam;INT time;int x;int y'; message = 0x100}), "
                "ctl._host.tranacc({_struct = 'MSG'; message = 0x101})"),
            "true|false");
  EXPECT_EQ(control_log.calls.size(), 2u);
  EXPECT_TRUE(ends_with(run("ctl._host.tranacc({message = 0x100})"), "\n{Expected}: ::MSG struct "));
  control_log.calls.clear();
  run("ctl._host.close()");
  EXPECT_EQ(control_log.calls, (std::vector<std::string>{"Close", "SetClientSite(null)"}));
  std::string closed = run("ctl._host.adjust()");
  EXPECT_NE(closed.find("use a closed object"), std::string::npos) << closed;
  // The control kept the site: it is cut from the window and the callbacks now.
  ComRef<IOleWindow> site_window = site_as<IOleWindow>(IID_IOleWindow);
  WindowHandle got = window;
  EXPECT_EQ(site_window->GetWindow(&got), E_FAIL);
  EXPECT_EQ(got, nullptr);
  // The script's last view of the control goes with the collection.
  run("ctl = null");
  gc_control(L, GC_COLLECT, 0);
  EXPECT_EQ(control_log.live, 0);
}

TEST_F(Embedding, TheCallbackTableAnswersTheBrowserSite) {
  run(std::string(FORM) +
      "calls = {}; "
      "ctl = com.CreateEmbed(form, {"
      " showMenu = function(x, y, id) { table.push(calls, 'menu ' ++ x ++ ',' ++ y ++ ',' ++ id); return false };"
      " _hostflag = 0x40000;"
      " external = {add = function(a, b) { return a + b }};"
      " translate = function(url) { if string.startsWith(url, 'app:') { return 'http://127.0.0.1/' ++ string.slice(url, 5) } };"
      " showMsg = function(text, caption) { table.push(calls, caption ++ ': ' ++ text); return true };"
      " noScriptErr = function() { return true };"
      " securityTrusted = true}, 'Quevro.TestControl')");
  ComRef<IDocHostUIHandler> ui = site_as<IDocHostUIHandler>(IID_IDocHostUIHandler);
  ASSERT_TRUE(ui);
  POINT at{3, 4};
  EXPECT_EQ(ui->ShowContextMenu(7, &at, nullptr, nullptr), S_OK);
  DOCHOSTUIINFO info{};
  ASSERT_EQ(ui->GetHostInfo(&info), S_OK);
  EXPECT_EQ(info.cbSize, 20u);
  EXPECT_EQ(info.dwFlags, 0x40000u);

  ComRef<IDispatch> external;
  ASSERT_EQ(ui->GetExternal(external.put()), S_OK);
  LPOLESTR names[1] = {const_cast<LPOLESTR>(u"add")};
  DISPID add;
  ASSERT_EQ(external->GetIDsOfNames(IID_NULL, names, 1, 0, &add), S_OK);
  VARIANT args[2];
  args[0].vt = VT_I4;
  args[0].lVal = 2;
  args[1].vt = VT_I4;
  args[1].lVal = 40;
  DISPPARAMS params{args, nullptr, 2, 0};
  VARIANT sum;
  ASSERT_EQ(external->Invoke(add, IID_NULL, 0, DISPATCH_METHOD, &params, &sum, nullptr, nullptr), S_OK);
  EXPECT_EQ(sum.lVal, 42);

  LPOLESTR translated = nullptr;
  ASSERT_EQ(ui->TranslateUrl(0, u"app:index.html", &translated), S_OK);
  EXPECT_EQ(utf8_from_wide(translated), "http://127.0.0.1/index.html");
  CoTaskMemFree(translated);
  EXPECT_EQ(ui->TranslateUrl(0, u"http://x/", &translated), S_FALSE);
  EXPECT_EQ(translated, nullptr);

  ComRef<IDocHostShowUI> show = site_as<IDocHostShowUI>(IID_IDocHostShowUI);
  LONG answer = 0;
  EXPECT_EQ(show->ShowMessage(window, u"sure?", u"page", 0, nullptr, 0, &answer), S_OK);
  EXPECT_EQ(show->ShowHelp(window, nullptr, 0, 0, POINT{0, 0}, nullptr), S_FALSE);
  EXPECT_EQ(run("return calls[1], calls[2]"), "menu 3,4,7|page: sure?");

  ComRef<IOleCommandTarget> commands = site_as<IOleCommandTarget>(IID_IOleCommandTarget);
  VARIANT go_on;
  VariantInit(&go_on);
  EXPECT_EQ(commands->Exec(&CGID_DocHostCommandHandler, OLECMDID_SHOWSCRIPTERROR, 0, nullptr, &go_on), S_OK);
  EXPECT_EQ(go_on.vt, VT_BOOL);
  EXPECT_EQ(commands->Exec(&CGID_DocHostCommandHandler, 41, 0, nullptr, nullptr), OLECMDERR_E_NOTSUPPORTED);

  ComRef<IServiceProvider> services = site_as<IServiceProvider>(IID_IServiceProvider);
  ComRef<IInternetSecurityManager> security;
  ASSERT_EQ(services->QueryService(IID_IInternetSecurityManager, IID_IInternetSecurityManager, security.put_void()), S_OK);
  DWORD zone = 0;
  EXPECT_EQ(security->MapUrlToZone(u"http://127.0.0.1/", &zone, 0), S_OK);
  EXPECT_EQ(zone, URLZONE_TRUSTED);
  uint8_t policy[4] = {9, 9, 9, 9};
  EXPECT_EQ(security->ProcessUrlAction(u"x", 0x1400, policy, 4, nullptr, 0, 0, 0), S_OK);
  EXPECT_EQ(policy[0], URLPOLICY_ALLOW);
  EXPECT_EQ(security->ProcessUrlAction(u"x", 0x1400, policy, 2, nullptr, 0, 0, 0), S_FALSE);
  EXPECT_EQ(security->GetSecuritySite(nullptr), INET_E_DEFAULT_ACTION);
  ComRef<IUnknown> other;
  EXPECT_EQ(services->QueryService(IID_IOleObject, IID_IUnknown, other.put_void()), E_NOINTERFACE);
  // The kept service's class is not registered here either.
  EXPECT_EQ(services->QueryService(IID_SiteService, IID_SiteService, other.put_void()), REGDB_E_CLASSNOTREG);
}

TEST_F(Embedding, WithoutAnswersTheControlKeepsItsDefaults) {
  run(std::string(FORM) +
      "ctl = com.CreateEmbed(form, {showMenu = function() { return true }; showMsg = function() { error('broken') }},"
      " 'Quevro.TestControl')");
  ComRef<IDocHostUIHandler> ui = site_as<IDocHostUIHandler>(IID_IDocHostUIHandler);
  POINT at{0, 0};
  EXPECT_EQ(ui->ShowContextMenu(0, &at, nullptr, nullptr), S_FALSE);
  ComRef<IDispatch> external;
  EXPECT_EQ(ui->GetExternal(external.put()), S_FALSE);
  ComRef<IDocHostShowUI> show = site_as<IDocHostShowUI>(IID_IDocHostShowUI);
  EXPECT_EQ(show->ShowMessage(window, u"x", u"y", 0, nullptr, 0, nullptr), S_FALSE);
  ComRef<IOleCommandTarget> commands = site_as<IOleCommandTarget>(IID_IOleCommandTarget);
  EXPECT_EQ(commands->Exec(&CGID_DocHostCommandHandler, OLECMDID_SHOWSCRIPTERROR, 0, nullptr, nullptr),
            OLECMDERR_E_NOTSUPPORTED);
  // Not trusted: no security manager.
  ComRef<IServiceProvider> services = site_as<IServiceProvider>(IID_IServiceProvider);
  ComRef<IUnknown> security;
  EXPECT_EQ(services->QueryService(IID_IInternetSecurityManager, IID_IInternetSecurityManager, security.put_void()),
            E_NOINTERFACE);
}

TEST_F(Embedding, AnExistingObjectIsEmbeddedAndDoObjectVerbReachesIt) {
  EXPECT_EQ(run(std::string(FORM) +
                "var o = com.CreateObject('Quevro.TestControl'); var c = com.CreateEmbed(form, {}, o, 2); "
                "return c.Ping(), com.DoObjectVerb(o, 0), com.DoObjectVerb(o, 99)"),
            "pong|true|false");
  EXPECT_EQ(control_log.calls[0], "SetClientSite");
  EXPECT_EQ(control_log.calls.back(), "DoVerb 99 0 site nowindow null");
  std::string failure = run(std::string(FORM) + "com.CreateEmbed(form, {}, com.ImplInterface({}))");
  EXPECT_TRUE(ends_with(failure, "(0x80004002)")) << failure;
}

}  // namespace
}  // namespace quevro::test
