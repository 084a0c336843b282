// Declaration keywords of automation types.
#include <gtest/gtest.h>

#include "com/type_names.h"

namespace quevro::com {
namespace {

TEST(ComTypeNames, BaseTypesHaveTheirKeywords) {
  EXPECT_EQ(declaration_type_name(VT_I2), "word");
  EXPECT_EQ(declaration_type_name(VT_INT), "int");
  EXPECT_EQ(declaration_type_name(VT_CY), "LONG/*Currency*/");
  EXPECT_EQ(declaration_type_name(VT_LPWSTR), "string");
  EXPECT_EQ(declaration_type_name(VT_DISPATCH), "struct/*IDispatch*/");
  EXPECT_EQ(declaration_type_name(VT_UI1), "BYTE");
  EXPECT_EQ(declaration_type_name(VT_I1), "byte");
  EXPECT_EQ(declaration_type_name(VT_UINT), "INT");
  EXPECT_EQ(declaration_type_name(VT_HRESULT), "INT/*HRESULT*/");
  EXPECT_EQ(declaration_type_name(VT_SAFEARRAY), "table/*SAFEARRAY*/");
  EXPECT_EQ(declaration_type_name(VT_UI8), "pointer");
  EXPECT_EQ(declaration_type_name(VT_EMPTY), "pointer");
}

TEST(ComTypeNames, ArraysAndReferencesAreMarked) {
  EXPECT_EQ(declaration_type_name(VT_ARRAY | VT_BSTR), "string[]");
  EXPECT_EQ(declaration_type_name(VT_BYREF | VT_I4), "int&");
  EXPECT_EQ(declaration_type_name(VT_BYREF | VT_ARRAY | VT_VARIANT), "pointer/*VARIANT*/[]&");
}

}  // namespace
}  // namespace quevro::com
