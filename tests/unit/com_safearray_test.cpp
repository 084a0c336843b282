#include <gtest/gtest.h>

#include "com/safearray.h"
#include "com_test_object.h"

using namespace quevro::com;
using quevro::com::testing::CountedObject;

namespace {

TEST(ComSafeArray, DescriptorHasTheWin32Layout) {
  EXPECT_EQ(sizeof(SAFEARRAY), 32u);
  SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 3);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->cDims, 1);
  EXPECT_EQ(array->cbElements, 4u);
  EXPECT_EQ(array->cLocks, 0u);
  EXPECT_TRUE(array->fFeatures & FADF_HAVEVARTYPE);
  VARTYPE vt;
  ASSERT_EQ(SafeArrayGetVartype(array, &vt), S_OK);
  EXPECT_EQ(vt, VT_I4);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(ComSafeArray, BoundsWithNonZeroLowerBounds) {
  SAFEARRAYBOUND bounds[2] = {{3, 1}, {4, -2}};  // (1 To 3, -2 To 1)
  SAFEARRAY* array = SafeArrayCreate(VT_R8, 2, bounds);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(SafeArrayGetDim(array), 2u);
  LONG low, high;
  ASSERT_EQ(SafeArrayGetLBound(array, 1, &low), S_OK);
  ASSERT_EQ(SafeArrayGetUBound(array, 1, &high), S_OK);
  EXPECT_EQ(low, 1);
  EXPECT_EQ(high, 3);
  ASSERT_EQ(SafeArrayGetLBound(array, 2, &low), S_OK);
  ASSERT_EQ(SafeArrayGetUBound(array, 2, &high), S_OK);
  EXPECT_EQ(low, -2);
  EXPECT_EQ(high, 1);
  EXPECT_EQ(SafeArrayGetLBound(array, 0, &low), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(array, 3, &high), DISP_E_BADINDEX);
  // Stored last dimension first, as Win32 keeps them.
  EXPECT_EQ(array->rgsabound[0].lLbound, -2);
  EXPECT_EQ(array->rgsabound[1].lLbound, 1);

  LONG outside[][2] = {{0, 0}, {4, 0}, {1, -3}, {1, 2}};
  double value = 1;
  for (auto& index : outside) {
    EXPECT_EQ(SafeArrayPutElement(array, index, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetElement(array, index, &value), DISP_E_BADINDEX);
  }
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(ComSafeArray, FirstIndexVariesFastest) {
  SAFEARRAYBOUND bounds[3] = {{2, 0}, {3, 1}, {2, 5}};
  SAFEARRAY* array = SafeArrayCreate(VT_I4, 3, bounds);
  ASSERT_NE(array, nullptr);
  for (LONG k = 5; k <= 6; ++k)
    for (LONG j = 1; j <= 3; ++j)
      for (LONG i = 0; i <= 1; ++i) {
        LONG index[3] = {i, j, k};
        int32_t value = i * 100 + j * 10 + k;
        ASSERT_EQ(SafeArrayPutElement(array, index, &value), S_OK);
      }
  int32_t* data;
  ASSERT_EQ(SafeArrayAccessData(array, reinterpret_cast<void**>(&data)), S_OK);
  size_t n = 0;
  for (LONG k = 5; k <= 6; ++k)
    for (LONG j = 1; j <= 3; ++j)
      for (LONG i = 0; i <= 1; ++i) EXPECT_EQ(data[n++], i * 100 + j * 10 + k);
  ASSERT_EQ(SafeArrayUnaccessData(array), S_OK);
  LONG index[3] = {1, 2, 6};
  int32_t value = 0;
  ASSERT_EQ(SafeArrayGetElement(array, index, &value), S_OK);
  EXPECT_EQ(value, 126);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(ComSafeArray, LocksPreventDestroyAndRedim) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, 4);
  ASSERT_NE(array, nullptr);
  void* data;
  ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
  EXPECT_EQ(data, array->pvData);
  ASSERT_EQ(SafeArrayLock(array), S_OK);
  EXPECT_EQ(array->cLocks, 2u);
  EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
  SAFEARRAYBOUND bigger{8, 0};
  EXPECT_EQ(SafeArrayRedim(array, &bigger), DISP_E_ARRAYISLOCKED);
  ASSERT_EQ(SafeArrayUnlock(array), S_OK);
  EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
  ASSERT_EQ(SafeArrayUnaccessData(array), S_OK);
  EXPECT_EQ(SafeArrayUnlock(array), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(ComSafeArray, StringElementsAreCopiedInAndOut) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 1, 2);
  ASSERT_NE(array, nullptr);
  EXPECT_TRUE(array->fFeatures & FADF_BSTR);
  BSTR text = SysAllocString(u"first");
  LONG index = 1;
  ASSERT_EQ(SafeArrayPutElement(array, &index, text), S_OK);
  BSTR stored = static_cast<BSTR*>(array->pvData)[0];
  EXPECT_NE(stored, text);
  SysFreeString(text);
  BSTR out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(array, &index, &out), S_OK);
  EXPECT_NE(out, stored);
  EXPECT_EQ(std::u16string(bstr_view(out)), u"first");
  SysFreeString(out);
  // Replacing frees the old string (the sanitizers would see a leak otherwise); null is allowed.
  ASSERT_EQ(SafeArrayPutElement(array, &index, nullptr), S_OK);
  ASSERT_EQ(SafeArrayGetElement(array, &index, &out), S_OK);
  EXPECT_EQ(out, nullptr);
  index = 2;
  BSTR second = SysAllocString(u"second");
  ASSERT_EQ(SafeArrayPutElement(array, &index, second), S_OK);
  SysFreeString(second);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(ComSafeArray, VariantAndInterfaceElementsOwnTheirValues) {
  CountedObject object;
  SAFEARRAY* objects = SafeArrayCreateVector(VT_DISPATCH, 0, 2);
  ASSERT_NE(objects, nullptr);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(objects, &index, static_cast<IDispatch*>(&object)), S_OK);
  EXPECT_EQ(object.references, 2u);
  IDispatch* out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(objects, &index, &out), S_OK);
  EXPECT_EQ(out, &object);
  EXPECT_EQ(object.references, 3u);
  out->Release();

  SAFEARRAY* variants = SafeArrayCreateVector(VT_VARIANT, 0, 2);
  ASSERT_NE(variants, nullptr);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH;
  v.pdispVal = &object;
  ASSERT_EQ(SafeArrayPutElement(variants, &index, &v), S_OK);
  EXPECT_EQ(object.references, 3u);
  VARIANT got;
  ASSERT_EQ(SafeArrayGetElement(variants, &index, &got), S_OK);
  EXPECT_EQ(got.vt, VT_DISPATCH);
  EXPECT_EQ(object.references, 4u);
  VariantClear(&got);

  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(variants, &copy), S_OK);
  EXPECT_EQ(object.references, 4u);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(variants), S_OK);
  EXPECT_EQ(object.references, 2u);
  EXPECT_EQ(SafeArrayDestroy(objects), S_OK);
  EXPECT_EQ(object.references, 1u);
}

TEST(ComSafeArray, CopyIsDeepAndKeepsBoundsAndType) {
  SAFEARRAYBOUND bounds[2] = {{2, 3}, {2, -1}};
  SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 2, bounds);
  ASSERT_NE(array, nullptr);
  LONG index[2] = {4, 0};
  BSTR text = SysAllocString(u"cell");
  ASSERT_EQ(SafeArrayPutElement(array, index, text), S_OK);
  SysFreeString(text);
  ASSERT_EQ(SafeArrayLock(array), S_OK);
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(array, &copy), S_OK);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->cLocks, 0u);  // the copy is not locked with the original
  LONG low;
  ASSERT_EQ(SafeArrayGetLBound(copy, 2, &low), S_OK);
  EXPECT_EQ(low, -1);
  VARTYPE vt;
  ASSERT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
  EXPECT_EQ(vt, VT_BSTR);
  BSTR a = nullptr, b = nullptr;
  ASSERT_EQ(SafeArrayPtrOfIndex(array, index, reinterpret_cast<void**>(&a)), S_OK);
  ASSERT_EQ(SafeArrayPtrOfIndex(copy, index, reinterpret_cast<void**>(&b)), S_OK);
  EXPECT_NE(*reinterpret_cast<BSTR*>(a), *reinterpret_cast<BSTR*>(b));
  EXPECT_EQ(std::u16string(bstr_view(*reinterpret_cast<BSTR*>(b))), u"cell");
  SafeArrayUnlock(array);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  SAFEARRAY* nothing = copy;
  ASSERT_EQ(SafeArrayCopy(nullptr, &nothing), S_OK);
  EXPECT_EQ(nothing, nullptr);
}

TEST(ComSafeArray, RedimChangesTheRightmostDimension) {
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 2, bounds);
  ASSERT_NE(array, nullptr);
  for (LONG j = 0; j < 2; ++j)
    for (LONG i = 0; i < 2; ++i) {
      LONG index[2] = {i, j};
      BSTR text = bstr_from_utf8(std::to_string(i) + std::to_string(j));
      ASSERT_EQ(SafeArrayPutElement(array, index, text), S_OK);
      SysFreeString(text);
    }
  SAFEARRAYBOUND three{3, 0};
  ASSERT_EQ(SafeArrayRedim(array, &three), S_OK);
  LONG high;
  ASSERT_EQ(SafeArrayGetUBound(array, 2, &high), S_OK);
  EXPECT_EQ(high, 2);
  LONG kept[2] = {1, 1};
  BSTR out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(array, kept, &out), S_OK);
  EXPECT_EQ(utf8_from_bstr(out), "11");
  SysFreeString(out);
  LONG added[2] = {1, 2};
  ASSERT_EQ(SafeArrayGetElement(array, added, &out), S_OK);
  EXPECT_EQ(out, nullptr);
  SAFEARRAYBOUND one{1, 0};
  ASSERT_EQ(SafeArrayRedim(array, &one), S_OK);  // frees the dropped strings
  EXPECT_EQ(SafeArrayGetElement(array, kept, &out), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(ComSafeArray, BadArgumentsFailWithoutCrashing) {
  SAFEARRAYBOUND bound{1, 0};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &bound), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, &bound), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 1, nullptr), nullptr);
  SAFEARRAYBOUND huge[2] = {{0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_VARIANT, 2, huge), nullptr);
  EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
  LONG value;
  EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayLock(nullptr), E_INVALIDARG);
  SAFEARRAY* empty = SafeArrayCreateVector(VT_I4, 5, 0);
  ASSERT_NE(empty, nullptr);
  LONG high;
  ASSERT_EQ(SafeArrayGetUBound(empty, 1, &high), S_OK);
  EXPECT_EQ(high, 4);
  LONG index = 5;
  EXPECT_EQ(SafeArrayGetElement(empty, &index, &value), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
}

}  // namespace
