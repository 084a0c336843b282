// A plain object the page passed to a host object, as an automation object: a snapshot of its
// own enumerable members, each read as a property (GetIDsOfNames, then Invoke with a property
// get). Handed back to the page it turns into a plain object again.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "automation_abi.h"

namespace webview_com {

// The private interface by which the library recognises its own page objects.
inline constexpr IID IID_IPageObject = {0x3E9B0C57, 0x1D42, 0x4A8F, {0x9C, 0x61, 0x5B, 0x20, 0xE7, 0x4A, 0xD3, 0x18}};

class PageObject final : public IDispatch {
 public:
  // One reference for the caller; the members' VARIANTs are taken over.
  static PageObject* create(std::vector<std::pair<std::u16string, VARIANT>> members);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
  HRESULT Invoke(DISPID member, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argument_error) override;

  const std::vector<std::pair<std::u16string, VARIANT>>& members() const { return members_; }

 private:
  explicit PageObject(std::vector<std::pair<std::u16string, VARIANT>> members) : members_(std::move(members)) {}
  ~PageObject();

  ULONG references_ = 1;
  std::vector<std::pair<std::u16string, VARIANT>> members_;  // identifier = position + 1
};

}  // namespace webview_com
