#include "com/script_object.h"

#include <cstring>

#include "com/bstr.h"
#include "vm/calls.h"
#include "vm/string.h"

namespace quevro::com {
namespace {

constexpr const char* NOT_AN_IMPLEMENTATION = "Implementation must be a table object or a cdata";
constexpr DISPID LAST_NUMERIC_NAME = FIRST_NAME_ID - 1;

// A name of decimal digits only, 1..9999: an index into the table rather than a field name.
DISPID numeric_identifier(const std::u16string& name) {
  if (name.empty() || name.size() > 4 || name[0] == u'0') return DISPID_UNKNOWN;
  DISPID n = 0;
  for (char16_t c : name) {
    if (c < u'0' || c > u'9') return DISPID_UNKNOWN;
    n = n * 10 + (c - u'0');
  }
  return n <= LAST_NUMERIC_NAME ? n : DISPID_UNKNOWN;
}

struct ParameterLookup {
  const ScriptObject* object;
  DISPID member;
  LPOLESTR* names;
  UINT count;
  DISPID* ids;
  bool all_found;
};

// Reads the member (a script function) and answers each further name with the position of the
// parameter of that name, DISPID_UNKNOWN when the function has none.
void find_parameters(VmState* L, void* ud) {
  auto* lookup = static_cast<ParameterLookup*>(ud);
  check_stack(L, 4);
  lookup->object->push_value(L);
  if (lookup->object->kind() != ScriptValueKind::FUNCTION) {
    const std::string* name = lookup->object->name_of(lookup->member);
    if (name)
      push_lstring(L, name->data(), name->size());
    else
      push_number(L, lookup->member);
    get_table(L, -2);
  }
  const Prototype* p = script_prototype(L, -1);
  for (UINT i = 1; i < lookup->count; ++i) {
    lookup->ids[i] = DISPID_UNKNOWN;
    std::string wanted = lookup->names[i] ? utf8_from_wide(lookup->names[i]) : std::string();
    // The first parameter is the hidden owner, so visible parameter k is local k.
    for (int k = 1; p && k < p->numparams && k < p->size_locals; ++k) {
      const StringObject* local = p->locals[k].name;
      if (local && local->length == wanted.size() &&
          std::memcmp(local->data(), wanted.data(), wanted.size()) == 0) {
        lookup->ids[i] = k - 1;
        break;
      }
    }
    if (lookup->ids[i] == DISPID_UNKNOWN) lookup->all_found = false;
  }
}

}  // namespace

ScriptObject* ScriptObject::create(VmState* L, int idx) {
  ScriptValueKind kind;
  switch (type_of(L, idx)) {
    case TAG_TABLE: kind = ScriptValueKind::TABLE; break;
    case TAG_CDATA: kind = ScriptValueKind::CDATA; break;
    case TAG_FUNCTION: kind = ScriptValueKind::FUNCTION; break;
    default: runtime_error_text(L, NOT_AN_IMPLEMENTATION);
  }
  if (idx < 0 && idx > REGISTRY_INDEX) idx = get_top(L) + idx + 1;
  StateLink* link = acquire_state_link(L);
  auto* object = new ScriptObject(link, kind);
  anchor_value(link, L, object, idx);
  return object;
}

ScriptObject::ScriptObject(StateLink* link, ScriptValueKind kind) : link_(link), kind_(kind) {}

ScriptObject::~ScriptObject() {
  // After the state closed its registry is gone, and with it the anchor.
  if (link_->L) drop_anchor(link_, this);
  release_state_link(link_);
}

HRESULT ScriptObject::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IScriptObject) {
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG ScriptObject::AddRef() { return ++references_; }

ULONG ScriptObject::Release() {
  ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT ScriptObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT ScriptObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return E_NOTIMPL;
}

const std::string* ScriptObject::name_of(DISPID id) const {
  if (id <= FIRST_NAME_ID) return nullptr;
  size_t index = static_cast<size_t>(id - FIRST_NAME_ID - 1);
  return index < names_.size() ? &names_[index] : nullptr;
}

DISPID ScriptObject::identifier_of(const std::u16string& name) {
  DISPID numeric = numeric_identifier(name);
  if (numeric != DISPID_UNKNOWN) return numeric;
  auto found = ids_.find(name);
  if (found != ids_.end()) return found->second;
  names_.push_back(utf8_from_wide(name));
  DISPID id = FIRST_NAME_ID + static_cast<DISPID>(names_.size());
  ids_.emplace(name, id);
  return id;
}

HRESULT ScriptObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  if (count == 0) return S_OK;
  HRESULT refusal;
  VmState* L = usable_state(link_, &refusal);
  if (!L) return refusal;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  if (!names[0] || !names[0][0]) return DISP_E_UNKNOWNNAME;
  // A function has no members: its only member is itself, the default one.
  if (kind_ == ScriptValueKind::FUNCTION) return DISP_E_UNKNOWNNAME;
  ids[0] = identifier_of(std::u16string(names[0]));
  if (count == 1) return S_OK;
  ParameterLookup lookup{this, ids[0], names, count, ids, true};
  int top = get_top(L);
  int status = protected_run(L, find_parameters, &lookup);
  set_top(L, top);
  if (status != STATUS_OK) {
    for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  return lookup.all_found ? S_OK : DISP_E_UNKNOWNNAME;
}

IDispatch* expose_script_value(VmState* L, int idx) { return ScriptObject::create(L, idx); }

bool push_script_object_value(VmState* L, IUnknown* object) {
  if (!object) return false;
  ComRef<IDispatch> found;
  if (FAILED(object->QueryInterface(IID_IScriptObject, found.put_void())) || !found) return false;
  auto* script = static_cast<ScriptObject*>(found.get());
  if (!script->link()->L || G(script->link()->L) != G(L)) return false;
  script->push_value(L);
  return true;
}


}  // namespace quevro::com
