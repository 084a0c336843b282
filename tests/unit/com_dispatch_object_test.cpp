// Automation objects driven from scripts: a test class registered in the class registry for the
// length of each test, created with com.CreateObject and used through member reads, writes,
// calls and the default member.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "com/class_registry.h"
#include "com/dispatch_params.h"
#include "com/name_cache.h"
#include "com/safearray.h"
#include "com_script_run.h"
#include "compiler/chunk_entry.h"
#include "host/startup.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/state.h"

namespace quevro::test {
namespace {

using namespace quevro::com;

int live_objects = 0;

constexpr CLSID TEST_CLSID = {0x51E7A0C1, 0x2B3D, 0x4E5F, {0x90, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};

enum Member : DISPID { VALUE = 1, ADD, SUBTRACT, NUMBERS, FAIL, SILENT_FAIL, CHILD, ECHO, LAST_TYPE, BARE, RENUMBER, DOUBLE_IN_PLACE, SHOW };
// Moving's identifier changes each time Renumber is called.
constexpr DISPID MOVING_BASE = 100;

struct MemberName {
  const char16_t* name;
  DISPID id;
};
constexpr MemberName MEMBERS[] = {{u"Value", VALUE},   {u"Add", ADD},
                                  {u"Subtract", SUBTRACT}, {u"Numbers", NUMBERS},
                                  {u"Fail", FAIL},     {u"SilentFail", SILENT_FAIL},
                                  {u"Child", CHILD},   {u"Echo", ECHO},
                                  {u"LastType", LAST_TYPE}, {u"Bare", BARE},
                                  {u"Renumber", RENUMBER}, {u"DoubleInPlace", DOUBLE_IN_PLACE},
                                  {u"Show", SHOW}};

bool same_name(const char16_t* a, const char16_t* b) {
  for (; *a && *b; ++a, ++b) {
    char16_t x = *a >= u'A' && *a <= u'Z' ? *a + 32 : *a;
    char16_t y = *b >= u'A' && *b <= u'Z' ? *b + 32 : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

// An object that answers nothing but IUnknown.
class BareObject final : public IUnknown {
 public:
  BareObject() { ++live_objects; }
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown) {
      *object = this;
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) {
      --live_objects;
      delete this;
    }
    return left;
  }

 private:
  ULONG references_ = 1;
};

// An enumerator over the numbers first..last, as a collection's _NewEnum gives it.
class NumberEnumerator final : public IEnumVARIANT {
 public:
  NumberEnumerator(int32_t first, int32_t last) : first_(first), last_(last), next_(first) { ++live_objects; }
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IEnumVARIANT) {
      *object = static_cast<IEnumVARIANT*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) {
      --live_objects;
      delete this;
    }
    return left;
  }
  HRESULT Next(ULONG count, VARIANT* items, ULONG* fetched) override {
    ULONG done = 0;
    for (; done < count && next_ <= last_; ++done) {
      items[done].vt = VT_I4;
      items[done].lVal = next_++;
    }
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    next_ += static_cast<int32_t>(count);
    return next_ <= last_ + 1 ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    next_ = first_;
    return S_OK;
  }
  HRESULT Clone(IEnumVARIANT** copy) override {
    auto* made = new NumberEnumerator(first_, last_);
    made->next_ = next_;
    *copy = made;
    return S_OK;
  }

 private:
  ULONG references_ = 1;
  int32_t first_, last_, next_;
};

// A property Value, methods Add(a, b), Subtract(a, b), Numbers(), Fail(), SilentFail(), Child(),
// Echo(x) and LastType (the VARTYPE Echo last received); the default member Item(i) gives i * 10.
class TestObject final : public IDispatch {
 public:
  TestObject() {
    VariantInit(&value_);
    ++live_objects;
  }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) {
      VariantClear(&value_);
      --live_objects;
      delete this;
    }
    return left;
  }
  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (count != 1) return E_INVALIDARG;
    if (same_name(names[0], u"Moving")) {
      ids[0] = MOVING_BASE + generation_;
      return S_OK;
    }
    for (const MemberName& m : MEMBERS) {
      if (same_name(names[0], m.name)) {
        ids[0] = m.id;
        return S_OK;
      }
    }
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }

  HRESULT Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT*) override {
    switch (member) {
      case VALUE: return value(flags, params, result);
      case ADD:
      case SUBTRACT: return arithmetic(member, flags, params, result);
      case NUMBERS: return numbers(flags, result);
      case FAIL: return fail(exception, u"the test object failed");
      case SILENT_FAIL: return fail(exception, nullptr);
      case CHILD: {
        if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_DISPATCH;
        result->pdispVal = new TestObject();
        return S_OK;
      }
      case ECHO: {
        if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
        last_type_ = params->rgvarg[0].vt;
        return VariantCopy(result, &params->rgvarg[0]);
      }
      case BARE:
        if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_UNKNOWN;
        result->punkVal = new BareObject();
        return S_OK;
      case LAST_TYPE:
        result->vt = VT_I4;
        result->lVal = last_type_;
        return S_OK;
      case DISPID_VALUE: return item(flags, params, result);
      case DISPID_NEWENUM:
        result->vt = VT_UNKNOWN;
        result->punkVal = new NumberEnumerator(1, 3);
        return S_OK;
      case SHOW: return show(flags, params, result, exception);
      case DOUBLE_IN_PLACE:
        // DoubleInPlace(ref n): doubles the 32-bit integer behind the reference, answers true.
        if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
        if (params->rgvarg[0].vt != (VT_BYREF | VT_I4)) return DISP_E_TYPEMISMATCH;
        *params->rgvarg[0].plVal *= 2;
        result->vt = VT_BOOL;
        result->boolVal = VARIANT_TRUE;
        return S_OK;
      case RENUMBER:
        if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        ++generation_;
        return S_OK;
      default:
        if (member != MOVING_BASE + generation_ || !(flags & DISPATCH_METHOD))
          return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_I4;
        result->lVal = generation_;
        return S_OK;
    }
  }

 private:
  ULONG references_ = 1;
  VARIANT value_;
  VARTYPE last_type_ = VT_EMPTY;
  int generation_ = 0;
  int32_t stored_index_ = -1;
  int32_t stored_value_ = 0;

  HRESULT value(WORD flags, DISPPARAMS* params, VARIANT* result) {
    if (flags & DISPATCH_PROPERTYPUT) {
      if (params->cArgs != 1 || params->cNamedArgs != 1 ||
          params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
        return DISP_E_BADPARAMCOUNT;
      return VariantCopy(&value_, &params->rgvarg[0]);
    }
    if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
    return VariantCopy(result, &value_);
  }

  // Arguments arrive last first: rgvarg[1] is a, rgvarg[0] is b.
  static HRESULT arithmetic(DISPID member, WORD flags, DISPPARAMS* params, VARIANT* result) {
    if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (params->cArgs != 2) return DISP_E_BADPARAMCOUNT;
    VARIANT a, b;
    VariantInit(&a);
    VariantInit(&b);
    if (FAILED(VariantChangeType(&a, &params->rgvarg[1], 0, VT_R8)) ||
        FAILED(VariantChangeType(&b, &params->rgvarg[0], 0, VT_R8)))
      return DISP_E_TYPEMISMATCH;
    result->vt = VT_R8;
    result->dblVal = member == ADD ? a.dblVal + b.dblVal : a.dblVal - b.dblVal;
    return S_OK;
  }

  static HRESULT numbers(WORD flags, VARIANT* result) {
    if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 3);
    for (LONG i = 0; i < 3; ++i) {
      int32_t n = (i + 1) * 100;
      SafeArrayPutElement(array, &i, &n);
    }
    result->vt = VT_ARRAY | VT_I4;
    result->parray = array;
    return S_OK;
  }

  static HRESULT fail(EXCEPINFO* exception, const char16_t* description) {
    exception->bstrSource = SysAllocString(u"Quevro.TestObject");
    exception->bstrDescription = description ? SysAllocString(description) : nullptr;
    exception->scode = E_INVALIDARG;
    return DISP_E_EXCEPTION;
  }

  // Show(viewer): calls the viewer's own Show("hello") the way any component calls back, and
  // answers what it returned; the viewer's exception is passed on.
  static HRESULT show(WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) {
    if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (params->cArgs != 1 || params->rgvarg[0].vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
    IDispatch* viewer = params->rgvarg[0].pdispVal;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(u"Show")};
    DISPID id;
    HRESULT hr = viewer->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    if (FAILED(hr)) return hr;
    VARIANT argument;
    argument.vt = VT_BSTR;
    argument.bstrVal = SysAllocString(u"hello");
    DISPPARAMS call{&argument, nullptr, 1, 0};
    hr = viewer->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &call, result, exception, nullptr);
    VariantClear(&argument);
    return hr;
  }

  HRESULT item(WORD flags, DISPPARAMS* params, VARIANT* result) {
    if (flags & DISPATCH_PROPERTYPUT) return put_item(params);
    if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
    if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
    VARIANT index;
    VariantInit(&index);
    if (FAILED(VariantChangeType(&index, &params->rgvarg[0], 0, VT_I4))) return DISP_E_TYPEMISMATCH;
    // Negative indices are served only to method calls, as some servers do.
    if (index.lVal < 0 && (flags & DISPATCH_PROPERTYGET)) {
      result->vt = VT_EMPTY;
      return DISP_E_EXCEPTION;
    }
    result->vt = VT_I4;
    result->lVal = index.lVal == stored_index_ ? stored_value_ : index.lVal * 10;
    return S_OK;
  }

  // Item(index) = value: the value comes first (named DISPID_PROPERTYPUT), then the index.
  HRESULT put_item(DISPPARAMS* params) {
    if (params->cArgs != 2 || params->cNamedArgs != 1 ||
        params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
      return DISP_E_BADPARAMCOUNT;
    VARIANT value, index;
    VariantInit(&value);
    VariantInit(&index);
    if (FAILED(VariantChangeType(&value, &params->rgvarg[0], 0, VT_I4)) ||
        FAILED(VariantChangeType(&index, &params->rgvarg[1], 0, VT_I4)))
      return DISP_E_TYPEMISMATCH;
    stored_index_ = index.lVal;
    stored_value_ = value.lVal;
    return S_OK;
  }
};

class DispatchObject : public ::testing::Test {
 protected:
  VmState* L = nullptr;

  void SetUp() override {
    live_objects = 0;
    ASSERT_EQ(register_class(TEST_CLSID, "Quevro.TestObject.1", "Quevro.TestObject",
                             [](REFIID iid, void** object) {
                               TestObject* made = new TestObject();
                               HRESULT hr = made->QueryInterface(iid, object);
                               made->Release();
                               return hr;
                             }),
              S_OK);
    L = create_main_state();
    ASSERT_NE(L, nullptr);
  }

  void TearDown() override {
    if (L) close_state(L);
    unregister_class(TEST_CLSID);
    // Closing the state collects every wrapper, and each releases its object.
    EXPECT_EQ(live_objects, 0);
  }

  std::string run(const std::string& code) { return run_script(L, code); }
};

// The message of a runtime error raised by a script line, without the position annotation.
bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(DispatchObject, MethodsAreCalledWithTheirArgumentsInOrder) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); return o.Add(2, 3), o.Subtract(10, 4)"),
            "5|6");
}

TEST_F(DispatchObject, PropertiesAreReadAndWritten) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject.1'); o.Value = 'hello'; return o.Value"),
            "hello");
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); o.Value = 7; o.Value = o.Value + 1; "
                "return o.Value"),
            "8");
}

TEST_F(DispatchObject, GetAndSetPrefixesGiveAccessorCallables) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); o.setValue(42); return o.getValue()"),
            "42");
}

TEST_F(DispatchObject, ReadingAMethodGivesACallable) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); return type(o.Add)"), "function");
}

TEST_F(DispatchObject, UnknownNamesAreTheTablesOwnFields) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); var before = o.Missing; "
                "o.Missing = 'mine'; return type(before), o.Missing"),
            "null|mine");
}

TEST_F(DispatchObject, ArrayResultsBecomeTables) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); var a = o.Numbers(); "
                "return #a, a[1], a[3]"),
            "3|100|300");
}

TEST_F(DispatchObject, NumbersAndTablesIndexTheDefaultMember) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); return o[4], o[{5}], o(6)"),
            "40|50|60");
}

TEST_F(DispatchObject, ArgumentTypesFollowTheNumbers) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); o.Echo(3); var a = o.LastType; "
                "o.Echo(3.5); var b = o.LastType; o.Echo(4294967296); var c = o.LastType; "
                "o.Echo({1, 2}); var d = o.LastType; o.Echo({1, 'x'}); var e = o.LastType; "
                "return a, b, c, d, e"),
            "3|5|5|8197|8204");
}

TEST_F(DispatchObject, ObjectsPassAndReturnAsObjects) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); var c = o.Child(); c.Value = 'kid'; "
                "var back = o.Echo(c); return back.Value, back == c, back == o, o.LastType"),
            "kid|true|false|9");
}

TEST_F(DispatchObject, ExceptionsRaiseTheirDescription) {
  std::string failure = run("var o = com.CreateObject('Quevro.TestObject'); o.Fail()");
  EXPECT_TRUE(ends_with(failure, "the test object failed")) << failure;
  std::string silent = run("var o = com.CreateObject('Quevro.TestObject'); o.SilentFail()");
  EXPECT_TRUE(ends_with(silent, std::string(hresult_message(E_INVALIDARG)) + "(E_INVALIDARG,0x80070057)"))
      << silent;
}

TEST_F(DispatchObject, FailedCallsRaiseTheCodeText) {
  std::string failure = run("var o = com.CreateObject('Quevro.TestObject'); o.Add(1)");
  EXPECT_TRUE(ends_with(failure, "COM error\n" + std::string(hresult_message(DISP_E_BADPARAMCOUNT)) +
                                     "(DISP_E_BADPARAMCOUNT,0x8002000E)"))
      << failure;
}

TEST_F(DispatchObject, UnknownClassesRaiseTheCodeText) {
  std::string failure = run("com.CreateObject('No.Such.Class')");
  EXPECT_TRUE(ends_with(failure, "COM error\n" + std::string(hresult_message(CO_E_CLASSSTRING)) +
                                     "(0x800401F3)"))
      << failure;
}

TEST_F(DispatchObject, PreferencesRequireAnObject) {
  std::string failure = run("com.SetPreferredArrayType({}, 3)");
  EXPECT_TRUE(ends_with(failure, "invalid object(com.IDispatch)")) << failure;
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); com.SetPreferredArrayType(o, 3); "
                "o.Echo({1.5, 2}); return o.LastType"),
            "8195");
}

TEST_F(DispatchObject, DroppedObjectsAreReleasedByTheCollector) {
  EXPECT_EQ(run("for i = 1, 20 { var o = com.CreateObject('Quevro.TestObject'); o.Child() } "
                "collectgarbage('collect'); collectgarbage('collect'); return 1"),
            "1");
  EXPECT_EQ(live_objects, 0);
}

TEST_F(DispatchObject, VariantsKeepTheirTypeOnTheWayToTheObject) {
  EXPECT_EQ(run("var v = com.Variant(3, 2); var o = com.CreateObject('Quevro.TestObject'); "
                "var back = o.Echo(v); return v.vt, v.value, o.LastType, back"),
            "2|3|2|3");
  EXPECT_EQ(run("var v = com.Variant('12', 3); return v.vt, v.value + 1"), "3|13");
  EXPECT_EQ(run("var v = com.Variant(2.5, 0xFFFF); return v.vt, v.value"), "5|2.5");
  EXPECT_EQ(run("var v = com.Variant(5, 20); var o = com.CreateObject('Quevro.TestObject'); "
                "o.Echo(v); return o.LastType"),
            "20");
}

TEST_F(DispatchObject, EmptyVariantsTakeTheGivenType) {
  EXPECT_EQ(run("var v = com.Variant(null); return v.vt, type(v.value)"), "1|null");
  EXPECT_EQ(run("var v = com.Variant(null, 8); return v.vt, v.value"), "8|");
  std::string refused = run("com.Variant(null, 0x4003)");
  EXPECT_TRUE(ends_with(refused, "Type not compatible with automation.")) << refused;
}

TEST_F(DispatchObject, VariantValueIsWritableAndNothingElse) {
  EXPECT_EQ(run("var v = com.Variant(1); v.value = 'abc'; return v.vt, v.bstrVal, v.value"),
            "8|abc|abc");
  std::string denied = run("var v = com.Variant(1); v.vt = 3");
  EXPECT_TRUE(ends_with(denied, "access denied!")) << denied;
  EXPECT_EQ(run("var v = com.Variant('x'); v.clear(); return v.vt"), "0");
}

TEST_F(DispatchObject, VariantsThatCannotChangeTypeRaiseTheCodeText) {
  std::string failure = run("com.Variant('x', 3)");
  EXPECT_TRUE(ends_with(failure, "COM error\n" + std::string(hresult_message(DISP_E_TYPEMISMATCH)) +
                                     "(DISP_E_TYPEMISMATCH,0x80020005)"))
      << failure;
}

TEST_F(DispatchObject, SafeArrayReadsAnArrayAtAPointer) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_R8, 0, 2);
  LONG i = 1;
  double d = 2.5;
  SafeArrayPutElement(array, &i, &d);
  push_pointer(L, array);
  raw_set_field(L, GLOBALS_INDEX, "numbers");
  SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 3);
  std::memcpy(bytes->pvData, "abc", 3);
  push_pointer(L, bytes);
  raw_set_field(L, GLOBALS_INDEX, "bytes");
  // The element type the array records wins over the one given.
  EXPECT_EQ(run("var t = com.SafeArray(numbers, 8); return #t, t[2]"), "2|2.5");
  EXPECT_EQ(run("return com.SafeArray(bytes)"), "abc");
  EXPECT_EQ(run("return type(com.SafeArray(null))"), "null");
  SafeArrayDestroy(array);
  SafeArrayDestroy(bytes);
}

TEST_F(DispatchObject, CallingTheObjectRetriesAsAMethodAfterAnException) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); return o(-2), o(-3)"), "-20|-30");
  // Indexing asks for method-or-get and reports the exception.
  std::string failure = run("var o = com.CreateObject('Quevro.TestObject'); return o[-2]");
  EXPECT_TRUE(ends_with(failure, "Unknown exception")) << failure;
  // A method-only preference goes straight to the method.
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); com.SetPreferredInvokeKind(o, 1); "
                "return o(-4)"),
            "-40");
}

TEST_F(DispatchObject, CallingWithoutTheObjectIsOutOfRange) {
  // The handler reached directly, with no owner and no arguments.
  std::string failure = run("var o = com.CreateObject('Quevro.TestObject'); "
                            "var h = o@._call; return call(h)");
  EXPECT_TRUE(failure.find("Parameter(s) out of range") != std::string::npos) << failure;
}

TEST_F(DispatchObject, TablesWithNumberMetamethodsPassTypedNumbers) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); "
                "var t = {@= {_tonumber = function() { return 7 }, _number_type = 'word'}}; "
                "var back = o.Echo(t); return back, o.LastType"),
            "7|2");
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); "
                "var t = {@= {_tonumber = function() { return 7 }}}; "
                "o.Echo(t); return o.LastType"),
            "5");
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); "
                "var t = {@= {_tonumber = function() { return 9 }, _number_type = 'L'}}; "
                "o.Echo(t); return o.LastType"),
            "21");
  std::string failure = run("var o = com.CreateObject('Quevro.TestObject'); "
                            "o.Echo({@= {_tonumber = function() { return 7 }, _number_type = 'xyz'}})");
  EXPECT_TRUE(ends_with(failure, "Invalid number type 'xyz'")) << failure;
}

TEST_F(DispatchObject, ToComObjectIsConvertedInstead) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); "
                "var t = {@= {_toComObject = function() { return 'as text' }}}; "
                "return o.Echo(t), o.LastType"),
            "as text|8");
}

TEST_F(DispatchObject, BareInterfacesPassBackAsUnknown) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); var b = o.Bare(); "
                "var back = o.Echo(b); return o.LastType, back == b, back == o.Bare()"),
            "13|true|false");
}

TEST_F(DispatchObject, RenumberedMembersAreResolvedAgain) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); var m = o.Moving; var a = m(); "
                "o.Renumber(); o.Renumber(); return a, m()"),
            "0|2");
}

TEST(ComNameCache, KeepsTheNewestNamesAndUpdatesIdentifiers) {
  NameCache cache;
  for (int i = 0; i < 160; ++i) cache.remember("name" + std::to_string(i), i);
  EXPECT_EQ(cache.size(), NameCache::capacity);
  EXPECT_EQ(cache.name_of(5), nullptr);
  ASSERT_NE(cache.name_of(159), nullptr);
  EXPECT_EQ(*cache.name_of(159), "name159");
  cache.remember("name159", 1000);
  EXPECT_EQ(cache.name_of(159), nullptr);
  EXPECT_EQ(*cache.name_of(1000), "name159");
  EXPECT_EQ(cache.size(), NameCache::capacity);
}

TEST_F(DispatchObject, TablesNamingAnInterfacePassIt) {
  TestObject* object = new TestObject();
  push_pointer(L, static_cast<IDispatch*>(object));
  raw_set_field(L, GLOBALS_INDEX, "raw");
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); var back = o.Echo({_dispatch = raw}); "
                "back.Value = 'through'; return o.LastType, back.Value"),
            "9|through");
  push_null(L);
  raw_set_field(L, GLOBALS_INDEX, "raw");
  object->Release();
}

TEST_F(DispatchObject, WritingAtATableIndexPutsTheDefaultMember) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); o[{3}] = 99; return o[3], o[4]"),
            "99|40");
  std::string failure = run("var o = com.CreateObject('Quevro.TestObject'); o[{3, 4}] = 1");
  EXPECT_TRUE(ends_with(failure, "(DISP_E_BADPARAMCOUNT,0x8002000E)")) << failure;
}

TEST_F(DispatchObject, MethodsReturnByReferenceArgumentsAfterTheResult) {
  int32_t number = 21;
  VARIANT reference;
  VariantInit(&reference);
  reference.vt = VT_BYREF | VT_I4;
  reference.plVal = &number;
  push_pointer(L, &reference);
  raw_set_field(L, GLOBALS_INDEX, "reference");
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); var v = com.Variant(reference); "
                "return o.DoubleInPlace(v)"),
            "true|42");
  EXPECT_EQ(number, 42);
  // Property reads give only the value.
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); o.Value = 5; return o.Value"), "5");
}

TEST_F(DispatchObject, TimeObjectsPassAsDates) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); "
                "var back = o.Echo(time(1709213415, '!%Y')); "
                "return o.LastType, back.year, back.month, back.day, back.hour, back.minute, back.second"),
            "7|2024|2|29|13|30|15");
}

TEST_F(DispatchObject, TablesPassedToComponentsAreCalledBackWithThemselvesAsOwner) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); "
                "var viewer = {prefix = '>'; Show = function(text) { return owner.prefix ++ text }}; "
                "return o.Show(viewer)"),
            ">hello");
  std::string failure = run("var o = com.CreateObject('Quevro.TestObject'); "
                            "o.Show({Show = function(text) { error('sink failed on ' ++ text) }})");
  EXPECT_TRUE(ends_with(failure, "sink failed on hello")) << failure;
  std::string missing = run("var o = com.CreateObject('Quevro.TestObject'); o.Show({})");
  EXPECT_TRUE(ends_with(missing, "(DISP_E_MEMBERNOTFOUND,0x80020003)")) << missing;
}

TEST_F(DispatchObject, CallbacksReachTablesFromInsideAFiber) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); "
                "var f = fiber.create(function() { var viewer = {Show = function(t) { return 'fiber ' ++ t }}; "
                "return o.Show(viewer) }); return fiber.resume(f)"),
            "true|fiber hello");
  // A sink that tries to yield across the component cannot; the component sees an exception.
  std::string failure = run("var o = com.CreateObject('Quevro.TestObject'); "
                            "var f = fiber.create(function() { return o.Show({Show = function(t) { fiber.yield(1) }}) }); "
                            "return fiber.resume(f)");
  EXPECT_EQ(failure.rfind("false|", 0), 0u) << failure;
}

TEST_F(DispatchObject, CollectionsAreWalkedThroughTheirEnumerators) {
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); var s = ''; "
                "for i, v in com.each(o) { s = s ++ i ++ '=' ++ v ++ ' ' } return s"),
            "1=1 2=2 3=3 ");
  EXPECT_EQ(run("var o = com.CreateObject('Quevro.TestObject'); var e = com.GetEnumerator(o); "
                "var a, b = e.Next(2); var c = e.Clone(); var rest = e.Next(); e.Reset(); "
                "return a, b, rest, c.Next(), e.Next(), e.Next(9) === null, com.isEnumerator(e)"),
            "1|2|3|3|1|false|true");
  std::string failure = run("var o = com.CreateObject('Quevro.TestObject'); com.GetEnumerator(o.Child().Child)");
  EXPECT_TRUE(ends_with(failure, "invalid object(com.IDispatch)")) << failure;
}

}  // namespace
}  // namespace quevro::test
