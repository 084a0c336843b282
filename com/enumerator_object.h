// Enumerators in scripts: an IEnumVARIANT (a collection's `_NewEnum`) held by a cdata with the
// methods Next, Skip, Reset and Clone, and `com.each`, the iterator a `for` loop walks a
// collection with.
#pragma once

#include "com/com_types.h"
#include "vm/api.h"

namespace quevro::com {

inline constexpr const char* ENUMERATOR_TYPE = "Enumerator";

void register_enumerator_type(VmState* L);

// Pushes a new enumerator object for the interface, adding a reference of its own.
void push_enumerator_object(VmState* L, IEnumVARIANT* items);

// The interface of the enumerator object at idx; null when the value is not one.
IEnumVARIANT* to_enumerator_object(VmState* L, int idx);

// com.GetEnumerator(object): the enumerator of an automation object (its DISPID_NEWENUM member).
int get_enumerator(VmState* L);
// com.isEnumerator(value)
int is_enumerator(VmState* L);
// com.each(object or enumerator): an iterator giving (position, item) from 1 on.
int each_item(VmState* L);

}  // namespace quevro::com
