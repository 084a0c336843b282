// Script values as automation objects: a table, cdata or function handed to foreign code as an
// IDispatch whose member names get dispatch identifiers on demand. This is what a host uses to
// publish a script table (a web page's `external`, an event sink, an argument of a call): the
// object keeps the value alive while it is referenced and lets it go with its last reference,
// and it answers with RPC_E_DISCONNECTED once the state has closed.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "com/dispatch_params.h"
#include "com/state_link.h"
#include "vm/api.h"

namespace quevro::com {

// The private interface by which the bridge recognises its own script objects.
inline constexpr IID IID_IScriptObject = {0x7A3C51E2, 0x90B4, 0x4F1D,
                                          {0x8E, 0x26, 0x3B, 0x5D, 0xC0, 0x71, 0xA9, 0x4E}};

// Identifiers of named members start above this; numeric names 1..9999 are their own identifier.
inline constexpr DISPID FIRST_NAME_ID = 10000;

enum class ScriptValueKind { TABLE = 1, CDATA = 2, FUNCTION = 3 };

class ScriptObject final : public IDispatch {
 public:
  // A new object for the value at idx (table, cdata or function), with one reference for the
  // caller; raises "Implementation must be a table object or a cdata" for other values.
  static ScriptObject* create(VmState* L, int idx);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
  HRESULT Invoke(DISPID member, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argument_error) override;

  ScriptValueKind kind() const { return kind_; }
  const StateLink* link() const { return link_; }
  // The name a member identifier stands for; null for identifiers never handed out.
  const std::string* name_of(DISPID id) const;
  // Pushes the wrapped value (the state must be open and L one of its fibers).
  void push_value(VmState* L) const { push_anchored(link_, L, this); }

 private:
  ScriptObject(StateLink* link, ScriptValueKind kind);
  ~ScriptObject();
  DISPID identifier_of(const std::u16string& name);

  ULONG references_ = 1;
  StateLink* link_;
  ScriptValueKind kind_;
  std::vector<std::string> names_;  // identifier FIRST_NAME_ID + 1 + i
  std::unordered_map<std::u16string, DISPID> ids_;
};

// The host's entry: the value at idx as an IDispatch with one reference for the caller.
IDispatch* expose_script_value(VmState* L, int idx);

// When `object` is a script object made in L's machine, pushes the value it wraps and returns
// true; otherwise pushes nothing.
bool push_script_object_value(VmState* L, IUnknown* object);

}  // namespace quevro::com
