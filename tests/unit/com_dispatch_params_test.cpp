#include <gtest/gtest.h>

#include "com/dispatch_invoke.h"
#include "com/dispatch_params.h"

using namespace quevro::com;

namespace {

int fill_ins = 0;

HRESULT fill_description(EXCEPINFO* info) {
  ++fill_ins;
  info->bstrDescription = SysAllocString(u"late text");
  info->scode = E_FAIL;
  return S_OK;
}

TEST(ComDispatchParams, ReservedIdentifiersAndKinds) {
  EXPECT_EQ(DISPID_VALUE, 0);
  EXPECT_EQ(DISPID_UNKNOWN, -1);
  EXPECT_EQ(DISPID_PROPERTYPUT, -3);
  EXPECT_EQ(DISPID_NEWENUM, -4);
  EXPECT_EQ(DISPATCH_METHOD | DISPATCH_PROPERTYGET, 3);
  EXPECT_EQ(DISPATCH_PROPERTYPUT, 4);
  EXPECT_EQ(DISPATCH_PROPERTYPUTREF, 8);
}

TEST(ComDispatchParams, DeferredFillInRunsOnceAndClearFreesTheTexts) {
  EXCEPINFO info = empty_exception();
  info.pfnDeferredFillIn = fill_description;
  fill_ins = 0;
  fill_in_exception(&info);
  fill_in_exception(&info);
  EXPECT_EQ(fill_ins, 1);
  EXPECT_EQ(utf8_from_bstr(info.bstrDescription), "late text");
  EXPECT_EQ(info.scode, E_FAIL);
  info.bstrSource = SysAllocString(u"source");
  clear_exception(&info);  // the sanitizers see the strings freed
  EXPECT_EQ(info.bstrDescription, nullptr);
  EXPECT_EQ(info.bstrSource, nullptr);
  EXPECT_EQ(info.scode, 0);
}

TEST(ComDispatchParams, ExceptionTextsPreferDescriptionThenCodeThenStatus) {
  EXCEPINFO info = empty_exception();
  info.bstrDescription = SysAllocString(u"described");
  info.wCode = 1;
  info.scode = E_INVALIDARG;
  EXPECT_EQ(exception_text(&info), "described");
  SysFreeString(info.bstrDescription);
  info.bstrDescription = SysAllocString(u"");
  EXPECT_EQ(exception_text(&info), std::string(hresult_message(1)) + "(0x00000001)");
  info.wCode = 1000;  // a code without a message gives way to the status
  EXPECT_EQ(exception_text(&info), std::string(hresult_message(E_INVALIDARG)) + "(E_INVALIDARG,0x80070057)");
  info.scode = hresult(0x8BADF00Du);
  EXPECT_EQ(exception_text(&info), "Unknown exception");
  // A deferred record is filled in before it is read.
  clear_exception(&info);
  info.pfnDeferredFillIn = fill_description;
  EXPECT_EQ(exception_text(&info), "late text");
  clear_exception(&info);
}

}  // namespace
