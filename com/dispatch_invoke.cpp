#include "com/dispatch_invoke.h"

#include <optional>
#include <vector>

#include "com/com_error.h"
#include "com/type_info.h"
#include "com/variant_conversion.h"

namespace quevro::com {
namespace {

// Clears the call's VARIANTs on the success and the error path.
// Output parameters (declared by type information) are passed by reference to storage of
// their own, which the list also clears.
class ArgumentList {
 public:
  explicit ArgumentList(size_t count) : items_(count), storage_(count) {
    for (VARIANT& v : items_) VariantInit(&v);
    for (VARIANT& v : storage_) VariantInit(&v);
  }
  ArgumentList(const ArgumentList&) = delete;
  ArgumentList& operator=(const ArgumentList&) = delete;
  ~ArgumentList() {
    for (VARIANT& v : items_) VariantClear(&v);
    for (VARIANT& v : storage_) VariantClear(&v);
  }
  VARIANT* at(size_t i) { return &items_[i]; }
  VARIANT* storage_at(size_t i) { return &storage_[i]; }
  VARIANT* data() { return items_.data(); }
  size_t size() const { return items_.size(); }

 private:
  std::vector<VARIANT> items_;
  std::vector<VARIANT> storage_;
};

// The type information's description of the member for this kind of call; null without one.
class MemberDescription {
 public:
  MemberDescription(ITypeInfo* info, DISPID member, WORD kind)
      : info_(info), description_(info ? find_member(info, member, invoke_kind(kind)) : nullptr) {}
  MemberDescription(const MemberDescription&) = delete;
  MemberDescription& operator=(const MemberDescription&) = delete;
  ~MemberDescription() {
    if (description_) info_->ReleaseFuncDesc(description_);
  }
  // The declared type of parameter i (VT_VARIANT when none is declared).
  VARTYPE type(size_t i) const {
    if (!description_ || i >= static_cast<size_t>(description_->cParams)) return VT_VARIANT;
    return description_->lprgelemdescParam[i].vt;
  }
  bool is_output(size_t i) const {
    if (!description_ || i >= static_cast<size_t>(description_->cParams)) return false;
    const ELEMDESC& p = description_->lprgelemdescParam[i];
    return (p.vt & VT_BYREF) || (p.wParamFlags & PARAMFLAG_FOUT);
  }
  size_t parameter_count() const { return description_ ? static_cast<size_t>(description_->cParams) : 0; }

 private:
  static INVOKEKIND invoke_kind(WORD kind) {
    if (kind & DISPATCH_PROPERTYPUTREF) return INVOKE_PROPERTYPUTREF;
    if (kind & DISPATCH_PROPERTYPUT) return INVOKE_PROPERTYPUT;
    return static_cast<INVOKEKIND>(kind & (DISPATCH_METHOD | DISPATCH_PROPERTYGET));
  }
  ITypeInfo* info_;
  FUNCDESC* description_;
};

// Converts the value at idx into storage of the declared type and passes a reference to it.
void output_argument(VmState* L, int idx, VARTYPE declared, VARIANT* storage, VARIANT* argument) {
  VARTYPE base = static_cast<VARTYPE>(declared & ~VT_BYREF);
  to_variant(L, idx, storage, base);
  if (base != VT_VARIANT && storage->vt != base) {
    HRESULT hr = VariantChangeType(storage, storage, 0, base);
    if (FAILED(hr)) runtime_error_text(L, com_error_text(hr));
  }
  if (base == VT_VARIANT) {
    argument->vt = VT_BYREF | VT_VARIANT;
    argument->pvarVal = storage;
  } else if (base == VT_DECIMAL) {
    argument->vt = VT_BYREF | VT_DECIMAL;
    argument->pdecVal = &storage->decVal;
  } else {
    argument->vt = static_cast<VARTYPE>(VT_BYREF | storage->vt);
    argument->byref = &storage->llVal;
  }
}

class ExceptionRecord {
 public:
  ExceptionRecord() : info_(empty_exception()) {}
  ExceptionRecord(const ExceptionRecord&) = delete;
  ExceptionRecord& operator=(const ExceptionRecord&) = delete;
  ~ExceptionRecord() { clear_exception(&info_); }
  EXCEPINFO* get() { return &info_; }

 private:
  EXCEPINFO info_;
};

}  // namespace

bool member_id(DispatchWrapper* object, const char* name, size_t len, DISPID* out);

namespace {

// The current identifier of the member last known as `stale`, when it has a new one.
bool renewed_id(DispatchWrapper* object, DISPID stale, DISPID* out) {
  const std::string* name = object->names ? object->names->name_of(stale) : nullptr;
  if (!name) return false;
  std::string copy = *name;  // resolving updates the cache the name lives in
  return member_id(object, copy.data(), copy.size(), out) && *out != stale;
}

}  // namespace

std::string failure_text(const InvokeOutcome& outcome) {
  return outcome.message.empty() ? com_error_text(outcome.hr) : outcome.message;
}

std::string exception_text(EXCEPINFO* info) {
  fill_in_exception(info);
  if (SysStringLen(info->bstrDescription) != 0) return utf8_from_bstr(info->bstrDescription);
  if (info->wCode != 0) {
    std::string text = hresult_text(info->wCode);
    if (!text.empty()) return text;
  }
  if (info->scode != 0) {
    std::string text = hresult_text(info->scode);
    if (!text.empty()) return text;
  }
  return "Unknown exception";
}

bool member_id(DispatchWrapper* object, const char* name, size_t len, DISPID* out) {
  BSTR wide = bstr_from_utf8(std::string_view(name, len));
  if (!wide) return false;
  LPOLESTR names[1] = {wide};
  HRESULT hr = object->dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, out);
  SysFreeString(wide);
  if (FAILED(hr)) return false;
  if (object->names) object->names->remember(std::string_view(name, len), *out);
  return true;
}

InvokeOutcome invoke_member(VmState* L, DispatchWrapper* object, const InvokeRequest& request) {
  bool put = request.put_value != 0;
  size_t count = static_cast<size_t>(request.argument_count) + (put ? 1 : 0);
  ArgumentList arguments(count);
  MemberDescription described(object->info, request.member, request.kind);
  std::optional<UtcDateScope> dates(std::in_place, object->utc_dates);
  for (int i = 0; i < request.argument_count; ++i) {
    size_t at = count - 1 - static_cast<size_t>(i);
    size_t position = static_cast<size_t>(i);
    int idx = request.first_argument + i;
    if (described.is_output(position))
      output_argument(L, idx, described.type(position), arguments.storage_at(at), arguments.at(at));
    else
      to_variant(L, idx, arguments.at(at), described.type(position), object->preferred_array);
  }
  // A put's value is its last declared parameter.
  if (put)
    to_variant(L, request.put_value, arguments.at(0),
               described.parameter_count()
                   ? static_cast<VARTYPE>(described.type(described.parameter_count() - 1) & ~VT_BYREF)
                   : VARTYPE{VT_VARIANT},
               object->preferred_array);

  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{arguments.data(), put ? &named : nullptr, static_cast<UINT>(count),
                    put ? 1u : 0u};
  dates.reset();
  VariantHolder result;
  ExceptionRecord exception;
  UINT argument_error = 0;
  // The object may drop its last script reference during the call; keep it alive until the end.
  ComRef<IDispatch> keep = ComRef<IDispatch>::share(object->dispatch);
  HRESULT hr = keep->Invoke(request.member, IID_NULL, LOCALE_USER_DEFAULT, request.kind, &params,
                            result.get(), exception.get(), &argument_error);
  DISPID renewed;
  if (hr == DISP_E_MEMBERNOTFOUND && renewed_id(object, request.member, &renewed)) {
    // The object may have renumbered its members since the name was resolved: ask once more.
    VariantClear(result.get());
    clear_exception(exception.get());
    hr = keep->Invoke(renewed, IID_NULL, LOCALE_USER_DEFAULT, request.kind, &params, result.get(),
                      exception.get(), &argument_error);
  }
  if (FAILED(hr)) {
    // Other codes are formatted only when raised: callers probing a member drop most of them.
    std::string message = hr == DISP_E_EXCEPTION ? exception_text(exception.get()) : std::string();
    return InvokeOutcome{hr, message, 0};
  }
  UtcDateScope result_dates(object->utc_dates);
  push_variant(L, result.get());
  int results = 1;
  for (int i = 0; request.with_outputs && i < request.argument_count; ++i) {
    VARIANT* argument = arguments.at(count - 1 - static_cast<size_t>(i));
    if (!(argument->vt & VT_BYREF)) continue;
    check_stack(L, 2);
    push_variant(L, argument);
    ++results;
  }
  return InvokeOutcome{hr, std::string(), results};
}

}  // namespace quevro::com
