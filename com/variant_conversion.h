// Script values to VARIANTs and back: how every argument and result crosses the boundary between
// scripts and automation objects. Failures raise script errors; a VARIANT that was being filled
// is left VT_EMPTY, so callers clear only what they own.
#pragma once

#include "com/variant.h"
#include "vm/api.h"

namespace quevro::com {

// No element type preference for arrays made from tables: they follow their elements.
inline constexpr VARTYPE NO_PREFERRED_TYPE = 0xFFFF;

// A VARIANT that is cleared when it goes, on the success and the error path alike.
class VariantHolder {
 public:
  VariantHolder() { VariantInit(&v_); }
  VariantHolder(const VariantHolder&) = delete;
  VariantHolder& operator=(const VariantHolder&) = delete;
  ~VariantHolder() { VariantClear(&v_); }
  VARIANT* get() { return &v_; }
  const VARIANT* get() const { return &v_; }

 private:
  VARIANT v_;
};

// While one is open on a thread, dates cross as UTC: local time objects become the VT_DATE of
// the same instant in UTC, and VT_DATE values become UTC time objects (format "!..."). Calls of
// an automation object whose date mode is UTC convert inside one; it is closed while the call
// itself runs, so what the object calls back converts as usual.
class UtcDateScope {
 public:
  explicit UtcDateScope(bool on);
  UtcDateScope(const UtcDateScope&) = delete;
  UtcDateScope& operator=(const UtcDateScope&) = delete;
  ~UtcDateScope();

 private:
  bool previous_;
};

// A number for a parameter of type `requested` (VT_VARIANT when no type applies): integer types
// take the number truncated toward zero; otherwise whole numbers that fit 32 bits become VT_I4
// and the rest VT_R8.
void number_to_variant(double n, VARTYPE requested, VARIANT* out);

// The value at idx into *out (which must hold nothing). `preferred_array` is the element type
// for arrays made from tables when the requested type is VT_VARIANT.
void to_variant(VmState* L, int idx, VARIANT* out, VARTYPE requested = VT_VARIANT,
                VARTYPE preferred_array = NO_PREFERRED_TYPE);

// A SAFEARRAY of element type `element` (NO_PREFERRED_TYPE: follow the elements) made from the
// table at idx, one dimension per nesting level, into *out as VT_ARRAY.
void table_to_safearray(VmState* L, int idx, VARTYPE element, VARIANT* out);

// Pushes the script value of a VARIANT (by-reference values are read through).
void push_variant(VmState* L, const VARIANT* v);

// Pushes the script value of an array: a string of its bytes for VT_UI1, else nested tables,
// one level per dimension, that remember the element type; null for an array without elements.
void push_safearray(VmState* L, SAFEARRAY* array, VARTYPE element);

}  // namespace quevro::com
