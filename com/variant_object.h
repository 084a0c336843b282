// com.Variant objects: a VARIANT owned by the script, for values that must keep an exact type
// on their way to an automation object.
#pragma once

#include "com/variant.h"
#include "vm/api.h"

namespace quevro::com {

inline constexpr const char* VARIANT_TYPE = "Variant";

struct VariantBox {
  VARIANT value;
  bool flag;  // the fourth argument of com.Variant, kept for the caller
};

void register_variant_type(VmState* L);

// Pushes a new Variant object holding nothing.
VariantBox* push_variant_object(VmState* L);

// The VARIANT of the Variant object at idx; null when the value is not one.
VARIANT* to_variant_object(VmState* L, int idx);

// com.Variant(value, vt, flag)
int new_variant(VmState* L);

}  // namespace quevro::com
