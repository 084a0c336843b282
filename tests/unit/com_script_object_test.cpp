// Script tables, functions and cdata as automation objects, driven from C++ exactly the way a
// host drives a page's `external`: GetIDsOfNames, then Invoke with method calls, property gets
// and puts, arguments of every VARIANT type, by-reference outputs, named arguments, script
// errors as automation exceptions, enumeration, and the object's lifetime against the state's.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "com/dispatch_params.h"
#include "com/ole_date.h"
#include "com/safearray.h"
#include "com/script_object.h"
#include "com/state_link.h"
#include "com/variant_conversion.h"
#include "compiler/chunk_entry.h"
#include "host/startup.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/collector.h"
#include "vm/state.h"

namespace quevro::test {
namespace {

using namespace quevro::com;

VARIANT i4(int32_t n) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = n;
  return v;
}

VARIANT text(const char16_t* s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(s);
  return v;
}

// Owns the VARIANTs of one call; they go in natural order and are reversed for Invoke.
class Arguments {
 public:
  Arguments(std::initializer_list<VARIANT> items) : items_(items.begin(), items.end()) {
    std::reverse(items_.begin(), items_.end());
  }
  ~Arguments() {
    for (VARIANT& v : items_) VariantClear(&v);
  }
  DISPPARAMS params() { return DISPPARAMS{items_.empty() ? nullptr : items_.data(), nullptr, static_cast<UINT>(items_.size()), 0}; }
  // Argument i in natural order.
  VARIANT& at(size_t i) { return items_[items_.size() - 1 - i]; }

 private:
  std::vector<VARIANT> items_;
};

class ScriptObjectTest : public ::testing::Test {
 protected:
  VmState* L = nullptr;

  void SetUp() override {
    L = create_main_state();
    ASSERT_NE(L, nullptr);
  }

  void TearDown() override {
    if (L) close_state(L);
    // Every holder of a script value has let it go: nothing leaks past the state.
    EXPECT_EQ(live_link_holders(), 0);
  }

  // Runs the code; its first result stays on the stack.
  void eval(const std::string& code) {
    int status = load_buffer(L, code.data(), code.size(), "=test");
    if (status == 0) status = pcall(L, 0, 1, 0);
    ASSERT_EQ(status, 0) << (to_string(L, -1) ? to_string(L, -1) : "?");
  }

  // The code's first result as an automation object.
  ComRef<IDispatch> expose(const std::string& code) {
    eval(code);
    ComRef<IDispatch> object = ComRef<IDispatch>::adopt(expose_script_value(L, -1));
    pop(L, 1);
    return object;
  }

  std::string global_text(const char* name) {
    get_field(L, GLOBALS_INDEX, name);
    std::string s = to_string(L, -1) ? to_string(L, -1) : "null";
    pop(L, 1);
    return s;
  }

  static DISPID id_of(IDispatch* object, const char16_t* name) {
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    return id;
  }

  static HRESULT invoke(IDispatch* object, DISPID member, WORD flags, Arguments& args,
                        VARIANT* result, EXCEPINFO* exception = nullptr, UINT* bad = nullptr) {
    // The callee overwrites the result; what an earlier call left there is the caller's.
    if (result) VariantClear(result);
    DISPPARAMS params = args.params();
    return object->Invoke(member, IID_NULL, 0, flags, &params, result, exception, bad);
  }

  static HRESULT call(IDispatch* object, const char16_t* name, Arguments& args, VARIANT* result,
                      EXCEPINFO* exception = nullptr) {
    return invoke(object, id_of(object, name), DISPATCH_METHOD, args, result, exception);
  }

  void collect() { gc_control(L, GC_COLLECT, 0); }
};

TEST_F(ScriptObjectTest, NamesGetIdentifiersOnDemandThatStayTheSame) {
  ComRef<IDispatch> object = expose("return {}");
  DISPID first = id_of(object.get(), u"show");
  DISPID second = id_of(object.get(), u"hide");
  EXPECT_EQ(first, FIRST_NAME_ID + 1);
  EXPECT_EQ(second, FIRST_NAME_ID + 2);
  EXPECT_EQ(id_of(object.get(), u"show"), first);
  // Decimal names are indices and their own identifiers; other numbers are names.
  EXPECT_EQ(id_of(object.get(), u"3"), 3);
  EXPECT_EQ(id_of(object.get(), u"03"), FIRST_NAME_ID + 3);
  EXPECT_EQ(id_of(object.get(), u"10000"), FIRST_NAME_ID + 4);
}

TEST_F(ScriptObjectTest, DecimalNamesReadAndWriteTheTablesElements) {
  eval("items = {'a', 'b', 'c'}; return items");
  ComRef<IDispatch> object = ComRef<IDispatch>::adopt(expose_script_value(L, -1));
  pop(L, 1);
  Arguments none{};
  VariantHolder result;
  ASSERT_EQ(invoke(object.get(), id_of(object.get(), u"3"), DISPATCH_PROPERTYGET, none, result.get()), S_OK);
  EXPECT_EQ(utf8_from_bstr(result.get()->bstrVal), "c");
  Arguments value{text(u"B")};
  ASSERT_EQ(invoke(object.get(), id_of(object.get(), u"2"), DISPATCH_PROPERTYPUT, value, nullptr), S_OK);
  eval("return items[2]");
  EXPECT_STREQ(to_string(L, -1), "B");
  pop(L, 1);
}

TEST_F(ScriptObjectTest, MethodsRunWithTheTableAsOwnerAndTheirArgumentsInOrder) {
  ComRef<IDispatch> object =
      expose("return {unit = 'cm'; join = function(a, b) { return a ++ '-' ++ b ++ owner.unit }}");
  Arguments args{text(u"left"), i4(7)};
  VariantHolder result;
  ASSERT_EQ(call(object.get(), u"join", args, result.get()), S_OK);
  ASSERT_EQ(result.get()->vt, VT_BSTR);
  EXPECT_EQ(utf8_from_bstr(result.get()->bstrVal), "left-7cm");
}

TEST_F(ScriptObjectTest, EveryArgumentTypeArrivesAsItsScriptValue) {
  ComRef<IDispatch> object = expose("return {kind = function(x) { return type(x) ++ ':' ++ tostring(x) }}");
  struct Case {
    VARIANT value;
    std::string expected;
  };
  auto make = [](VARTYPE vt, auto setter) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    setter(v);
    return v;
  };
  std::vector<Case> cases;
  cases.push_back({make(VT_EMPTY, [](VARIANT&) {}), "null:null"});
  cases.push_back({make(VT_NULL, [](VARIANT&) {}), "null:null"});
  cases.push_back({make(VT_I2, [](VARIANT& v) { v.iVal = -12; }), "number:-12"});
  cases.push_back({make(VT_I4, [](VARIANT& v) { v.lVal = 70000; }), "number:70000"});
  cases.push_back({make(VT_R4, [](VARIANT& v) { v.fltVal = 1.5f; }), "number:1.5"});
  cases.push_back({make(VT_R8, [](VARIANT& v) { v.dblVal = 2.25; }), "number:2.25"});
  cases.push_back({make(VT_CY, [](VARIANT& v) { v.cyVal.int64 = 12345; }), "number:1.2345"});
  cases.push_back({make(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }), "boolean:true"});
  cases.push_back({make(VT_I1, [](VARIANT& v) { v.cVal = -3; }), "number:-3"});
  cases.push_back({make(VT_UI1, [](VARIANT& v) { v.bVal = 200; }), "number:200"});
  cases.push_back({make(VT_UI2, [](VARIANT& v) { v.uiVal = 60000; }), "number:60000"});
  cases.push_back({make(VT_UI4, [](VARIANT& v) { v.ulVal = 4000000000u; }), "number:4000000000"});
  cases.push_back({make(VT_I8, [](VARIANT& v) { v.llVal = -5000000000; }), "number:-5000000000"});
  cases.push_back({make(VT_INT, [](VARIANT& v) { v.intVal = 9; }), "number:9"});
  cases.push_back({make(VT_UINT, [](VARIANT& v) { v.uintVal = 10; }), "number:10"});
  cases.push_back({make(VT_ERROR, [](VARIANT& v) { v.scode = DISP_E_PARAMNOTFOUND; }), "null:null"});
  cases.push_back({text(u"h\u00e9"), "string:h\u00e9"});
  for (Case& c : cases) {
    Arguments args{c.value};
    VariantHolder result;
    ASSERT_EQ(call(object.get(), u"kind", args, result.get()), S_OK) << c.expected;
    ASSERT_EQ(result.get()->vt, VT_BSTR);
    EXPECT_EQ(utf8_from_bstr(result.get()->bstrVal), c.expected);
  }
}

TEST_F(ScriptObjectTest, StructuredArgumentsArriveAsTablesObjectsAndTimes) {
  ComRef<IDispatch> object = expose(
      "return {sum = function(a) { var s = 0; for i = 1, #a { s = s + a[i] } return s };"
      " year = function(d) { return d.year };"
      " twice = function(o) { return o.double(21) };"
      " big = function(n) { return tostring(n) }}");
  SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 3);
  for (LONG i = 0; i < 3; ++i) {
    int32_t n = (i + 1) * 10;
    SafeArrayPutElement(array, &i, &n);
  }
  VARIANT list;
  VariantInit(&list);
  list.vt = VT_ARRAY | VT_I4;
  list.parray = array;
  Arguments sum_args{list};
  VariantHolder result;
  ASSERT_EQ(call(object.get(), u"sum", sum_args, result.get()), S_OK);
  EXPECT_EQ(result.get()->vt, VT_I4);
  EXPECT_EQ(result.get()->lVal, 60);

  SYSTEMTIME st{2024, 2, 0, 29, 13, 5, 0, 0};
  VARIANT date;
  VariantInit(&date);
  date.vt = VT_DATE;
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &date.date));
  Arguments date_args{date};
  VariantHolder year;
  ASSERT_EQ(call(object.get(), u"year", date_args, year.get()), S_OK);
  EXPECT_EQ(year.get()->lVal, 2024);

  // Another script object as argument: the callee calls back through it.
  ComRef<IDispatch> helper = expose("return {double = function(n) { return n * 2 }}");
  VARIANT helper_value;
  VariantInit(&helper_value);
  helper_value.vt = VT_DISPATCH;
  helper_value.pdispVal = helper.get();
  helper->AddRef();
  Arguments twice_args{helper_value};
  VariantHolder twice;
  ASSERT_EQ(call(object.get(), u"twice", twice_args, twice.get()), S_OK);
  EXPECT_EQ(twice.get()->lVal, 42);

  VARIANT big;
  VariantInit(&big);
  big.vt = VT_UI8;
  big.ullVal = 18446744073709551615ull;
  Arguments big_args{big};
  VariantHolder big_text;
  ASSERT_EQ(call(object.get(), u"big", big_args, big_text.get()), S_OK);
  EXPECT_EQ(utf8_from_bstr(big_text.get()->bstrVal), "18446744073709551615");
}

TEST_F(ScriptObjectTest, ResultsTakeTheirVariantTypes) {
  ComRef<IDispatch> object = expose(
      "return {pick = function(k) { select k { case 1 return 3 case 2 return 3.5 case 3 return true"
      " case 4 return 'x' case 5 return {1, 2} case 6 return null case 7 return {a = 1} } }}");
  const VARTYPE expected[] = {VT_I4, VT_R8, VT_BOOL, VT_BSTR, VT_ARRAY | VT_R8, VT_EMPTY, VT_DISPATCH};
  for (int k = 1; k <= 7; ++k) {
    Arguments args{i4(k)};
    VariantHolder result;
    ASSERT_EQ(call(object.get(), u"pick", args, result.get()), S_OK) << k;
    EXPECT_EQ(result.get()->vt, expected[k - 1]) << k;
  }
}

TEST_F(ScriptObjectTest, FurtherResultsFillTheByReferenceArguments) {
  ComRef<IDispatch> object =
      expose("return {swap = function(a, b, c) { return 'done', a * 3, a ++ b, {n = a} }}");
  int32_t number = 5;
  BSTR word = SysAllocString(u"old");
  VARIANT inner;
  VariantInit(&inner);
  VARIANT by_number, by_word, by_variant;
  VariantInit(&by_number);
  by_number.vt = VT_BYREF | VT_I4;
  by_number.plVal = &number;
  VariantInit(&by_word);
  by_word.vt = VT_BYREF | VT_BSTR;
  by_word.pbstrVal = &word;
  VariantInit(&by_variant);
  by_variant.vt = VT_BYREF | VT_VARIANT;
  by_variant.pvarVal = &inner;
  Arguments args{by_number, by_word, by_variant};
  VariantHolder result;
  ASSERT_EQ(call(object.get(), u"swap", args, result.get()), S_OK);
  EXPECT_EQ(utf8_from_bstr(result.get()->bstrVal), "done");
  EXPECT_EQ(number, 15);
  EXPECT_EQ(utf8_from_bstr(word), "5old");
  EXPECT_EQ(inner.vt, VT_DISPATCH);
  SysFreeString(word);
  VariantClear(&inner);
}

TEST_F(ScriptObjectTest, AByReferenceOutputThatCannotBeConvertedIsATypeMismatch) {
  ComRef<IDispatch> object = expose("return {f = function(a) { return 1, 'not a number' }}");
  int32_t number = 5;
  VARIANT by_number;
  VariantInit(&by_number);
  by_number.vt = VT_BYREF | VT_I4;
  by_number.plVal = &number;
  Arguments args{by_number};
  VariantHolder result;
  UINT bad = 99;
  EXCEPINFO exception = empty_exception();
  EXPECT_EQ(invoke(object.get(), id_of(object.get(), u"f"), DISPATCH_METHOD, args, result.get(),
                   &exception, &bad),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(number, 5);
  EXPECT_EQ(result.get()->vt, VT_EMPTY);
  clear_exception(&exception);
}

TEST_F(ScriptObjectTest, ScriptErrorsBecomeAutomationExceptionsWithTheirText) {
  ComRef<IDispatch> object = expose("return {fail = function() { error('the page asked too much') }}");
  Arguments none{};
  VariantHolder result;
  EXCEPINFO exception = empty_exception();
  ASSERT_EQ(call(object.get(), u"fail", none, result.get(), &exception), DISP_E_EXCEPTION);
  std::string description = utf8_from_bstr(exception.bstrDescription);
  EXPECT_NE(description.find("the page asked too much"), std::string::npos) << description;
  EXPECT_EQ(utf8_from_bstr(exception.bstrSource), "quevro");
  EXPECT_EQ(exception.scode, E_FAIL);
  clear_exception(&exception);
  // Without an exception record the code alone reports it.
  EXPECT_EQ(call(object.get(), u"fail", none, result.get()), DISP_E_EXCEPTION);
  // The state is usable afterwards and its stack is where it was.
  int top = get_top(L);
  EXPECT_EQ(call(object.get(), u"fail", none, result.get()), DISP_E_EXCEPTION);
  EXPECT_EQ(get_top(L), top);
}

TEST_F(ScriptObjectTest, UnknownNamesAndMembersAreRefused) {
  ComRef<IDispatch> table = expose("return {go = function(first, second) { return second }}");
  ComRef<IDispatch> function = expose("return function(x) { return x + 1 }");
  LPOLESTR names[3] = {const_cast<LPOLESTR>(u"go"), const_cast<LPOLESTR>(u"second"),
                       const_cast<LPOLESTR>(u"third")};
  DISPID ids[3];
  EXPECT_EQ(table->GetIDsOfNames(IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(ids[2], DISPID_UNKNOWN);
  LPOLESTR empty[1] = {const_cast<LPOLESTR>(u"")};
  EXPECT_EQ(table->GetIDsOfNames(IID_NULL, empty, 1, 0, ids), DISP_E_UNKNOWNNAME);
  LPOLESTR any[1] = {const_cast<LPOLESTR>(u"go")};
  EXPECT_EQ(function->GetIDsOfNames(IID_NULL, any, 1, 0, ids), DISP_E_UNKNOWNNAME);

  Arguments none{};
  VariantHolder result;
  EXPECT_EQ(call(table.get(), u"missing", none, result.get()), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(invoke(table.get(), 4242, DISPATCH_METHOD, none, result.get()), DISP_E_MEMBERNOTFOUND);
  // A property get of a missing member is empty, not an error.
  EXPECT_EQ(invoke(table.get(), id_of(table.get(), u"missing"), DISPATCH_PROPERTYGET, none, result.get()), S_OK);
  EXPECT_EQ(result.get()->vt, VT_EMPTY);
  EXPECT_EQ(invoke(table.get(), id_of(table.get(), u"go"), 0x10, none, result.get()), E_INVALIDARG);

  // The function's only member is itself.
  Arguments one{i4(41)};
  ASSERT_EQ(invoke(function.get(), DISPID_VALUE, DISPATCH_METHOD, one, result.get()), S_OK);
  EXPECT_EQ(result.get()->lVal, 42);
  // Read rather than called, it is the object itself, not a new one.
  ASSERT_EQ(invoke(function.get(), DISPID_VALUE, DISPATCH_PROPERTYGET, none, result.get()), S_OK);
  EXPECT_EQ(result.get()->vt, VT_DISPATCH);
  EXPECT_EQ(result.get()->pdispVal, function.get());
}

TEST_F(ScriptObjectTest, NamedArgumentsReachTheirParameters) {
  ComRef<IDispatch> object = expose("return {sub = function(a, b, c) { return tostring(a) ++ tostring(b) ++ tostring(c) }}");
  LPOLESTR names[3] = {const_cast<LPOLESTR>(u"sub"), const_cast<LPOLESTR>(u"c"),
                       const_cast<LPOLESTR>(u"a")};
  DISPID ids[3];
  ASSERT_EQ(object->GetIDsOfNames(IID_NULL, names, 3, 0, ids), S_OK);
  EXPECT_EQ(ids[1], 2);
  EXPECT_EQ(ids[2], 0);
  // sub(c = 'z', a = 'x'): named arguments come first in rgvarg; b is missing.
  VARIANT items[2] = {text(u"z"), text(u"x")};
  DISPID named[2] = {2, 0};
  DISPPARAMS params{items, named, 2, 2};
  VariantHolder result;
  ASSERT_EQ(object->Invoke(ids[0], IID_NULL, 0, DISPATCH_METHOD, &params, result.get(), nullptr, nullptr), S_OK);
  EXPECT_EQ(utf8_from_bstr(result.get()->bstrVal), "xnullz");
  // A named position that a positional argument already fills is refused.
  VARIANT clash[2] = {text(u"named"), text(u"positional")};
  DISPID clash_named[1] = {0};
  DISPPARAMS clash_params{clash, clash_named, 2, 1};
  UINT bad = 9;
  EXPECT_EQ(object->Invoke(ids[0], IID_NULL, 0, DISPATCH_METHOD, &clash_params, result.get(), nullptr, &bad),
            DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(bad, 0u);
  for (VARIANT& v : items) VariantClear(&v);
  for (VARIANT& v : clash) VariantClear(&v);
}

TEST_F(ScriptObjectTest, PropertiesAreReadAndStored) {
  eval("page = {title = 'draft'; rows = {}}; return page");
  ComRef<IDispatch> object = ComRef<IDispatch>::adopt(expose_script_value(L, -1));
  pop(L, 1);
  DISPID title = id_of(object.get(), u"title");
  Arguments none{};
  VariantHolder result;
  ASSERT_EQ(invoke(object.get(), title, DISPATCH_PROPERTYGET, none, result.get()), S_OK);
  EXPECT_EQ(utf8_from_bstr(result.get()->bstrVal), "draft");

  // The stored value is named DISPID_PROPERTYPUT, as a host passes it.
  VARIANT value = text(u"final");
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{&value, &put, 1, 1};
  ASSERT_EQ(object->Invoke(title, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr), S_OK);
  VariantClear(&value);
  ASSERT_EQ(load_buffer(L, "return page.title", 17, "=test"), 0);
  ASSERT_EQ(pcall(L, 0, 1, 0), 0);
  EXPECT_STREQ(to_string(L, -1), "final");
  pop(L, 1);

  // An unnamed stored value and an indexed put: rows[2] = 'b'.
  Arguments put_args{i4(2), text(u"b")};
  ASSERT_EQ(invoke(object.get(), id_of(object.get(), u"rows"), DISPATCH_PROPERTYPUT, put_args, nullptr), S_OK);
  ASSERT_EQ(load_buffer(L, "return page.rows[2]", 19, "=test"), 0);
  ASSERT_EQ(pcall(L, 0, 1, 0), 0);
  EXPECT_STREQ(to_string(L, -1), "b");
  pop(L, 1);

  // An indexed put into a value that is not a table is an exception with its text.
  Arguments bad_put{i4(1), i4(2)};
  EXCEPINFO exception = empty_exception();
  EXPECT_EQ(invoke(object.get(), title, DISPATCH_PROPERTYPUT, bad_put, nullptr, &exception), DISP_E_EXCEPTION);
  EXPECT_NE(utf8_from_bstr(exception.bstrDescription).find("Parametrized property puts only implemented"),
            std::string::npos);
  clear_exception(&exception);

  // A value with arguments but no way to take them.
  Arguments index{i4(1)};
  EXPECT_EQ(invoke(object.get(), title, DISPATCH_PROPERTYGET, index, result.get()), TYPE_E_OUTOFBOUNDS);
}

TEST_F(ScriptObjectTest, FunctionMembersReadAsPropertiesAreCallableObjects) {
  ComRef<IDispatch> object = expose("return {scale = 3; times = function(n) { return n * owner.scale }}");
  Arguments none{};
  VariantHolder method;
  ASSERT_EQ(invoke(object.get(), id_of(object.get(), u"times"), DISPATCH_PROPERTYGET, none, method.get()), S_OK);
  ASSERT_EQ(method.get()->vt, VT_DISPATCH);
  // Called on its own the function has no owner.
  ComRef<IDispatch> bare = expose("return {f = function() { return owner === null }}");
  VariantHolder f;
  ASSERT_EQ(invoke(bare.get(), id_of(bare.get(), u"f"), DISPATCH_PROPERTYGET, none, f.get()), S_OK);
  VariantHolder result;
  ASSERT_EQ(invoke(f.get()->pdispVal, DISPID_VALUE, DISPATCH_METHOD, none, result.get()), S_OK);
  EXPECT_EQ(result.get()->vt, VT_BOOL);
  EXPECT_EQ(result.get()->boolVal, VARIANT_TRUE);
  // The default member of a table without `_call` is the object itself.
  ASSERT_EQ(invoke(object.get(), DISPID_VALUE, DISPATCH_PROPERTYGET, none, result.get()), S_OK);
  EXPECT_EQ(result.get()->pdispVal, object.get());
}

TEST_F(ScriptObjectTest, NewEnumWalksTheTable) {
  ComRef<IDispatch> object = expose("return {'a', 'b', 'c'}");
  Arguments none{};
  VariantHolder result;
  ASSERT_EQ(invoke(object.get(), DISPID_NEWENUM, DISPATCH_PROPERTYGET, none, result.get()), S_OK);
  ASSERT_EQ(result.get()->vt, VT_UNKNOWN);
  ComRef<IEnumVARIANT> items;
  ASSERT_EQ(result.get()->punkVal->QueryInterface(IID_IEnumVARIANT, items.put_void()), S_OK);
  VARIANT got[2];
  ULONG fetched = 0;
  ASSERT_EQ(items->Next(2, got, &fetched), S_OK);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(utf8_from_bstr(got[0].bstrVal), "a");
  EXPECT_EQ(utf8_from_bstr(got[1].bstrVal), "b");
  for (VARIANT& v : got) VariantClear(&v);
  ComRef<IEnumVARIANT> copy;
  ASSERT_EQ(items->Clone(copy.put()), S_OK);
  ASSERT_EQ(items->Next(2, got, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 1u);
  EXPECT_EQ(utf8_from_bstr(got[0].bstrVal), "c");
  VariantClear(&got[0]);
  EXPECT_EQ(items->Next(1, got, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  // The copy carries on from where it was made.
  ASSERT_EQ(copy->Next(1, got, &fetched), S_OK);
  EXPECT_EQ(utf8_from_bstr(got[0].bstrVal), "c");
  VariantClear(&got[0]);
  ASSERT_EQ(items->Reset(), S_OK);
  EXPECT_EQ(items->Skip(2), S_OK);
  EXPECT_EQ(items->Skip(2), S_FALSE);
}

TEST_F(ScriptObjectTest, TheObjectKeepsItsTableAliveUntilTheLastReference) {
  eval("return {seen = function() { return 'alive' }}");
  IDispatch* object = expose_script_value(L, -1);
  pop(L, 1);
  collect();
  object->AddRef();
  EXPECT_EQ(object->Release(), 1u);
  Arguments none{};
  VariantHolder result;
  ASSERT_EQ(call(object, u"seen", none, result.get()), S_OK);
  EXPECT_EQ(utf8_from_bstr(result.get()->bstrVal), "alive");
  EXPECT_EQ(live_link_holders(), 1);
  object->Release();
  EXPECT_EQ(live_link_holders(), 0);
  // The anchor went with it: nothing in the registry keeps the table.
  registry_subtable(L, "com.anchors");
  int entries = 0;
  push_null(L);
  while (next(L, -2)) {
    if (type_of(L, -2) == TAG_POINTER) ++entries;
    pop(L, 1);
  }
  pop(L, 1);
  EXPECT_EQ(entries, 0);
}

TEST_F(ScriptObjectTest, AnObjectOutlivingItsStateIsDisconnectedNotDangling) {
  ComRef<IDispatch> object = expose("return {f = function() { return 1 }}");
  DISPID f = id_of(object.get(), u"f");
  ComRef<IEnumVARIANT> items;
  {
    Arguments none{};
    VariantHolder result;
    ASSERT_EQ(invoke(object.get(), DISPID_NEWENUM, DISPATCH_METHOD, none, result.get()), S_OK);
    result.get()->punkVal->QueryInterface(IID_IEnumVARIANT, items.put_void());
  }
  close_state(L);
  L = nullptr;
  Arguments none{};
  VariantHolder result;
  EXPECT_EQ(invoke(object.get(), f, DISPATCH_METHOD, none, result.get()), RPC_E_DISCONNECTED);
  LPOLESTR names[1] = {const_cast<LPOLESTR>(u"f")};
  DISPID id;
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id), RPC_E_DISCONNECTED);
  VARIANT got;
  EXPECT_EQ(items->Next(1, &got, nullptr), RPC_E_DISCONNECTED);
  EXPECT_EQ(live_link_holders(), 2);
  object.reset();
  items.reset();
}

TEST_F(ScriptObjectTest, OtherThreadsAreRefused) {
  ComRef<IDispatch> object = expose("return {f = function() { return 1 }}");
  DISPID f = id_of(object.get(), u"f");
  HRESULT hr = S_OK;
  std::thread([&] {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    hr = object->Invoke(f, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
  }).join();
  EXPECT_EQ(hr, RPC_E_WRONG_THREAD);
}

TEST_F(ScriptObjectTest, ScriptsSeeTheirOwnObjectsAsTheTablesTheyCameFrom) {
  eval("var t = {x = 1}; var o = com.ImplInterface(t); "
       "return com.RoundTrip(t) === t && com.RoundTrip(o) === t && com.IsObject(o) && o.x == 1");
  EXPECT_TRUE(to_boolean(L, -1));
  pop(L, 1);
}

}  // namespace
}  // namespace quevro::test
