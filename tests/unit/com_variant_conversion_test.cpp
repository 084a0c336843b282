// Script values to VARIANTs and back through the native interface: the chosen types, the
// arrays made from tables and read back as tables, and the error texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "vm_support.h"
#include "com/com_error.h"
#include "com/ole_date.h"
#include "com/safearray.h"
#include "com/variant_conversion.h"
#include "lib/math_library.h"
#include "lib/size64.h"
#include "lib/time_library.h"
#include "lib/time_object.h"

namespace quevro::test {
namespace {

using namespace quevro::com;

class VariantConversion : public VmTest {
 protected:
  void SetUp() override {
    VmTest::SetUp();
    open_math_library(L);
    open_time_library(L);
    set_top(L, 0);
  }

  // Converts the value on top of the stack (popping it); the conversion must succeed.
  void convert_top(VARIANT* out, VARTYPE requested = VT_VARIANT,
                   VARTYPE preferred = NO_PREFERRED_TYPE) {
    int status = protect(L, [&](VmState* s) { to_variant(s, -1, out, requested, preferred); });
    ASSERT_EQ(status, 0) << top_text(L);
    pop(L, 1);
  }

  // The error text of converting the value on top of the stack.
  std::string conversion_error(VARTYPE requested = VT_VARIANT) {
    VariantHolder out;
    int status = protect(L, [&](VmState* s) { to_variant(s, -1, out.get(), requested); });
    EXPECT_NE(status, 0);
    EXPECT_EQ(out.get()->vt, VT_EMPTY);
    std::string text = status ? top_text(L) : std::string();
    set_top(L, 0);
    return text;
  }

  // Pushes the script value of v; the conversion must succeed.
  void push_back(const VARIANT* v) {
    int status = protect(L, [&](VmState* s) { push_variant(s, v); });
    ASSERT_EQ(status, 0) << top_text(L);
  }

  std::string push_error(const VARIANT* v) {
    int status = protect(L, [&](VmState* s) { push_variant(s, v); });
    EXPECT_NE(status, 0);
    std::string text = status ? top_text(L) : std::string();
    set_top(L, 0);
    return text;
  }

  // A table {1..n} of numbers, or of the given texts.
  void push_number_list(std::initializer_list<double> items) {
    new_table(L, static_cast<int>(items.size()), 0);
    int i = 1;
    for (double n : items) {
      push_number(L, n);
      raw_set_index(L, -2, i++);
    }
  }

  double number_at(int table, int i) {
    raw_get_index(L, table, i);
    double n = to_number(L, -1);
    pop(L, 1);
    return n;
  }
};

TEST_F(VariantConversion, NumbersWithoutATypeAreWholeI4OrR8) {
  struct Case { double n; VARTYPE vt; };
  for (Case c : {Case{3, VT_I4}, Case{0, VT_I4}, Case{-7, VT_I4}, Case{3.5, VT_R8},
                 Case{4294967296.0, VT_R8}, Case{2147483647.0, VT_I4}, Case{-2147483648.0, VT_I4},
                 Case{2147483648.0, VT_R8}, Case{-0.5, VT_R8}, Case{NAN, VT_R8}}) {
    VariantHolder v;
    number_to_variant(c.n, VT_VARIANT, v.get());
    EXPECT_EQ(v.get()->vt, c.vt) << c.n;
    if (c.vt == VT_I4) {
      EXPECT_EQ(v.get()->lVal, static_cast<int32_t>(c.n));
    }
  }
}

TEST_F(VariantConversion, NumbersTakeTheRequestedIntegerTypeTruncated) {
  VariantHolder v;
  number_to_variant(3, VT_R4, v.get());
  EXPECT_EQ(v.get()->vt, VT_R4);
  EXPECT_EQ(v.get()->fltVal, 3.0f);
  number_to_variant(-2.9, VT_I2, v.get());
  EXPECT_EQ(v.get()->vt, VT_I2);
  EXPECT_EQ(v.get()->iVal, -2);
  number_to_variant(7.9, VT_INT, v.get());
  EXPECT_EQ(v.get()->vt, VT_I4);
  EXPECT_EQ(v.get()->lVal, 7);
  number_to_variant(4294967297.0, VT_UINT, v.get());
  EXPECT_EQ(v.get()->vt, VT_UI4);
  EXPECT_EQ(v.get()->ulVal, 1u);
  number_to_variant(-1, VT_UI4, v.get());
  EXPECT_EQ(v.get()->ulVal, 0xFFFFFFFFu);
  number_to_variant(300, VT_UI1, v.get());
  EXPECT_EQ(v.get()->vt, VT_UI1);
  EXPECT_EQ(v.get()->bVal, 44);
  number_to_variant(-3, VT_I1, v.get());
  EXPECT_EQ(v.get()->cVal, -3);
  number_to_variant(65537, VT_UI2, v.get());
  EXPECT_EQ(v.get()->uiVal, 1);
  number_to_variant(-5e15, VT_I8, v.get());
  EXPECT_EQ(v.get()->vt, VT_I8);
  EXPECT_EQ(v.get()->llVal, -5000000000000000LL);
  number_to_variant(1e19, VT_UI8, v.get());
  EXPECT_EQ(v.get()->vt, VT_UI8);
  EXPECT_EQ(v.get()->ullVal, 10000000000000000000ULL);
}

TEST_F(VariantConversion, NumbersForOtherTypesGoThroughTheTypeChanger) {
  VariantHolder v;
  number_to_variant(1.5, VT_CY, v.get());
  EXPECT_EQ(v.get()->vt, VT_CY);
  EXPECT_EQ(v.get()->cyVal.int64, 15000);
  number_to_variant(2, VT_BSTR, v.get());
  EXPECT_EQ(v.get()->vt, VT_BSTR);
  EXPECT_EQ(utf8_from_bstr(v.get()->bstrVal), "2");
  VariantClear(v.get());
  // No conversion to an interface: the untyped rule applies.
  number_to_variant(2, VT_DISPATCH, v.get());
  EXPECT_EQ(v.get()->vt, VT_I4);
}

TEST_F(VariantConversion, NullBooleansAndPointers) {
  VariantHolder a, b, c, d;
  push_null(L);
  convert_top(a.get());
  EXPECT_EQ(a.get()->vt, VT_EMPTY);
  push_boolean(L, true);
  convert_top(b.get());
  EXPECT_EQ(b.get()->vt, VT_BOOL);
  EXPECT_EQ(b.get()->boolVal, VARIANT_TRUE);
  push_boolean(L, false);
  convert_top(c.get());
  EXPECT_EQ(c.get()->boolVal, VARIANT_FALSE);
  int target = 0;
  push_pointer(L, &target);
  convert_top(d.get());
  EXPECT_EQ(d.get()->vt, VT_PTR);
  EXPECT_EQ(d.get()->byref, &target);
}

TEST_F(VariantConversion, StringsBecomeBstrsAndComeBackAsUtf8) {
  VariantHolder v;
  push_string(L, "h\xC3\xA9llo \xF0\x9F\x98\x80");
  convert_top(v.get());
  ASSERT_EQ(v.get()->vt, VT_BSTR);
  EXPECT_EQ(bstr_view(v.get()->bstrVal), std::u16string(u"h\u00e9llo \U0001F600"));
  push_back(v.get());
  EXPECT_EQ(top_text(L), "h\xC3\xA9llo \xF0\x9F\x98\x80");
}

TEST_F(VariantConversion, WideStringsAreCopiedUnitForUnit) {
  VariantHolder v;
  std::u16string text = u"a\u20acb";
  push_wstring(L, text.data(), text.size());
  convert_top(v.get());
  ASSERT_EQ(v.get()->vt, VT_BSTR);
  EXPECT_EQ(bstr_view(v.get()->bstrVal), text);
}

TEST_F(VariantConversion, NullBstrReadsAsEmptyString) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = nullptr;
  push_back(&v);
  EXPECT_EQ(top_text(L), "");
}

TEST_F(VariantConversion, Size64IsUi8BothWays) {
  VariantHolder v;
  push_size64(L, 0xFFFFFFFFFFFFFFFEull);
  convert_top(v.get());
  ASSERT_EQ(v.get()->vt, VT_UI8);
  EXPECT_EQ(v.get()->ullVal, 0xFFFFFFFFFFFFFFFEull);
  push_back(v.get());
  ASSERT_TRUE(is_size64(L, -1));
  uint64_t back = 0;
  ASSERT_TRUE(to_size64(L, -1, &back));
  EXPECT_EQ(back, 0xFFFFFFFFFFFFFFFEull);
}

TEST_F(VariantConversion, SignedAndOtherNumericResultsBecomeNumbers) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I8;
  v.llVal = -1234567890123LL;
  push_back(&v);
  EXPECT_EQ(to_number(L, -1), -1234567890123.0);
  v.vt = VT_CY;
  v.cyVal.int64 = 12345;
  push_back(&v);
  EXPECT_EQ(to_number(L, -1), 1.2345);
  v.vt = VT_UI1;
  v.llVal = 0;
  v.bVal = 200;
  push_back(&v);
  EXPECT_EQ(to_number(L, -1), 200);
  v.vt = VT_R4;
  v.fltVal = 0.5f;
  push_back(&v);
  EXPECT_EQ(to_number(L, -1), 0.5);
  v.vt = VT_HRESULT;
  v.lVal = E_FAIL;
  push_back(&v);
  EXPECT_EQ(to_number(L, -1), static_cast<double>(E_FAIL));
}

TEST_F(VariantConversion, EmptyNullAndErrorAreNull) {
  for (VARTYPE vt : {VT_EMPTY, VT_NULL, VT_ERROR}) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    push_back(&v);
    EXPECT_EQ(type_of(L, -1), TAG_NULL) << vt;
  }
}

TEST_F(VariantConversion, BooleansComeBack) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = VARIANT_TRUE;
  push_back(&v);
  EXPECT_EQ(type_of(L, -1), TAG_BOOLEAN);
  EXPECT_TRUE(to_boolean(L, -1));
  v.boolVal = VARIANT_FALSE;
  push_back(&v);
  EXPECT_FALSE(to_boolean(L, -1));
}

TEST_F(VariantConversion, ByReferenceValuesAreReadThrough) {
  int32_t target = 41;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BYREF | VT_I4;
  v.plVal = &target;
  push_back(&v);
  EXPECT_EQ(to_number(L, -1), 41);
}

TEST_F(VariantConversion, TypesWithoutAScriptValueRaiseNotImplemented) {
  for (VARTYPE vt : {VARTYPE{VT_VARIANT}, VARTYPE{15}, VARTYPE{VT_PTR}, VARTYPE{VT_RECORD},
                     VARTYPE{VT_FILETIME}}) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    char expected[64];
    std::snprintf(expected, sizeof expected, "quevro com library - Type 0x%.2x not implemented.", vt);
    EXPECT_EQ(push_error(&v), expected);
  }
}

TEST_F(VariantConversion, PointerTypesComeBackAsPointers) {
  int target = 0;
  for (VARTYPE vt : {VT_VOID, VT_INT_PTR, VT_UINT_PTR}) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.byref = &target;
    push_back(&v);
    ASSERT_EQ(type_of(L, -1), TAG_POINTER);
    EXPECT_EQ(stack_address(L, -1)->u.p, &target);
  }
}

TEST_F(VariantConversion, NullInterfacesAreNull) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH;
  v.pdispVal = nullptr;
  push_back(&v);
  EXPECT_EQ(type_of(L, -1), TAG_NULL);
}

TEST_F(VariantConversion, BuffersBecomeByteArraysAndByteArraysStrings) {
  VariantHolder v;
  unsigned char* bytes = static_cast<unsigned char*>(new_cdata(L, 4));
  std::memcpy(bytes, "a\0bc", 4);
  convert_top(v.get());
  ASSERT_EQ(v.get()->vt, VT_ARRAY | VT_UI1);
  ASSERT_EQ(v.get()->parray->rgsabound[0].cElements, 4u);
  EXPECT_EQ(std::memcmp(v.get()->parray->pvData, "a\0bc", 4), 0);
  push_back(v.get());
  size_t len;
  const char* text = to_lstring(L, -1, &len);
  EXPECT_EQ(std::string(text, len), std::string("a\0bc", 4));
}

TEST_F(VariantConversion, TimeObjectsAreDatesAndDatesTimeObjects) {
  ASSERT_EQ(protect(L, [](VmState* s) {
    CivilTime t;
    t.year = 2024; t.month = 2; t.day = 29; t.hour = 13; t.minute = 30; t.second = 15;
    push_time_object(s, t, "%Y", nullptr, 0);
  }), 0);
  VariantHolder v;
  convert_top(v.get());
  ASSERT_EQ(v.get()->vt, VT_DATE);
  SYSTEMTIME st{2024, 2, 0, 29, 13, 30, 15, 0};
  DATE expected;
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &expected));
  EXPECT_DOUBLE_EQ(v.get()->date, expected);

  push_back(v.get());
  ASSERT_TRUE(is_time_object(L, -1));
  CivilTime back;
  ASSERT_EQ(protect(L, [&](VmState* s) { back = read_fields(s, 1); }), 0);
  EXPECT_EQ(back.year, 2024);
  EXPECT_EQ(back.month, 2);
  EXPECT_EQ(back.day, 29);
  EXPECT_EQ(back.hour, 13);
  EXPECT_EQ(back.minute, 30);
  EXPECT_EQ(back.second, 15);
  EXPECT_EQ(back.dayofweek, 4);  // a Thursday
}

TEST_F(VariantConversion, DatesOutsideTheCalendarRaiseOverflow) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DATE;
  v.date = latest_date + 2;
  EXPECT_EQ(push_error(&v), com_error_text(DISP_E_OVERFLOW));
}

TEST_F(VariantConversion, NumberListIsAZeroBasedR8Vector) {
  VariantHolder v;
  push_number_list({1, 2, 3});
  convert_top(v.get());
  ASSERT_EQ(v.get()->vt, VT_ARRAY | VT_R8);
  SAFEARRAY* a = v.get()->parray;
  ASSERT_EQ(SafeArrayGetDim(a), 1u);
  LONG lower, upper;
  SafeArrayGetLBound(a, 1, &lower);
  SafeArrayGetUBound(a, 1, &upper);
  EXPECT_EQ(lower, 0);
  EXPECT_EQ(upper, 2);
  for (LONG i = 0; i < 3; ++i) {
    double d;
    ASSERT_EQ(SafeArrayGetElement(a, &i, &d), S_OK);
    EXPECT_EQ(d, i + 1);
  }
}

TEST_F(VariantConversion, StringListIsABstrVectorAndMixedListAVariantVector) {
  VariantHolder strings, mixed;
  new_table(L, 2, 0);
  push_string(L, "x");
  raw_set_index(L, -2, 1);
  push_string(L, "y");
  raw_set_index(L, -2, 2);
  convert_top(strings.get());
  EXPECT_EQ(strings.get()->vt, VT_ARRAY | VT_BSTR);

  new_table(L, 2, 0);
  push_number(L, 1);
  raw_set_index(L, -2, 1);
  push_string(L, "y");
  raw_set_index(L, -2, 2);
  convert_top(mixed.get());
  ASSERT_EQ(mixed.get()->vt, VT_ARRAY | VT_VARIANT);
  LONG i = 1;
  VARIANT element;
  VariantInit(&element);
  ASSERT_EQ(SafeArrayGetElement(mixed.get()->parray, &i, &element), S_OK);
  EXPECT_EQ(element.vt, VT_BSTR);
  EXPECT_EQ(utf8_from_bstr(element.bstrVal), "y");
  VariantClear(&element);
}

TEST_F(VariantConversion, RequestedAndPreferredElementTypesApply) {
  VariantHolder requested, preferred;
  push_number_list({1.9, 2});
  convert_top(requested.get(), VT_ARRAY | VT_I4);
  ASSERT_EQ(requested.get()->vt, VT_ARRAY | VT_I4);
  LONG i = 0;
  int32_t first;
  SafeArrayGetElement(requested.get()->parray, &i, &first);
  EXPECT_EQ(first, 2);  // the type changer rounds

  push_number_list({1, 2});
  convert_top(preferred.get(), VT_VARIANT, VT_BSTR);
  ASSERT_EQ(preferred.get()->vt, VT_ARRAY | VT_BSTR);
}

TEST_F(VariantConversion, NestedTablesGiveOneDimensionPerLevel) {
  VariantHolder v;
  new_table(L, 2, 0);
  push_number_list({1, 2, 3});
  raw_set_index(L, -2, 1);
  push_number_list({4, 5, 6});
  raw_set_index(L, -2, 2);
  convert_top(v.get());
  ASSERT_EQ(v.get()->vt, VT_ARRAY | VT_R8);
  SAFEARRAY* a = v.get()->parray;
  ASSERT_EQ(SafeArrayGetDim(a), 2u);
  LONG upper;
  SafeArrayGetUBound(a, 1, &upper);
  EXPECT_EQ(upper, 1);
  SafeArrayGetUBound(a, 2, &upper);
  EXPECT_EQ(upper, 2);
  LONG at[2] = {1, 2};
  double d;
  ASSERT_EQ(SafeArrayGetElement(a, at, &d), S_OK);
  EXPECT_EQ(d, 6);

  // Back: the same nesting, and the element type remembered in the metatable.
  push_back(v.get());
  int outer = get_top(L);
  EXPECT_EQ(RawTable(L, outer).length(), 2);
  raw_get_index(L, outer, 2);
  int inner = get_top(L);
  EXPECT_EQ(RawTable(L, inner).length(), 3);
  EXPECT_EQ(number_at(inner, 1), 4);
  EXPECT_EQ(number_at(inner, 3), 6);
  ASSERT_TRUE(get_metafield(L, inner, "_safearray_type"));
  EXPECT_EQ(to_number(L, -1), VT_R8);
  pop(L, 2);

  // And through again: the same array type and shape.
  VariantHolder again;
  convert_top(again.get());
  ASSERT_EQ(again.get()->vt, VT_ARRAY | VT_R8);
  ASSERT_EQ(SafeArrayGetDim(again.get()->parray), 2u);
  ASSERT_EQ(SafeArrayGetElement(again.get()->parray, at, &d), S_OK);
  EXPECT_EQ(d, 6);
}

TEST_F(VariantConversion, SafearrayTypeOfTheMetatableIsKeptOnTheWayBack) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_I2, 0, 2);
  LONG i = 1;
  int16_t seven = 7;
  SafeArrayPutElement(a, &i, &seven);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_I2;
  v.parray = a;
  push_back(&v);
  VariantClear(&v);
  EXPECT_EQ(number_at(get_top(L), 2), 7);
  VariantHolder again;
  convert_top(again.get());
  EXPECT_EQ(again.get()->vt, VT_ARRAY | VT_I2);
}

TEST_F(VariantConversion, ArraysWithoutElementsAreNull) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_R8;
  v.parray = SafeArrayCreateVector(VT_R8, 0, 0);
  push_back(&v);
  EXPECT_EQ(type_of(L, -1), TAG_NULL);
  VariantClear(&v);
}

TEST_F(VariantConversion, IrregularNestingIsRefused) {
  new_table(L, 2, 0);
  push_number_list({1, 2});
  raw_set_index(L, -2, 1);
  push_number_list({3});
  raw_set_index(L, -2, 2);
  EXPECT_EQ(conversion_error(), "Cannot convert table to safearray");

  new_table(L, 2, 0);
  push_number_list({1, 2});
  raw_set_index(L, -2, 1);
  push_number(L, 3);
  raw_set_index(L, -2, 2);
  EXPECT_EQ(conversion_error(), "Cannot convert table to safearray");
}

TEST_F(VariantConversion, ATableHoldingItselfIsRefused) {
  new_table(L, 1, 0);
  push_value(L, -1);
  raw_set_index(L, -2, 1);
  EXPECT_EQ(conversion_error(), "Cannot convert table to safearray");
}

TEST_F(VariantConversion, ArrayElementTypesAreRefused) {
  VariantHolder out;
  push_number_list({1});
  int status = protect(L, [&](VmState* s) {
    table_to_safearray(s, -1, VT_ARRAY | VT_I4, out.get());
  });
  ASSERT_NE(status, 0);
  EXPECT_EQ(top_text(L), "SAFEARRAY of SAFEARRAYS not allowed");
  set_top(L, 0);
  push_number_list({1});
  status = protect(L, [&](VmState* s) { table_to_safearray(s, -1, VT_VOID, out.get()); });
  ASSERT_NE(status, 0);
  EXPECT_EQ(top_text(L), "Type not compatible with automation.");
  EXPECT_EQ(out.get()->vt, VT_EMPTY);
}

TEST_F(VariantConversion, ElementsThatDoNotChangeTypeRaiseTheCodeText) {
  new_table(L, 1, 0);
  push_string(L, "not a number");
  raw_set_index(L, -2, 1);
  EXPECT_EQ(conversion_error(VT_ARRAY | VT_R8), com_error_text(DISP_E_TYPEMISMATCH));
}

TEST_F(VariantConversion, SafearrayFieldWithBytesGivesAByteArray) {
  VariantHolder v;
  new_table(L, 0, 1);
  push_lstring(L, "xyz", 3);
  raw_set_field(L, -2, "_safearray");
  convert_top(v.get());
  ASSERT_EQ(v.get()->vt, VT_ARRAY | VT_UI1);
  EXPECT_EQ(std::memcmp(v.get()->parray->pvData, "xyz", 3), 0);
}

TEST_F(VariantConversion, SafearrayFieldWithATableUsesItsType) {
  VariantHolder v;
  new_table(L, 0, 2);
  push_number_list({5, 6});
  raw_set_field(L, -2, "_safearray");
  push_number(L, VT_I4);
  raw_set_field(L, -2, "_type");
  convert_top(v.get());
  EXPECT_EQ(v.get()->vt, VT_ARRAY | VT_I4);
}

TEST_F(VariantConversion, PlainTablesAndFunctionsBecomeScriptObjectsThatComeBackAsThemselves) {
  new_table(L, 0, 1);
  push_number(L, 1);
  raw_set_field(L, -2, "a");
  push_function(L, [](VmState*) { return 0; });
  for (int idx = 1; idx <= 2; ++idx) {
    VariantHolder v;
    push_value(L, idx);
    convert_top(v.get());
    ASSERT_EQ(v.get()->vt, VT_DISPATCH);
    push_back(v.get());
    EXPECT_TRUE(raw_equal(L, -1, idx));
    pop(L, 1);
  }
  // Values without any conversion still say so.
  push_value(L, 1);
  Value* slot = stack_address(L, -1);
  *slot = make_object(new_fiber(L));
  EXPECT_EQ(conversion_error(), "No value to convert.");
}

TEST_F(VariantConversion, HresultTextsNameTheCommonCodes) {
  std::string text = hresult_text(DISP_E_TYPEMISMATCH);
  EXPECT_EQ(text, std::string(hresult_message(DISP_E_TYPEMISMATCH)) + "(DISP_E_TYPEMISMATCH,0x80020005)");
  EXPECT_EQ(hresult_text(E_FAIL), std::string(hresult_message(E_FAIL)) + "(0x80004005)");
  EXPECT_EQ(hresult_text(hresult(0x8BADF00Du)), "");
  EXPECT_EQ(com_error_text(E_INVALIDARG),
            "COM error\n" + std::string(hresult_message(E_INVALIDARG)) + "(E_INVALIDARG,0x80070057)");
}

}  // namespace
}  // namespace quevro::test
