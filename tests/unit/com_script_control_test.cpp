// Script-implemented controls: com.NewControl makes a typed script object for a class that
// com.CreateEmbed embeds in a window of the window-system layer (headless). The control
// activates in place in the form's window with a window of its own, tells its script of
// activation, rectangles, keys, drawing and window messages, parks its window while inactive,
// and lets go of everything (its window and the parking window included) with its last
// reference.
#include <gtest/gtest.h>

#include <string>

#include "com/container_site.h"
#include "com/ole_interfaces.h"
#include "com/script_control.h"
#include "com/state_link.h"
#include "com_script_run.h"
#include "host/startup.h"
#include "runtime/window_system.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/collector.h"

namespace quevro::test {
namespace {

using namespace quevro::com;

intptr_t ignore_messages(WindowHandle, uint32_t, uintptr_t, intptr_t, void*) { return 0; }

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class ScriptControl : public ::testing::Test {
 protected:
  VmState* L = nullptr;
  WindowHandle window = nullptr;

  void SetUp() override {
    window = winsys::create_window(ignore_messages, nullptr);
    ASSERT_NE(window, nullptr);
    L = create_main_state();
    ASSERT_NE(L, nullptr);
    push_pointer(L, window);
    set_field(L, GLOBALS_INDEX, "HWND");
    ASSERT_EQ(run(SETUP), "");
  }

  void TearDown() override {
    if (L) close_state(L);
    winsys::destroy_window(window);
    // The last control is gone: its window went, and the parking window with it.
    EXPECT_EQ(parking_window(), nullptr);
    EXPECT_EQ(live_link_holders(), 0);
  }

  std::string run(const std::string& code) { return run_script(L, code); }

  void collect() {
    gc_control(L, GC_COLLECT, 0);
    gc_control(L, GC_COLLECT, 0);
  }

  static constexpr const char* SETUP =
      "lib = com.LoadTypeLibrary({name = 'Gauges'; types = {"
      " {name = 'IGauge'; members = {{name = 'Level'; kind = 'get'; result = 'int'},"
      "   {name = 'Level'; kind = 'put'; params = {{name = 'value'; type = 'int'}}},"
      "   {name = 'Describe'; result = 'string'}}},"
      " {name = 'IGaugeEvents'; members = {{name = 'Moved'; params = {{name = 'to'}}}}},"
      " {name = 'Gauge'; kind = 'coclass'; implements = {{name = 'IGauge'; default = true},"
      "   {name = 'IGaugeEvents'; source = true; default = true}}}}}); "
      "log = {}; "
      "impl = {Level = 3;"
      " Describe = function() { return 'level ' ++ owner.Level };"
      " onInPlaceActivate = function(w, parent, l, t, r, b) {"
      "   owner.window = w; table.push(log, 'activate ' ++ (parent == HWND && 'in form' || 'elsewhere') ++ ' ' ++ l ++ ',' ++ t ++ ',' ++ r ++ ',' ++ b) };"
      " onRectChange = function(l, t, r, b) { table.push(log, 'rect ' ++ l ++ ',' ++ t ++ ',' ++ r ++ ',' ++ b) };"
      " onInPlaceDeactivate = function() { table.push(log, 'deactivate') };"
      " onAccelerator = function(m, w, l) { table.push(log, 'key ' ++ m ++ ' ' ++ w); return w == 13 };"
      " onDraw = function(l, t, r, b) { table.push(log, 'draw ' ++ r ++ 'x' ++ b) };"
      " onMessage = function(m, w, l) { table.push(log, 'message ' ++ m ++ ' ' ++ w ++ ' ' ++ l); return 7 }}; "
      "form = {hwnd = HWND; width = 120; height = 40; "
      " getClientRect = function() { return {left = 0; top = 0; right = owner.width; bottom = owner.height} }}; "
      "function logged() { var s = table.concat(log, '; '); log = {}; return s }";
};

TEST_F(ScriptControl, IsATypedObjectOfItsClassWithEvents) {
  EXPECT_EQ(run("ctl = com.NewControl(impl, lib, 'Gauge'); ctl.Level = 5; "
                "return ctl.Describe(), impl.Level, type(impl.Level)"),
            "level 5|5|number");
  EXPECT_EQ(run("moves = {}; com.Connect(ctl, {Moved = function(to) { table.push(moves, to) }}); "
                "com.FireEvent(ctl, 'Moved', 9); return moves[1]"),
            "9");
  // Not embedded yet: no window, nothing parked, and verbs need a site.
  EXPECT_EQ(parking_window(), nullptr);
  EXPECT_EQ(run("return com.DoObjectVerb(ctl, -5), com.DoObjectVerb(ctl, 99)"), "false|false");
  EXPECT_EQ(run("return logged()"), "");
  EXPECT_EQ(run("com.NewControl(1, lib, 'Gauge')"), "error: Implementation must be a table object or a cdata");
  EXPECT_TRUE(ends_with(run("com.NewControl({}, lib, 'IGauge')"), "Could not get ccoclass typeinfo."));
  EXPECT_TRUE(ends_with(run("com.NewControl({}, lib, 'Dial')"), "CoClass not found in type library."));
  run("ctl = null");
  collect();
}

TEST_F(ScriptControl, EmbedsActivatesInPlaceAndReleasesEverything) {
  EXPECT_EQ(run("ctl = com.NewControl(impl, lib, 'Gauge'); host = com.CreateEmbed(form, {}, ctl); "
                "return host.Describe(), host._object === host, logged()"),
            "level 3|true|activate in form 0,0,120,40");
  // The control's own window, distinct from the form's, while the parking window waits.
  WindowHandle parked = parking_window();
  ASSERT_NE(parked, nullptr);
  char name[64] = {};
  EXPECT_EQ(winsys::send_message(parked, 0x000D, sizeof name, reinterpret_cast<intptr_t>(name)), 20);
  EXPECT_STREQ(name, "CtlFrameWork_Parking");
  get_field(L, GLOBALS_INDEX, "impl");
  get_field(L, -1, "window");
  ASSERT_EQ(type_of(L, -1), TAG_POINTER);
  WindowHandle own = stack_address(L, -1)->u.p;
  pop(L, 2);
  EXPECT_NE(own, window);
  EXPECT_NE(own, parked);
  EXPECT_TRUE(winsys::is_window(own));

  // The container resizes it, hands it keys, and its window's messages reach the script.
  EXPECT_EQ(run("form.width = 200; host._host.adjust(); return logged()"), "rect 0,0,200,40");
  EXPECT_EQ(run("return host._host.tranacc({_struct = 'MSG'; message = 0x100; wParam = 13}), "
                "host._host.tranacc({_struct = 'MSG'; message = 0x100; wParam = 65}), logged()"),
            "true|false|key 256 13; key 256 65");
  EXPECT_EQ(winsys::send_message(own, 0x0401, 2, 3), 7);
  EXPECT_EQ(run("return logged()"), "message 1025 2 3");

  // Hidden it parks; shown again it is back in the form.
  EXPECT_EQ(run("return com.DoObjectVerb(host, -3), com.DoObjectVerb(host, -5), com.DoObjectVerb(host, 42), logged()"),
            "true|true|false|deactivate; activate in form 0,0,200,40");

  // Closing lets go of the site; the control stays alive while the script holds it.
  EXPECT_EQ(run("host._host.close(); return host.Describe(), logged()"), "level 3|");
  EXPECT_NE(parking_window(), nullptr);
  EXPECT_TRUE(winsys::is_window(own));
  run("ctl = null; host = null");
  collect();
  EXPECT_FALSE(winsys::is_window(own));
  EXPECT_EQ(parking_window(), nullptr);
}

TEST_F(ScriptControl, AnswersTheEmbeddingInterfacesDirectly) {
  run("ctl = com.NewControl(impl, lib, 'Gauge'); host = com.CreateEmbed(form, {}, ctl); logged()");
  IDispatch* dispatch = nullptr;
  {
    std::string code = "return com.GetPointer(ctl)";
    ASSERT_EQ(load_buffer(L, code.data(), code.size(), "=t"), 0);
    ASSERT_EQ(pcall(L, 0, 1, 0), 0);
    ASSERT_EQ(type_of(L, -1), TAG_POINTER);
    dispatch = static_cast<IDispatch*>(stack_address(L, -1)->u.p);
    pop(L, 1);
  }
  ASSERT_NE(dispatch, nullptr);
  ComRef<IDispatch> held = ComRef<IDispatch>::adopt(dispatch);  // com.GetPointer's own reference
  ComRef<IOleObject> ole;
  ASSERT_EQ(dispatch->QueryInterface(IID_IOleObject, ole.put_void()), S_OK);
  // One identity: every interface leads back to the same object.
  ComRef<IViewObject> view;
  ASSERT_EQ(ole->QueryInterface(IID_IViewObject, view.put_void()), S_OK);
  ComRef<IUnknown> a, b;
  ASSERT_EQ(view->QueryInterface(IID_IUnknown, a.put_void()), S_OK);
  ASSERT_EQ(dispatch->QueryInterface(IID_IUnknown, b.put_void()), S_OK);
  EXPECT_EQ(a.get(), b.get());

  SIZEL size{1234, 567}, got{0, 0};
  EXPECT_EQ(ole->SetExtent(DVASPECT_CONTENT, &size), S_OK);
  EXPECT_EQ(ole->GetExtent(DVASPECT_CONTENT, &got), S_OK);
  EXPECT_EQ(got.cx, 1234);
  EXPECT_EQ(got.cy, 567);
  EXPECT_EQ(ole->GetExtent(4, &got), DV_E_DVASPECT);
  RECT bounds{0, 0, 64, 32};
  EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, &bounds), S_OK);
  EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(run("return logged()"), "draw 64x32");

  ComRef<IOleInPlaceObject> in_place;
  ASSERT_EQ(ole->QueryInterface(IID_IOleInPlaceObject, in_place.put_void()), S_OK);
  ComRef<IOleInPlaceActiveObject> active;
  ASSERT_EQ(ole->QueryInterface(IID_IOleInPlaceActiveObject, active.put_void()), S_OK);
  EXPECT_EQ(in_place->InPlaceDeactivate(), S_OK);
  EXPECT_EQ(in_place->InPlaceDeactivate(), S_OK);  // once is enough
  winsys::Message enter{nullptr, 0x100, 13, 0, 0, 0, 0};
  EXPECT_EQ(active->TranslateAccelerator(&enter), S_FALSE);  // inactive controls take no keys
  EXPECT_EQ(run("return logged()"), "deactivate");
  // Its window stays, parked.
  WindowHandle own = nullptr;
  EXPECT_EQ(in_place->GetWindow(&own), S_OK);
  EXPECT_TRUE(winsys::is_window(own));

  // A script error in a notification does not reach the container.
  run("impl.onInPlaceActivate = function() { error('no') }");
  ComRef<IOleClientSite> site;
  ASSERT_EQ(ole->GetClientSite(site.put()), S_OK);
  ASSERT_TRUE(site);
  RECT r{0, 0, 10, 10};
  EXPECT_EQ(ole->DoVerb(OLEIVERB_SHOW, nullptr, site.get(), -1, window, &r), S_OK);
  EXPECT_EQ(active->TranslateAccelerator(&enter), S_OK);
  site.reset();
  in_place.reset();
  active.reset();
  view.reset();
  ole.reset();
  a.reset();
  b.reset();
  held.reset();
  run("host._host.close(); ctl = null; host = null");
  collect();
}

}  // namespace
}  // namespace quevro::test
