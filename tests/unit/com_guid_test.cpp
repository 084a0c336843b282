#include <gtest/gtest.h>

#include "com/com_types.h"

using namespace quevro::com;

namespace {

TEST(ComGuid, FormatsInRegistryForm) {
  EXPECT_EQ(guid_to_string(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
  GUID g{0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
  EXPECT_EQ(guid_to_string(g), "{12345678-9ABC-DEF0-0123-456789ABCDEF}");
  EXPECT_EQ(guid_to_wide_string(g), u"{12345678-9ABC-DEF0-0123-456789ABCDEF}");
}

TEST(ComGuid, ParsesEitherCaseAndRoundTrips) {
  GUID g;
  ASSERT_TRUE(guid_from_string("{65074f7f-63c0-304e-af0a-d51741cb4a8d}", &g));
  EXPECT_EQ(g.Data1, 0x65074F7Fu);
  EXPECT_EQ(g.Data2, 0x63C0);
  EXPECT_EQ(g.Data3, 0x304E);
  EXPECT_EQ(g.Data4[0], 0xAF);
  EXPECT_EQ(g.Data4[7], 0x8D);
  EXPECT_EQ(guid_to_string(g), "{65074F7F-63C0-304E-AF0A-D51741CB4A8D}");
  GUID back;
  ASSERT_TRUE(guid_from_wide_string(guid_to_wide_string(g), &back));
  EXPECT_EQ(back, g);
}

TEST(ComGuid, RejectsMalformedText) {
  GUID g = IID_IUnknown;
  for (const char* bad : {"", "{}", "00020400-0000-0000-C000-000000000046",
                          "{00020400-0000-0000-C000-000000000046", "{00020400-0000-0000-C000-00000000004G}",
                          "{00020400+0000-0000-C000-000000000046}", "{00020400-0000-0000-C000-0000000000460}",
                          "{0002040-00000-0000-C000-000000000046}", "(00020400-0000-0000-C000-000000000046)"})
    EXPECT_FALSE(guid_from_string(bad, &g)) << bad;
  EXPECT_EQ(g, IID_IUnknown);  // untouched by the failures
}

TEST(ComGuid, OrdersAndCompares) {
  EXPECT_TRUE(IID_IUnknown < IID_IDispatch);
  EXPECT_FALSE(IID_IDispatch < IID_IUnknown);
  EXPECT_NE(IID_IDispatch, IID_IEnumVARIANT);
}

TEST(ComHresult, CodesHaveTheirWin32Values) {
  EXPECT_EQ(static_cast<uint32_t>(E_INVALIDARG), 0x80070057u);
  EXPECT_EQ(static_cast<uint32_t>(DISP_E_MEMBERNOTFOUND), 0x80020003u);
  EXPECT_EQ(static_cast<uint32_t>(DISP_E_BADPARAMCOUNT), 0x8002000Eu);
  EXPECT_EQ(static_cast<uint32_t>(REGDB_E_CLASSNOTREG), 0x80040154u);
  EXPECT_EQ(static_cast<uint32_t>(CO_E_CLASSSTRING), 0x800401F3u);
  EXPECT_EQ(hresult_from_win32(87), E_INVALIDARG);
  EXPECT_EQ(hresult_from_win32(14), E_OUTOFMEMORY);
  EXPECT_TRUE(FAILED(E_FAIL));
  EXPECT_TRUE(SUCCEEDED(S_FALSE));
}

TEST(ComHresult, MessagesAreTheSystemTexts) {
  EXPECT_EQ(hresult_message(DISP_E_MEMBERNOTFOUND), "Member not found.");
  EXPECT_EQ(hresult_message(DISP_E_TYPEMISMATCH), "Type mismatch.");
  EXPECT_EQ(hresult_message(DISP_E_EXCEPTION), "Exception occurred.");
  EXPECT_EQ(hresult_message(E_INVALIDARG), "The parameter is incorrect.");
  EXPECT_EQ(hresult_message(REGDB_E_CLASSNOTREG), "Class not registered");
  EXPECT_EQ(hresult_message(hresult_from_win32(2)), "The system cannot find the file specified.");
  EXPECT_EQ(hresult_message(RPC_E_SERVERCALL_RETRYLATER),
            "The message filter indicated that the application is busy.");
  EXPECT_EQ(hresult_message(hresult(0x8002FFFFu)), "");
  for (HRESULT hr : {E_NOTIMPL, E_NOINTERFACE, E_POINTER, E_FAIL, E_OUTOFMEMORY, DISP_E_UNKNOWNNAME,
                     DISP_E_PARAMNOTFOUND, DISP_E_OVERFLOW, DISP_E_BADVARTYPE, DISP_E_BADINDEX,
                     DISP_E_ARRAYISLOCKED, DISP_E_PARAMNOTOPTIONAL, DISP_E_NOTACOLLECTION,
                     CLASS_E_CLASSNOTAVAILABLE, CO_E_CLASSSTRING, RPC_E_CALL_REJECTED,
                     RPC_E_SERVERFAULT, CO_E_SERVER_EXEC_FAILURE, TYPE_E_CANTLOADLIBRARY}) {
    std::string_view text = hresult_message(hr);
    EXPECT_FALSE(text.empty()) << std::hex << hr;
    EXPECT_EQ(text.find('\n'), std::string_view::npos);
  }
}

}  // namespace
