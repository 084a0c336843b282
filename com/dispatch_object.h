// Automation objects in scripts: a table (so scripts may keep fields of their own in it) whose
// `__thisPointer` holds the wrapper of the IDispatch interface. Reading a member gets a property
// or a callable method, writing one puts a property, calling the object calls its default member.
#pragma once

#include <vector>

#include "com/connection_points.h"
#include "com/dispatch_params.h"
#include "com/name_cache.h"
#include "vm/api.h"

namespace quevro::com {

inline constexpr const char* DISPATCH_TYPE = "IDispatch";
inline constexpr const char* DISPATCH_POINTER_TYPE = "IDispatch.Pointer";

// A sink advised on one of the object's connection points.
struct EventConnection {
  IConnectionPoint* point;  // one reference
  DWORD cookie;
  IDispatch* sink;          // one reference
};

// What the wrapper cdata holds: one reference to the interface and the object's preferences.
struct DispatchWrapper {
  IDispatch* dispatch;
  WORD preferred_kind;      // how calls of the object itself invoke its default member
  VARTYPE preferred_array;  // element type for arrays made from tables; 0xFFFF for none
  NameCache* names;         // owned; freed with the wrapper
  ITypeInfo* info;          // the object's type information (one reference), or null
  std::vector<EventConnection>* connections;  // owned; null until the first connection
  bool utc_dates;           // dates cross as UTC (com.SetPreferredDateMode)
};

// Gives up everything the wrapper holds: its connections, type information and interface.
void release_dispatch_wrapper(DispatchWrapper* wrapper);

// Registers the metatables of automation objects under the library "com".
void register_dispatch_types(VmState* L);

// Pushes a new automation object for the interface, adding a reference of its own.
void push_dispatch_object(VmState* L, IDispatch* dispatch);

// The wrapper of the automation object at idx; null when the value is not one.
DispatchWrapper* to_dispatch_object(VmState* L, int idx);
// As to_dispatch_object, raising "invalid object(com.IDispatch)" otherwise.
DispatchWrapper* check_dispatch_object(VmState* L, int idx);

}  // namespace quevro::com
