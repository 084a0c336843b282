#include "com/type_library.h"

#include <memory>

#include "com/com_object.h"

namespace quevro::com {
namespace {

char16_t fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool same_name(const std::u16string& a, const char16_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return i == a.size() && !b[i];
}

std::u16string wide(const std::string& s) {
  BSTR b = bstr_from_utf8(s);
  std::u16string out(bstr_view(b));
  SysFreeString(b);
  return out;
}

class Library;

// One type of a library. It has no reference count of its own: it lives as long as the
// library, whose count it shares.
class TypeInfo final : public ITypeInfo {
 public:
  TypeInfo(Library* library, UINT index, const TypeDescription& type, std::vector<HREFTYPE> refs);

  HRESULT QueryInterface(REFIID iid, void** object) override {
    return answer_one_interface<ITypeInfo>(this, IID_ITypeInfo, iid, object);
  }
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT GetTypeAttr(TYPEATTR** attributes) override {
    if (!attributes) return E_POINTER;
    *attributes = &attributes_;
    return S_OK;
  }
  void ReleaseTypeAttr(TYPEATTR*) override {}

  HRESULT GetFuncDesc(UINT index, FUNCDESC** description) override {
    if (!description) return E_POINTER;
    if (index >= functions_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *description = &functions_[index];
    return S_OK;
  }
  void ReleaseFuncDesc(FUNCDESC*) override {}

  HRESULT GetNames(MEMBERID id, BSTR* names, UINT max_names, UINT* count) override {
    if (!names || !count) return E_POINTER;
    *count = 0;
    for (size_t m = 0; m < members_.size(); ++m) {
      if (functions_[m].memid != id) continue;
      const Member& member = members_[m];
      if (max_names > 0) names[(*count)++] = SysAllocString(member.name.c_str());
      for (size_t p = 0; p < member.parameter_names.size() && *count < max_names; ++p)
        names[(*count)++] = SysAllocString(member.parameter_names[p].c_str());
      return S_OK;
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }

  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* type) override {
    if (!type) return E_POINTER;
    if (index >= implemented_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *type = implemented_[index].ref;
    return S_OK;
  }

  HRESULT GetImplTypeFlags(UINT index, int32_t* flags) override {
    if (!flags) return E_POINTER;
    if (index >= implemented_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *flags = implemented_[index].flags;
    return S_OK;
  }

  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    if (!names || !ids) return E_POINTER;
    if (count == 0) return S_OK;
    for (UINT i = 0; i < count; ++i) ids[i] = MEMBERID_NIL;
    for (size_t m = 0; m < members_.size(); ++m) {
      if (!names[0] || !same_name(members_[m].name, names[0])) continue;
      ids[0] = functions_[m].memid;
      bool all = true;
      for (UINT i = 1; i < count; ++i) {
        const auto& parameters = members_[m].parameter_names;
        for (size_t p = 0; p < parameters.size(); ++p)
          if (names[i] && same_name(parameters[p], names[i])) ids[i] = static_cast<MEMBERID>(p);
        if (ids[i] == MEMBERID_NIL) all = false;
      }
      return all ? S_OK : DISP_E_UNKNOWNNAME;
    }
    return DISP_E_UNKNOWNNAME;
  }

  HRESULT GetDocumentation(MEMBERID id, BSTR* name, BSTR* text, DWORD* help_context,
                           BSTR* help_file) override {
    const std::u16string* found = id == MEMBERID_NIL ? &name_ : nullptr;
    for (size_t m = 0; !found && m < members_.size(); ++m)
      if (functions_[m].memid == id) found = &members_[m].name;
    if (!found) return TYPE_E_ELEMENTNOTFOUND;
    if (name) *name = SysAllocString(found->c_str());
    if (text) *text = nullptr;
    if (help_context) *help_context = 0;
    if (help_file) *help_file = nullptr;
    return S_OK;
  }

  HRESULT GetRefTypeInfo(HREFTYPE type, ITypeInfo** info) override;
  HRESULT GetContainingTypeLib(ITypeLib** library, UINT* index) override;

 private:
  struct Member {
    std::u16string name;
    std::vector<std::u16string> parameter_names;
    std::vector<ELEMDESC> parameters;
  };
  struct Implemented {
    HREFTYPE ref;
    int32_t flags;
  };

  Library* library_;
  UINT index_;
  std::u16string name_;
  TYPEATTR attributes_;
  std::vector<Member> members_;
  std::vector<FUNCDESC> functions_;  // parallel to members_; they point into members_
  std::vector<Implemented> implemented_;
};

class Library final : public ComObject<Library, ITypeLib, &IID_ITypeLib> {
 public:
  explicit Library(const TypeLibraryDescription& description) : name_(wide(description.name)) {}

  // Built after the library exists, since each type points back to it.
  void add_types(const TypeLibraryDescription& description, const std::vector<std::vector<HREFTYPE>>& refs) {
    for (size_t i = 0; i < description.types.size(); ++i)
      types_.push_back(std::make_unique<TypeInfo>(this, static_cast<UINT>(i), description.types[i], refs[i]));
  }

  UINT GetTypeInfoCount() override { return static_cast<UINT>(types_.size()); }

  HRESULT GetTypeInfo(UINT index, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index >= types_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *info = types_[index].get();
    AddRef();
    return S_OK;
  }

  HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) override {
    if (!kind) return E_POINTER;
    if (index >= types_.size()) return TYPE_E_ELEMENTNOTFOUND;
    TYPEATTR* attributes;
    types_[index]->GetTypeAttr(&attributes);
    *kind = attributes->typekind;
    return S_OK;
  }

  HRESULT GetTypeInfoOfGuid(const GUID& guid, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    for (auto& type : types_) {
      TYPEATTR* attributes;
      type->GetTypeAttr(&attributes);
      if (attributes->guid == guid) {
        *info = type.get();
        AddRef();
        return S_OK;
      }
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }

  HRESULT GetDocumentation(int32_t index, BSTR* name, BSTR* text, DWORD* help_context,
                           BSTR* help_file) override {
    if (index == -1) {
      if (name) *name = SysAllocString(name_.c_str());
      if (text) *text = nullptr;
      if (help_context) *help_context = 0;
      if (help_file) *help_file = nullptr;
      return S_OK;
    }
    if (index < 0 || static_cast<size_t>(index) >= types_.size()) return TYPE_E_ELEMENTNOTFOUND;
    return types_[static_cast<size_t>(index)]->GetDocumentation(MEMBERID_NIL, name, text, help_context, help_file);
  }

 private:
  std::u16string name_;
  std::vector<std::unique_ptr<TypeInfo>> types_;
};

TypeInfo::TypeInfo(Library* library, UINT index, const TypeDescription& type, std::vector<HREFTYPE> refs)
    : library_(library), index_(index), name_(wide(type.name)) {
  attributes_ = TYPEATTR{type.guid, type.kind, static_cast<WORD>(type.members.size()),
                         static_cast<WORD>(type.implemented.size())};
  members_.reserve(type.members.size());
  for (const MemberDescription& m : type.members) {
    Member member{wide(m.name), {}, {}};
    for (const ParameterDescription& p : m.parameters) {
      member.parameter_names.push_back(wide(p.name));
      member.parameters.push_back(ELEMDESC{p.type, p.flags});
    }
    members_.push_back(std::move(member));
  }
  for (size_t i = 0; i < type.members.size(); ++i) {
    const MemberDescription& m = type.members[i];
    int16_t optional = 0;
    for (const ParameterDescription& p : m.parameters)
      if (p.flags & PARAMFLAG_FOPT) ++optional;
    functions_.push_back(FUNCDESC{m.id, m.kind, static_cast<int16_t>(m.parameters.size()), optional,
                                  members_[i].parameters.empty() ? nullptr : members_[i].parameters.data(),
                                  ELEMDESC{m.result, PARAMFLAG_NONE}});
  }
  for (size_t i = 0; i < type.implemented.size(); ++i)
    implemented_.push_back(Implemented{refs[i], type.implemented[i].flags});
}

ULONG TypeInfo::AddRef() { return library_->AddRef(); }
ULONG TypeInfo::Release() { return library_->Release(); }

HRESULT TypeInfo::GetRefTypeInfo(HREFTYPE type, ITypeInfo** info) {
  return library_->GetTypeInfo(type, info);
}

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** library, UINT* index) {
  if (library) {
    library_->AddRef();
    *library = library_;
  }
  if (index) *index = index_;
  return S_OK;
}

}  // namespace

HRESULT new_type_library(const TypeLibraryDescription& description, ITypeLib** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  const auto& types = description.types;
  std::vector<std::vector<HREFTYPE>> refs(types.size());
  for (size_t i = 0; i < types.size(); ++i) {
    if (types[i].name.empty()) return E_INVALIDARG;
    for (size_t j = 0; j < i; ++j)
      if (types[j].name == types[i].name) return E_INVALIDARG;
    for (size_t a = 0; a < types[i].members.size(); ++a)
      for (size_t b = 0; b < a; ++b)
        if (types[i].members[a].id == types[i].members[b].id &&
            types[i].members[a].name != types[i].members[b].name)
          return E_INVALIDARG;
    for (const ImplementedDescription& implemented : types[i].implemented) {
      size_t found = types.size();
      for (size_t j = 0; j < types.size(); ++j)
        if (types[j].name == implemented.name && types[j].kind != TKIND_COCLASS) found = j;
      if (found == types.size()) return E_INVALIDARG;
      refs[i].push_back(static_cast<HREFTYPE>(found));
    }
  }
  auto* library = new Library(description);
  library->add_types(description, refs);
  *out = library;
  return S_OK;
}

namespace {

FUNCDESC* find_member_where(ITypeInfo* info, INVOKEKIND kind, const char16_t* name, MEMBERID id) {
  TYPEATTR* attributes;
  if (!info || FAILED(info->GetTypeAttr(&attributes))) return nullptr;
  WORD count = attributes->cFuncs;
  info->ReleaseTypeAttr(attributes);
  for (UINT i = 0; i < count; ++i) {
    FUNCDESC* description;
    if (FAILED(info->GetFuncDesc(i, &description))) continue;
    bool match = (description->invkind & kind) != 0;
    if (match && name) {
      BSTR member = nullptr;
      UINT got = 0;
      match = SUCCEEDED(info->GetNames(description->memid, &member, 1, &got)) && got == 1 &&
              same_name(std::u16string(bstr_view(member)), name);
      SysFreeString(member);
    } else if (match) {
      match = description->memid == id;
    }
    if (match) return description;
    info->ReleaseFuncDesc(description);
  }
  return nullptr;
}

}  // namespace

FUNCDESC* find_member(ITypeInfo* info, const char16_t* name, INVOKEKIND kind) {
  return find_member_where(info, kind, name, MEMBERID_NIL);
}

FUNCDESC* find_member(ITypeInfo* info, MEMBERID id, INVOKEKIND kind) {
  return find_member_where(info, kind, nullptr, id);
}

}  // namespace quevro::com
