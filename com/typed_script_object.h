// Typed script objects: a script table implementing one interface of a type library. Names and
// identifiers come from the interface's type information; each member is looked up in the
// table by its type-library name and called as a dynamic script object calls it. Made for a
// class, the object also tells its class (IProvideClassInfo) and offers connection points for
// the class's event interfaces, through which the script fires events at advised sinks.
#pragma once

#include <functional>

#include "com/connection_points.h"
#include "com/script_object.h"

namespace quevro::com {

// Further interfaces a typed object answers (an embeddable control's, for one): their identity
// and reference count are the typed object's, and the part lives exactly as long as it.
class TypedObjectPart {
 public:
  virtual ~TypedObjectPart() = default;
  // The part's interface iid without a reference; null when the part does not answer it.
  virtual void* find_interface(REFIID iid) = 0;
};
// Makes the part of `object`; `implementation` calls the script's own members by name.
// Neither is referenced by the part.
using TypedObjectPartFactory = std::function<TypedObjectPart*(IDispatch* object, IDispatch* implementation)>;

// A typed object implementing `iface` with the value at idx (a table or cdata); `coclass`
// (may be null) is the class it stands for, whose event interfaces get connection points when
// `with_events` is set. One reference for the caller.
IDispatch* new_typed_script_object(VmState* L, int idx, ITypeInfo* iface, ITypeInfo* coclass,
                                   bool with_events, const TypedObjectPartFactory& part = {});

// The connection points of a typed script object; null for any other object.
ConnectionPoints* typed_object_connection_points(IUnknown* object);

// The default interface of a class (flags FDEFAULT without FSOURCE, or FSOURCE for its default
// event interface), with a reference for the caller; null when it has none.
ITypeInfo* default_interface(ITypeInfo* coclass, bool source);

}  // namespace quevro::com
