#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "com/ole_date.h"
#include "com/variant.h"
#include "com_test_object.h"

using namespace quevro::com;
using quevro::com::testing::CountedObject;

namespace {

// A VARIANT that clears itself, for the conversion checks.
struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  ~Var() { VariantClear(&v); }
  Var(const Var&) = delete;
};

Var* real(Var* x, double d) {
  x->v.vt = VT_R8;
  x->v.dblVal = d;
  return x;
}

Var* text(Var* x, std::string_view s) {
  x->v.vt = VT_BSTR;
  x->v.bstrVal = bstr_from_utf8(s);
  return x;
}

HRESULT change(Var& out, Var& in, VARTYPE vt, uint16_t flags = 0) {
  return VariantChangeType(&out.v, &in.v, flags, vt);
}

std::string text_result(Var& in, uint16_t flags = 0) {
  Var out;
  HRESULT hr = change(out, in, VT_BSTR, flags);
  if (FAILED(hr)) return "error " + std::string(hresult_message(hr));
  EXPECT_EQ(out.v.vt, VT_BSTR);
  return utf8_from_bstr(out.v.bstrVal);
}

TEST(ComVariantChange, RealToIntegersRoundsHalvesToEven) {
  Var in, out;
  struct Case { double value; int32_t expected; };
  for (Case c : {Case{2.5, 2}, Case{3.5, 4}, Case{-2.5, -2}, Case{2.4999, 2}, Case{-0.6, -1}}) {
    ASSERT_EQ(change(out, *real(&in, c.value), VT_I4), S_OK) << c.value;
    EXPECT_EQ(out.v.vt, VT_I4);
    EXPECT_EQ(out.v.lVal, c.expected) << c.value;
  }
}

TEST(ComVariantChange, IntegerTargetsOverflowAtTheirLimits) {
  Var in, out;
  struct Case { VARTYPE vt; double fits; double overflows; };
  for (Case c : {Case{VT_I1, -128, 128}, Case{VT_UI1, 255, 256}, Case{VT_UI1, 0, -1},
                 Case{VT_I2, -32768, 32768}, Case{VT_UI2, 65535, 65536}, Case{VT_I4, 2147483647.0, 2147483648.0},
                 Case{VT_I4, -2147483648.0, -2147483649.0}, Case{VT_UI4, 4294967295.0, 4294967296.0},
                 Case{VT_I8, -9223372036854775808.0, 9223372036854775808.0},
                 Case{VT_UI8, 18446744073709549568.0, 18446744073709551616.0}}) {
    EXPECT_EQ(change(out, *real(&in, c.fits), c.vt), S_OK) << c.vt << " " << c.fits;
    EXPECT_EQ(out.v.vt, c.vt);
    out.v.vt = VT_EMPTY;
    EXPECT_EQ(change(out, *real(&in, c.overflows), c.vt), DISP_E_OVERFLOW) << c.vt << " " << c.overflows;
    // A failed conversion leaves the destination as it was.
    EXPECT_EQ(out.v.vt, VT_EMPTY);
  }
  EXPECT_EQ(change(out, *real(&in, std::nan("")), VT_I4), DISP_E_OVERFLOW);
}

TEST(ComVariantChange, IntegersBetweenTypes) {
  Var in, out;
  in.v.vt = VT_I4;
  in.v.lVal = -1;
  EXPECT_EQ(change(out, in, VT_UI4), DISP_E_OVERFLOW);
  EXPECT_EQ(change(out, in, VT_I2), S_OK);
  EXPECT_EQ(out.v.iVal, -1);
  in.v.vt = VT_UI8;
  in.v.ullVal = 0xFFFFFFFFFFFFFFFFull;
  EXPECT_EQ(change(out, in, VT_I8), DISP_E_OVERFLOW);
  ASSERT_EQ(change(out, in, VT_R8), S_OK);
  EXPECT_EQ(out.v.dblVal, 18446744073709551616.0);
  in.v.vt = VT_I8;
  in.v.llVal = 9007199254740993;  // not a double: the integer path must keep it exact
  ASSERT_EQ(change(out, in, VT_UI8), S_OK);
  EXPECT_EQ(out.v.ullVal, 9007199254740993u);
  in.v.vt = VT_INT;
  in.v.intVal = 70000;
  EXPECT_EQ(change(out, in, VT_UI2), DISP_E_OVERFLOW);
  ASSERT_EQ(change(out, in, VT_UINT), S_OK);
  EXPECT_EQ(out.v.vt, VT_UINT);
  EXPECT_EQ(out.v.uintVal, 70000u);
}

TEST(ComVariantChange, NumbersToReal) {
  Var in, out;
  in.v.vt = VT_I1;
  in.v.cVal = -5;
  ASSERT_EQ(change(out, in, VT_R8), S_OK);
  EXPECT_EQ(out.v.dblVal, -5.0);
  in.v.vt = VT_HRESULT;
  in.v.lVal = static_cast<int32_t>(0x80004005u);
  ASSERT_EQ(change(out, in, VT_R8), S_OK);
  EXPECT_EQ(out.v.dblVal, -2147467259.0);
  in.v.vt = VT_R4;
  in.v.fltVal = 0.5f;
  ASSERT_EQ(change(out, in, VT_R8), S_OK);
  EXPECT_EQ(out.v.dblVal, 0.5);
  EXPECT_EQ(change(out, *real(&in, 1e39), VT_R4), DISP_E_OVERFLOW);
  ASSERT_EQ(change(out, *real(&in, 3), VT_R4), S_OK);
  EXPECT_EQ(out.v.vt, VT_R4);
  EXPECT_EQ(out.v.fltVal, 3.0f);
}

TEST(ComVariantChange, CurrencyIsScaledByTenThousand) {
  Var in, out;
  // 1/32 and 3/32 are exact doubles whose scaled values end in one half: they round to even.
  ASSERT_EQ(change(out, *real(&in, 0.03125), VT_CY), S_OK);
  EXPECT_EQ(out.v.cyVal.int64, 312);
  ASSERT_EQ(change(out, *real(&in, 0.09375), VT_CY), S_OK);
  EXPECT_EQ(out.v.cyVal.int64, 938);
  ASSERT_EQ(change(out, *real(&in, -1.5), VT_CY), S_OK);
  EXPECT_EQ(out.v.cyVal.int64, -15000);
  EXPECT_EQ(change(out, *real(&in, 1e15), VT_CY), DISP_E_OVERFLOW);
  in.v.vt = VT_CY;
  in.v.cyVal.int64 = 25000;
  ASSERT_EQ(change(out, in, VT_R8), S_OK);
  EXPECT_EQ(out.v.dblVal, 2.5);
  ASSERT_EQ(change(out, in, VT_I4), S_OK);
  EXPECT_EQ(out.v.lVal, 2);
  EXPECT_EQ(text_result(in), "2.5");
  in.v.cyVal.int64 = -7;
  EXPECT_EQ(text_result(in), "-0.0007");
  in.v.vt = VT_I8;
  in.v.llVal = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(change(out, in, VT_CY), DISP_E_OVERFLOW);
}

TEST(ComVariantChange, DecimalToAndFromReal) {
  Var in, out;
  ASSERT_EQ(change(out, *real(&in, -12.375), VT_DECIMAL), S_OK);
  EXPECT_EQ(out.v.vt, VT_DECIMAL);
  EXPECT_EQ(out.v.decVal.scale, 3);
  EXPECT_EQ(out.v.decVal.sign, DECIMAL_NEG);
  EXPECT_EQ(out.v.decVal.Lo64, 12375u);
  Var back;
  ASSERT_EQ(change(back, out, VT_R8), S_OK);
  EXPECT_EQ(back.v.dblVal, -12.375);
  EXPECT_EQ(text_result(out), "-12.375");
  EXPECT_EQ(change(out, *real(&in, 1e30), VT_DECIMAL), DISP_E_OVERFLOW);
}

TEST(ComVariantChange, BooleansAreMinusOneAndZero) {
  Var in, out;
  ASSERT_EQ(change(out, *real(&in, 0.25), VT_BOOL), S_OK);
  EXPECT_EQ(out.v.boolVal, VARIANT_TRUE);
  ASSERT_EQ(change(out, *real(&in, 0), VT_BOOL), S_OK);
  EXPECT_EQ(out.v.boolVal, VARIANT_FALSE);
  in.v.vt = VT_BOOL;
  in.v.boolVal = VARIANT_TRUE;
  ASSERT_EQ(change(out, in, VT_I4), S_OK);
  EXPECT_EQ(out.v.lVal, -1);
  ASSERT_EQ(change(out, in, VT_R8), S_OK);
  EXPECT_EQ(out.v.dblVal, -1.0);
  EXPECT_EQ(change(out, in, VT_UI1), DISP_E_OVERFLOW);
  EXPECT_EQ(text_result(in), "-1");
  EXPECT_EQ(text_result(in, VARIANT_ALPHABOOL), "True");
  in.v.boolVal = VARIANT_FALSE;
  EXPECT_EQ(text_result(in, VARIANT_ALPHABOOL), "False");
  Var t;
  ASSERT_EQ(change(out, *text(&t, " true "), VT_BOOL), S_OK);
  EXPECT_EQ(out.v.boolVal, VARIANT_TRUE);
  Var f;
  ASSERT_EQ(change(out, *text(&f, "FALSE"), VT_BOOL), S_OK);
  EXPECT_EQ(out.v.boolVal, VARIANT_FALSE);
  Var n;
  ASSERT_EQ(change(out, *text(&n, "2"), VT_BOOL), S_OK);
  EXPECT_EQ(out.v.boolVal, VARIANT_TRUE);
  Var bad;
  EXPECT_EQ(change(out, *text(&bad, "yes"), VT_BOOL), DISP_E_TYPEMISMATCH);
}

TEST(ComVariantChange, TextsToNumbers) {
  Var out;
  struct Case { const char* text; double expected; };
  for (Case c : {Case{"42", 42}, Case{"  -3.5 ", -3.5}, Case{"1e3", 1000}, Case{"1,234.5", 1234.5},
                 Case{".5", 0.5}, Case{"&H1F", 31}, Case{"&o17", 15}, Case{"+7", 7}}) {
    Var in;
    ASSERT_EQ(change(out, *text(&in, c.text), VT_R8), S_OK) << c.text;
    EXPECT_EQ(out.v.dblVal, c.expected) << c.text;
  }
  for (const char* bad : {"", "  ", "abc", "1.2.3", "12abc", "e5", "1e", "&H", "&HZ", "\xC3\xA9"}) {
    Var in;
    EXPECT_EQ(change(out, *text(&in, bad), VT_R8), DISP_E_TYPEMISMATCH) << bad;
  }
  Var big;
  EXPECT_EQ(change(out, *text(&big, "300"), VT_UI1), DISP_E_OVERFLOW);
  Var exact;
  ASSERT_EQ(change(out, *text(&exact, "18446744073709551615"), VT_UI8), S_OK);
  EXPECT_EQ(out.v.ullVal, 18446744073709551615u);
  Var negative;
  ASSERT_EQ(change(out, *text(&negative, "-9223372036854775808"), VT_I8), S_OK);
  EXPECT_EQ(out.v.llVal, std::numeric_limits<int64_t>::min());
}

TEST(ComVariantChange, NumbersToTexts) {
  Var in;
  EXPECT_EQ(text_result(*real(&in, 3)), "3");
  EXPECT_EQ(text_result(*real(&in, -0.25)), "-0.25");
  EXPECT_EQ(text_result(*real(&in, 0.1)), "0.1");
  EXPECT_EQ(text_result(*real(&in, 1e20)), "1E+20");
  EXPECT_EQ(text_result(*real(&in, 1.0 / 3)), "0.333333333333333");
  in.v.vt = VT_UI8;
  in.v.ullVal = 18446744073709551615u;
  EXPECT_EQ(text_result(in), "18446744073709551615");
  in.v.vt = VT_I2;
  in.v.iVal = -300;
  EXPECT_EQ(text_result(in), "-300");
  Var empty;
  EXPECT_EQ(text_result(empty), "");
}

TEST(ComVariantChange, DatesToAndFromTexts) {
  Var in, out;
  ASSERT_EQ(change(out, *text(&in, "1999-12-31 18:30:15"), VT_DATE), S_OK);
  SYSTEMTIME t;
  ASSERT_TRUE(VariantTimeToSystemTime(out.v.date, &t));
  EXPECT_EQ(t.wYear, 1999);
  EXPECT_EQ(t.wMonth, 12);
  EXPECT_EQ(t.wDay, 31);
  EXPECT_EQ(t.wHour, 18);
  EXPECT_EQ(t.wMinute, 30);
  EXPECT_EQ(t.wSecond, 15);
  EXPECT_EQ(text_result(out), "12/31/1999 6:30:15 PM");
  Var us;
  Var same;
  ASSERT_EQ(change(same, *text(&us, "12/31/1999 6:30:15 pm"), VT_DATE), S_OK);
  EXPECT_EQ(same.v.date, out.v.date);
  Var day_only;
  ASSERT_EQ(change(out, *text(&day_only, "1900-01-01"), VT_DATE), S_OK);
  EXPECT_EQ(out.v.date, 2.0);
  EXPECT_EQ(text_result(out), "1/1/1900");
  Var time_only;
  ASSERT_EQ(change(out, *text(&time_only, "12:00 AM"), VT_DATE), S_OK);
  EXPECT_EQ(out.v.date, 0.0);
  Var noon;
  ASSERT_EQ(change(out, *text(&noon, "12:00"), VT_DATE), S_OK);
  EXPECT_EQ(out.v.date, 0.5);
  EXPECT_EQ(text_result(out), "12:00:00 PM");
  for (const char* bad : {"2001-02-29", "1999-13-01", "25:00", "1999-12-31 x", "tomorrow"}) {
    Var b;
    EXPECT_EQ(change(out, *text(&b, bad), VT_DATE), DISP_E_TYPEMISMATCH) << bad;
  }
}

TEST(ComVariantChange, RealsToDatesWithinTheRange) {
  Var in, out;
  ASSERT_EQ(change(out, *real(&in, 36526.75), VT_DATE), S_OK);
  EXPECT_EQ(out.v.vt, VT_DATE);
  EXPECT_EQ(out.v.date, 36526.75);
  EXPECT_EQ(change(out, *real(&in, 3e6), VT_DATE), DISP_E_OVERFLOW);
  EXPECT_EQ(change(out, *real(&in, -700000), VT_DATE), DISP_E_OVERFLOW);
  in.v.vt = VT_DATE;
  in.v.date = 1.5;
  ASSERT_EQ(change(out, in, VT_R8), S_OK);
  EXPECT_EQ(out.v.dblVal, 1.5);
}

TEST(ComVariantChange, EmptyNullAndErrors) {
  Var empty, out;
  ASSERT_EQ(change(out, empty, VT_I4), S_OK);
  EXPECT_EQ(out.v.lVal, 0);
  Var null_value;
  null_value.v.vt = VT_NULL;
  EXPECT_EQ(change(out, null_value, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(change(out, null_value, VT_BSTR), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(change(out, null_value, VT_NULL), S_OK);
  EXPECT_EQ(out.v.vt, VT_NULL);
  Var error;
  error.v.vt = VT_ERROR;
  error.v.scode = DISP_E_PARAMNOTFOUND;
  EXPECT_EQ(change(out, error, VT_R8), DISP_E_TYPEMISMATCH);
  Var number;
  EXPECT_EQ(change(out, *real(&number, 1), VT_DISPATCH), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(change(out, number, VT_VARIANT), DISP_E_BADVARTYPE);
  EXPECT_EQ(change(out, number, VT_I4 | VT_BYREF), DISP_E_BADVARTYPE);
  EXPECT_EQ(change(out, number, VT_ARRAY | VT_I4), DISP_E_TYPEMISMATCH);
}

TEST(ComVariantChange, InPlaceConversionFreesTheOldValue) {
  Var in;
  text(&in, "17");
  ASSERT_EQ(VariantChangeType(&in.v, &in.v, 0, VT_I2), S_OK);  // the sanitizers see a leak
  EXPECT_EQ(in.v.vt, VT_I2);
  EXPECT_EQ(in.v.iVal, 17);
}

TEST(ComVariantChange, ByReferenceSourcesAreReadThrough) {
  double value = 6.5;
  Var in, out;
  in.v.vt = VT_R8 | VT_BYREF;
  in.v.pdblVal = &value;
  ASSERT_EQ(change(out, in, VT_I4), S_OK);
  EXPECT_EQ(out.v.lVal, 6);
  EXPECT_EQ(in.v.vt, VT_R8 | VT_BYREF);
}

TEST(ComVariantChange, ObjectsConvertThroughTheirDefaultValue) {
  CountedObject object;
  object.value.vt = VT_I4;
  object.value.lVal = 12;
  Var in, out;
  in.v.vt = VT_DISPATCH;
  in.v.pdispVal = &object;
  object.AddRef();
  ASSERT_EQ(change(out, in, VT_BSTR), S_OK);
  EXPECT_EQ(utf8_from_bstr(out.v.bstrVal), "12");
  EXPECT_EQ(object.invocations, 1);
  EXPECT_EQ(change(out, in, VT_I4, VARIANT_NOVALUEPROP), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(object.invocations, 1);
  ASSERT_EQ(change(out, in, VT_UNKNOWN), S_OK);
  EXPECT_EQ(out.v.punkVal, static_cast<IUnknown*>(&object));
  EXPECT_EQ(object.references, 3u);
  VariantClear(&out.v);
  VariantClear(&in.v);
  EXPECT_EQ(object.references, 1u);
  in.v.vt = VT_DISPATCH;
  in.v.pdispVal = nullptr;
  EXPECT_EQ(change(out, in, VT_I4), DISP_E_TYPEMISMATCH);
}

}  // namespace

namespace {

// Every pair of types, with zeroed (null) contents: each conversion either succeeds with the
// requested type or fails leaving the destination untouched, and nothing crashes or leaks.
TEST(ComVariantChange, EveryTypePairAnswersWithoutHarm) {
  std::vector<VARTYPE> types;
  for (VARTYPE base = 0; base <= 80; ++base) {
    types.push_back(base);
    types.push_back(base | VT_BYREF);
    types.push_back(base | VT_ARRAY);
  }
  types.push_back(VT_ILLEGAL);
  int successes = 0;
  for (VARTYPE from : types) {
    for (VARTYPE to : types) {
      Var in, out;
      in.v.vt = from;
      out.v.vt = VT_I2;
      out.v.iVal = 99;
      HRESULT hr = VariantChangeType(&out.v, &in.v, 0, to);
      if (SUCCEEDED(hr)) {
        ++successes;
        EXPECT_EQ(out.v.vt, to) << from << " -> " << to;
      } else {
        EXPECT_EQ(out.v.vt, VT_I2) << from << " -> " << to;
        EXPECT_EQ(out.v.iVal, 99) << from << " -> " << to;
      }
      in.v.vt = is_variant_type(from) ? from : VARTYPE(VT_EMPTY);  // lets Var clear it
    }
  }
  EXPECT_GT(successes, 0);
}

}  // namespace
