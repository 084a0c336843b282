// Typed script objects: a script table implementing one interface of a type library. Names and
// identifiers come from the interface's type information; each member is looked up in the
// table by its type-library name and called as a dynamic script object calls it. Made for a
// class, the object also tells its class (IProvideClassInfo) and offers connection points for
// the class's event interfaces, through which the script fires events at advised sinks.
#pragma once

#include "com/connection_points.h"
#include "com/script_object.h"

namespace quevro::com {

// A typed object implementing `iface` with the value at idx (a table or cdata); `coclass`
// (may be null) is the class it stands for, whose event interfaces get connection points when
// `with_events` is set. One reference for the caller.
IDispatch* new_typed_script_object(VmState* L, int idx, ITypeInfo* iface, ITypeInfo* coclass,
                                   bool with_events);

// The connection points of a typed script object; null for any other object.
ConnectionPoints* typed_object_connection_points(IUnknown* object);

// The default interface of a class (flags FDEFAULT without FSOURCE, or FSOURCE for its default
// event interface), with a reference for the caller; null when it has none.
ITypeInfo* default_interface(ITypeInfo* coclass, bool source);

}  // namespace quevro::com
