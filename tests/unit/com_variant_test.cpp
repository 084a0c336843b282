#include <gtest/gtest.h>

#include "com/safearray.h"
#include "com/variant.h"
#include "com_test_object.h"

using namespace quevro::com;
using quevro::com::testing::CountedObject;

namespace {

TEST(ComVariant, HasTheWin32SixtyFourBitLayout) {
  EXPECT_EQ(sizeof(VARIANT), 24u);
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(reinterpret_cast<char*>(&v.bstrVal) - reinterpret_cast<char*>(&v), 8);
  // A DECIMAL covers the whole VARIANT; its reserved word is the type.
  EXPECT_EQ(reinterpret_cast<char*>(&v.decVal.wReserved), reinterpret_cast<char*>(&v.vt));
}

TEST(ComVariant, CopiedStringIsSeparateAllocation) {
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  a.vt = VT_BSTR;
  a.bstrVal = SysAllocStringByteLen("abc", 3);
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_EQ(b.vt, VT_BSTR);
  EXPECT_NE(b.bstrVal, a.bstrVal);
  EXPECT_EQ(SysStringByteLen(b.bstrVal), 3u);  // the byte length survives the copy
  EXPECT_EQ(VariantClear(&a), S_OK);
  EXPECT_EQ(a.vt, VT_EMPTY);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.bstrVal), 3), "abc");
  EXPECT_EQ(VariantClear(&b), S_OK);
}

TEST(ComVariant, ClearingDispatchReleasesOnce) {
  CountedObject object;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH;
  v.pdispVal = &object;
  object.AddRef();  // the VARIANT's reference
  EXPECT_EQ(object.references, 2u);
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
  EXPECT_EQ(object.references, 3u);
  EXPECT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(object.references, 2u);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(object.references, 1u);
  EXPECT_EQ(VariantClear(&v), S_OK);  // already empty
  EXPECT_EQ(object.references, 1u);
}

TEST(ComVariant, CopyReplacesAndReleasesTheOldValue) {
  CountedObject old_object;
  VARIANT dest, src;
  VariantInit(&dest);
  VariantInit(&src);
  dest.vt = VT_UNKNOWN;
  dest.punkVal = &old_object;
  old_object.AddRef();
  src.vt = VT_I4;
  src.lVal = 7;
  ASSERT_EQ(VariantCopy(&dest, &src), S_OK);
  EXPECT_EQ(old_object.references, 1u);
  EXPECT_EQ(dest.vt, VT_I4);
  EXPECT_EQ(dest.lVal, 7);
  EXPECT_EQ(VariantCopy(&dest, &dest), S_OK);
  EXPECT_EQ(dest.lVal, 7);
}

TEST(ComVariant, ByReferenceValuesOwnNothing) {
  CountedObject object;
  IDispatch* slot = &object;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH | VT_BYREF;
  v.ppdispVal = &slot;
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
  EXPECT_EQ(copy.ppdispVal, &slot);
  EXPECT_EQ(object.references, 1u);
  EXPECT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(object.references, 1u);
  // Dereferencing takes a reference of its own.
  ASSERT_EQ(VariantCopyInd(&copy, &v), S_OK);
  EXPECT_EQ(copy.vt, VT_DISPATCH);
  EXPECT_EQ(copy.pdispVal, &object);
  EXPECT_EQ(object.references, 2u);
  VariantClear(&copy);
  EXPECT_EQ(object.references, 1u);
}

TEST(ComVariant, CopyIndDereferencesValuesStringsAndVariants) {
  int32_t number = 41;
  VARIANT v, out;
  VariantInit(&v);
  VariantInit(&out);
  v.vt = VT_I4 | VT_BYREF;
  v.plVal = &number;
  ASSERT_EQ(VariantCopyInd(&out, &v), S_OK);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, 41);

  BSTR text = SysAllocString(u"xy");
  v.vt = VT_BSTR | VT_BYREF;
  v.pbstrVal = &text;
  ASSERT_EQ(VariantCopyInd(&out, &v), S_OK);
  EXPECT_EQ(out.vt, VT_BSTR);
  EXPECT_NE(out.bstrVal, text);
  EXPECT_EQ(std::u16string(bstr_view(out.bstrVal)), u"xy");
  VariantClear(&out);
  SysFreeString(text);

  VARIANT inner;
  VariantInit(&inner);
  inner.vt = VT_R8;
  inner.dblVal = 2.5;
  v.vt = VT_VARIANT | VT_BYREF;
  v.pvarVal = &inner;
  ASSERT_EQ(VariantCopyInd(&out, &v), S_OK);
  EXPECT_EQ(out.vt, VT_R8);
  EXPECT_EQ(out.dblVal, 2.5);

  // In place: the VARIANT itself becomes the value.
  v.vt = VT_I4 | VT_BYREF;
  v.plVal = &number;
  ASSERT_EQ(VariantCopyInd(&v, &v), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 41);
}

TEST(ComVariant, RejectsTypesAVariantCannotHold) {
  VARIANT v;
  VariantInit(&v);
  for (VARTYPE bad : {VARTYPE(15), VARTYPE(VT_VARIANT), VARTYPE(VT_VECTOR | VT_I4),
                      VARTYPE(VT_ARRAY | VT_EMPTY), VARTYPE(0x0FFF), VARTYPE(VT_BYREF | VT_NULL)}) {
    v.vt = bad;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << bad;
    EXPECT_EQ(v.vt, bad);
  }
  v.vt = VT_EMPTY;
  VARIANT bad_source;
  VariantInit(&bad_source);
  bad_source.vt = 15;
  EXPECT_EQ(VariantCopy(&v, &bad_source), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(ComVariant, ArraysAreCopiedDeeplyAndLockedOnesStay) {
  VARIANT v, copy;
  VariantInit(&v);
  VariantInit(&copy);
  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
  LONG index = 1;
  BSTR text = SysAllocString(u"two");
  ASSERT_EQ(SafeArrayPutElement(v.parray, &index, text), S_OK);
  SysFreeString(text);
  ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
  EXPECT_NE(copy.parray, v.parray);
  BSTR* original_data = static_cast<BSTR*>(v.parray->pvData);
  BSTR* copied_data = static_cast<BSTR*>(copy.parray->pvData);
  EXPECT_NE(original_data[1], copied_data[1]);
  EXPECT_EQ(std::u16string(bstr_view(copied_data[1])), u"two");

  ASSERT_EQ(SafeArrayLock(v.parray), S_OK);
  EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(v.vt, VT_ARRAY | VT_BSTR);
  ASSERT_EQ(SafeArrayUnlock(v.parray), S_OK);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(VariantClear(&copy), S_OK);
}

}  // namespace
