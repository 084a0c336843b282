// Type libraries made from descriptions, and the objects over them seen from C++: typed script
// objects (their interface, class information, connection points, events fired at C++ sinks),
// and a C++ event source whose events script sinks receive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/connection_points.h"
#include "com/dispatch_object.h"
#include "com/dispatch_params.h"
#include "com/script_object.h"
#include "com/state_link.h"
#include "com/type_library.h"
#include "com/typed_script_object.h"
#include "compiler/chunk_entry.h"
#include "host/startup.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/collector.h"

namespace quevro::test {
namespace {

using namespace quevro::com;

constexpr GUID SHAPE_IID = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr GUID EVENTS_IID = {0x66666666, 0x7777, 0x8888, {0x99, 0x99, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}};
constexpr GUID SHAPE_CLSID = {0xBBBBBBBB, 0xCCCC, 0xDDDD, {0xEE, 0xEE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};

TypeLibraryDescription shapes() {
  TypeLibraryDescription d;
  d.name = "Shapes";
  TypeDescription shape{"IShape", SHAPE_IID, TKIND_DISPATCH, {}, {}};
  shape.members.push_back({"Area", 1, INVOKE_FUNC, VT_R8, {{"scale", VT_R8, PARAMFLAG_FIN}}});
  shape.members.push_back({"Name", 2, INVOKE_PROPERTYGET, VT_BSTR, {}});
  shape.members.push_back({"Name", 2, INVOKE_PROPERTYPUT, VT_EMPTY, {{"value", VT_BSTR, PARAMFLAG_FIN}}});
  shape.members.push_back({"Label", 3, INVOKE_FUNC, VT_BSTR, {}});
  TypeDescription events{"IShapeEvents", EVENTS_IID, TKIND_DISPATCH, {}, {}};
  events.members.push_back({"Changed", 1, INVOKE_FUNC, VT_EMPTY, {{"what", VT_VARIANT, PARAMFLAG_FIN}}});
  TypeDescription cls{"Shape", SHAPE_CLSID, TKIND_COCLASS, {}, {}};
  cls.implemented.push_back({"IShape", IMPLTYPEFLAG_FDEFAULT});
  cls.implemented.push_back({"IShapeEvents", IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE});
  d.types = {shape, events, cls};
  return d;
}

ComRef<ITypeInfo> type_at(ITypeLib* library, UINT index) {
  ComRef<ITypeInfo> info;
  EXPECT_EQ(library->GetTypeInfo(index, info.put()), S_OK);
  return info;
}

TEST(TypeLibrary, DescribesMembersParametersAndClasses) {
  ComRef<ITypeLib> library;
  ASSERT_EQ(new_type_library(shapes(), library.put()), S_OK);
  EXPECT_EQ(library->GetTypeInfoCount(), 3u);
  ComRef<ITypeInfo> shape;
  ASSERT_EQ(library->GetTypeInfoOfGuid(SHAPE_IID, shape.put()), S_OK);
  TYPEATTR* attributes;
  ASSERT_EQ(shape->GetTypeAttr(&attributes), S_OK);
  EXPECT_EQ(attributes->typekind, TKIND_DISPATCH);
  EXPECT_EQ(attributes->cFuncs, 4);
  shape->ReleaseTypeAttr(attributes);

  // Names compare without case; further names are the member's parameters.
  LPOLESTR names[2] = {const_cast<LPOLESTR>(u"AREA"), const_cast<LPOLESTR>(u"Scale")};
  MEMBERID ids[2];
  ASSERT_EQ(shape->GetIDsOfNames(names, 2, ids), S_OK);
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(ids[1], 0);
  LPOLESTR unknown[1] = {const_cast<LPOLESTR>(u"Volume")};
  EXPECT_EQ(shape->GetIDsOfNames(unknown, 1, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], MEMBERID_NIL);

  BSTR got[3];
  UINT count = 0;
  ASSERT_EQ(shape->GetNames(1, got, 3, &count), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(utf8_from_bstr(got[0]), "Area");
  EXPECT_EQ(utf8_from_bstr(got[1]), "scale");
  for (UINT i = 0; i < count; ++i) SysFreeString(got[i]);

  FUNCDESC* put = find_member(shape.get(), u"name", INVOKE_PROPERTYPUT);
  ASSERT_NE(put, nullptr);
  EXPECT_EQ(put->memid, 2);
  EXPECT_EQ(put->cParams, 1);
  EXPECT_EQ(put->lprgelemdescParam[0].vt, VT_BSTR);
  shape->ReleaseFuncDesc(put);
  EXPECT_EQ(find_member(shape.get(), u"Label", INVOKE_PROPERTYGET), nullptr);

  ComRef<ITypeInfo> cls = type_at(library.get(), 2);
  ComRef<ITypeInfo> events = ComRef<ITypeInfo>::adopt(default_interface(cls.get(), true));
  ComRef<ITypeInfo> main = ComRef<ITypeInfo>::adopt(default_interface(cls.get(), false));
  ASSERT_TRUE(events && main);
  EXPECT_EQ(main.get(), shape.get());
  ASSERT_EQ(events->GetTypeAttr(&attributes), S_OK);
  EXPECT_EQ(attributes->guid, EVENTS_IID);
  events->ReleaseTypeAttr(attributes);
  EXPECT_EQ(default_interface(shape.get(), false), nullptr);

  ComRef<ITypeLib> containing;
  UINT index = 9;
  ASSERT_EQ(cls->GetContainingTypeLib(containing.put(), &index), S_OK);
  EXPECT_EQ(containing.get(), library.get());
  EXPECT_EQ(index, 2u);
  BSTR name = nullptr;
  ASSERT_EQ(library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(utf8_from_bstr(name), "Shapes");
  SysFreeString(name);
}

TEST(TypeLibrary, TypesShareTheLibrarysLifetime) {
  ITypeLib* library = nullptr;
  ASSERT_EQ(new_type_library(shapes(), &library), S_OK);
  ITypeInfo* info = nullptr;
  ASSERT_EQ(library->GetTypeInfo(0, &info), S_OK);
  // The library goes only with the last reference to it or any of its types.
  EXPECT_EQ(library->Release(), 1u);
  TYPEATTR* attributes;
  EXPECT_EQ(info->GetTypeAttr(&attributes), S_OK);
  EXPECT_EQ(info->Release(), 0u);
}

TEST(TypeLibrary, DescriptionsThatDoNotHoldTogetherAreRefused) {
  ITypeLib* library = nullptr;
  TypeLibraryDescription missing = shapes();
  missing.types[2].implemented.push_back({"INowhere", 0});
  EXPECT_EQ(new_type_library(missing, &library), E_INVALIDARG);
  TypeLibraryDescription twice = shapes();
  twice.types.push_back(twice.types[0]);
  EXPECT_EQ(new_type_library(twice, &library), E_INVALIDARG);
  TypeLibraryDescription clash = shapes();
  clash.types[0].members.push_back({"Other", 1, INVOKE_FUNC, VT_EMPTY, {}});
  EXPECT_EQ(new_type_library(clash, &library), E_INVALIDARG);
  EXPECT_EQ(library, nullptr);
}

// A C++ sink for IShapeEvents: records what Changed received.
class EventSink final : public IDispatch {
 public:
  std::vector<std::string> received;
  ULONG references = 1;
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == EVENTS_IID) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references; }
  ULONG Release() override { return --references; }
  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (member != 1 || params->cArgs != 1) return DISP_E_MEMBERNOTFOUND;
    VARIANT text;
    VariantInit(&text);
    if (FAILED(VariantChangeType(&text, &params->rgvarg[0], 0, VT_BSTR))) return DISP_E_TYPEMISMATCH;
    received.push_back(utf8_from_bstr(text.bstrVal));
    VariantClear(&text);
    return S_OK;
  }
};

class TypedObjects : public ::testing::Test {
 protected:
  VmState* L = nullptr;
  ComRef<ITypeLib> library;

  void SetUp() override {
    L = create_main_state();
    ASSERT_NE(L, nullptr);
    ASSERT_EQ(new_type_library(shapes(), library.put()), S_OK);
  }
  void TearDown() override {
    if (L) close_state(L);
    library.reset();
    EXPECT_EQ(live_link_holders(), 0);
  }

  void eval(const std::string& code, int results = 1) {
    int status = load_buffer(L, code.data(), code.size(), "=test");
    if (status == 0) status = pcall(L, 0, results, 0);
    ASSERT_EQ(status, 0) << (to_string(L, -1) ? to_string(L, -1) : "?");
  }

  // A typed object for the class Shape over the table the code returns.
  ComRef<IDispatch> shape_object(const std::string& code, bool with_events) {
    eval(code);
    ComRef<ITypeInfo> cls = type_at(library.get(), 2);
    ComRef<ITypeInfo> iface = type_at(library.get(), 0);
    ComRef<IDispatch> object =
        ComRef<IDispatch>::adopt(new_typed_script_object(L, -1, iface.get(), cls.get(), with_events));
    pop(L, 1);
    return object;
  }
};

TEST_F(TypedObjects, AnswerTheirInterfaceClassAndConnectionPoints) {
  ComRef<IDispatch> object = shape_object("return {}", true);
  ComRef<IUnknown> as_shape;
  EXPECT_EQ(object->QueryInterface(SHAPE_IID, as_shape.put_void()), S_OK);
  ComRef<IUnknown> as_events;
  EXPECT_EQ(object->QueryInterface(EVENTS_IID, as_events.put_void()), E_NOINTERFACE);
  ComRef<IProvideClassInfo> provider;
  ASSERT_EQ(object->QueryInterface(IID_IProvideClassInfo, provider.put_void()), S_OK);
  ComRef<ITypeInfo> cls;
  ASSERT_EQ(provider->GetClassInfo(cls.put()), S_OK);
  TYPEATTR* attributes;
  cls->GetTypeAttr(&attributes);
  EXPECT_EQ(attributes->guid, SHAPE_CLSID);
  cls->ReleaseTypeAttr(attributes);
  ComRef<IConnectionPointContainer> container;
  ASSERT_EQ(object->QueryInterface(IID_IConnectionPointContainer, container.put_void()), S_OK);
  ComRef<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(SHAPE_IID, point.put()), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(container->FindConnectionPoint(EVENTS_IID, point.put()), S_OK);
  IID iid;
  point->GetConnectionInterface(&iid);
  EXPECT_EQ(iid, EVENTS_IID);
  UINT count = 0;
  object->GetTypeInfoCount(&count);
  EXPECT_EQ(count, 1u);
  ComRef<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
  IConnectionPoint* listed[2] = {nullptr, nullptr};
  ULONG fetched = 0;
  EXPECT_EQ(points->Next(2, listed, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(listed[0], point.get());
  listed[0]->Release();

  ComRef<IDispatch> quiet = shape_object("return {}", false);
  ComRef<IConnectionPointContainer> none;
  EXPECT_EQ(quiet->QueryInterface(IID_IConnectionPointContainer, none.put_void()), E_NOINTERFACE);
}

TEST_F(TypedObjects, CallMembersByTheirDeclaredNamesAndTypes) {
  ComRef<IDispatch> object = shape_object(
      "return {Name = 'tri'; Area = function(s) { return s * 3 }; Label = function() { return 42 }}", false);
  LPOLESTR names[1] = {const_cast<LPOLESTR>(u"area")};
  DISPID id;
  ASSERT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  EXPECT_EQ(id, 1);
  VARIANT argument;
  argument.vt = VT_I4;
  argument.lVal = 2;
  DISPPARAMS params{&argument, nullptr, 1, 0};
  VARIANT result;
  ASSERT_EQ(object->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.vt, VT_R8);  // declared double, though the script gave a whole number
  EXPECT_EQ(result.dblVal, 6.0);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  ASSERT_EQ(object->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), S_OK);
  ASSERT_EQ(result.vt, VT_BSTR);
  EXPECT_EQ(utf8_from_bstr(result.bstrVal), "42");
  VariantClear(&result);
  ASSERT_EQ(object->Invoke(2, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(utf8_from_bstr(result.bstrVal), "tri");
  VariantClear(&result);
  // Undeclared identifiers and kinds are not members; a put by reference is refused in words.
  EXPECT_EQ(object->Invoke(7, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(object->Invoke(3, IID_NULL, 0, DISPATCH_PROPERTYPUT, &none, &result, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
  EXCEPINFO exception = empty_exception();
  EXPECT_EQ(object->Invoke(2, IID_NULL, 0, DISPATCH_PROPERTYPUTREF, &params, nullptr, &exception, nullptr),
            DISP_E_EXCEPTION);
  EXPECT_EQ(utf8_from_bstr(exception.bstrDescription), "Property putref not supported.");
  clear_exception(&exception);
}

TEST_F(TypedObjects, FireEventsAtAdvisedCppSinks) {
  eval("lib_impl = {}; return lib_impl");
  pop(L, 1);
  ComRef<IDispatch> object = shape_object("return lib_impl", true);
  EventSink sink;
  ComRef<IConnectionPointContainer> container;
  ComRef<IConnectionPoint> point;
  ASSERT_EQ(object->QueryInterface(IID_IConnectionPointContainer, container.put_void()), S_OK);
  ASSERT_EQ(container->FindConnectionPoint(EVENTS_IID, point.put()), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
  EXPECT_EQ(sink.references, 2u);
  {
    ComRef<IEnumConnections> connections;
    ASSERT_EQ(point->EnumConnections(connections.put()), S_OK);
    ComRef<IEnumConnections> copy;
    ASSERT_EQ(connections->Clone(copy.put()), S_OK);
    CONNECTDATA data{};
    ASSERT_EQ(copy->Next(1, &data, nullptr), S_OK);
    EXPECT_EQ(data.dwCookie, cookie);
    EXPECT_EQ(data.pUnk, static_cast<IUnknown*>(&sink));
    data.pUnk->Release();
    EXPECT_EQ(copy->Next(1, &data, nullptr), S_FALSE);
  }
  EXPECT_EQ(sink.references, 2u);
  // The script fires through its own view of the object.
  push_dispatch_object(L, object.get());
  set_field(L, GLOBALS_INDEX, "shape");
  eval("return com.FireEvent(shape, 'Changed', 'red') + com.FireEvent(shape, 'Changed', 7)");
  EXPECT_EQ(to_number(L, -1), 2);
  pop(L, 1);
  EXPECT_EQ(sink.received, (std::vector<std::string>{"red", "7"}));
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(sink.references, 1u);
  eval("return com.FireEvent(shape, 'Changed', 'blue')");
  EXPECT_EQ(to_number(L, -1), 0);
  pop(L, 1);
  EXPECT_EQ(sink.received.size(), 2u);
  // A sink still advised when the source goes is let go with it.
  ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
  point.reset();
  container.reset();
  push_null(L);
  set_field(L, GLOBALS_INDEX, "shape");
  gc_control(L, GC_COLLECT, 0);
  object.reset();
  EXPECT_EQ(sink.references, 1u);
}

// A C++ event source: an IShape object whose class fires IShapeEvents.
class Source final : public IDispatch, public IProvideClassInfo {
 public:
  Source(ITypeLib* library) {
    library->GetTypeInfo(2, &class_info_);
    ITypeInfo* events = nullptr;
    library->GetTypeInfo(1, &events);
    points_ = new ConnectionPoints(static_cast<IDispatch*>(this), {events});
    events->Release();
  }
  ~Source() {
    delete points_;
    class_info_->Release();
  }
  HRESULT QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch) *object = static_cast<IDispatch*>(this);
    else if (iid == IID_IProvideClassInfo) *object = static_cast<IProvideClassInfo*>(this);
    else if (iid == IID_IConnectionPointContainer) *object = static_cast<IConnectionPointContainer*>(points_);
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++references; }
  ULONG Release() override { return --references; }
  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  HRESULT GetClassInfo(ITypeInfo** info) override {
    class_info_->AddRef();
    *info = class_info_;
    return S_OK;
  }

  // Fires Changed(what) at every sink; the first failure's code and exception text.
  HRESULT fire(const char16_t* what, std::string* failure) {
    MEMBERID id;
    ITypeInfo* events = points_->interface_with_event(u"Changed", &id);
    HRESULT first = S_OK;
    for (IDispatch* sink : points_->sinks_of(events)) {
      VARIANT argument;
      argument.vt = VT_BSTR;
      argument.bstrVal = SysAllocString(what);
      DISPPARAMS params{&argument, nullptr, 1, 0};
      EXCEPINFO exception = empty_exception();
      HRESULT hr = sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &exception, nullptr);
      if (FAILED(hr) && SUCCEEDED(first)) {
        first = hr;
        *failure = utf8_from_bstr(exception.bstrDescription);
      }
      clear_exception(&exception);
      VariantClear(&argument);
      sink->Release();
    }
    return first;
  }

  ULONG references = 1;

 private:
  ITypeInfo* class_info_ = nullptr;
  ConnectionPoints* points_;
};

TEST_F(TypedObjects, ScriptSinksReceiveACppSourcesEvents) {
  Source source(library.get());
  push_dispatch_object(L, &source);
  set_field(L, GLOBALS_INDEX, "source");
  eval("seen = {}; var sink, cookie = com.Connect(source, {Changed = function(what) { table.push(seen, what); "
       "if what == 'bad' { error('refused ' ++ what) } }}); return cookie");
  EXPECT_EQ(to_number(L, -1), 1);
  pop(L, 1);
  std::string failure;
  EXPECT_EQ(source.fire(u"open", &failure), S_OK);
  EXPECT_EQ(source.fire(u"bad", &failure), DISP_E_EXCEPTION);
  EXPECT_NE(failure.find("refused bad"), std::string::npos) << failure;
  eval("return #seen ++ ':' ++ seen[1] ++ ',' ++ seen[2]");
  EXPECT_STREQ(to_string(L, -1), "2:open,bad");
  pop(L, 1);
  // Released connections deliver nothing more.
  eval("return com.ReleaseConnection(source)");
  EXPECT_TRUE(to_boolean(L, -1));
  pop(L, 1);
  EXPECT_EQ(source.fire(u"late", &failure), S_OK);
  eval("return #seen");
  EXPECT_EQ(to_number(L, -1), 2);
  pop(L, 1);
  push_null(L);
  set_field(L, GLOBALS_INDEX, "source");
  close_state(L);
  L = nullptr;
  EXPECT_EQ(source.references, 1u);
}

}  // namespace
}  // namespace quevro::test
