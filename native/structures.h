// Structure declarations ("WORD year;WORD month;BYTE data[4]") and the two converters between a
// script table holding such a declaration in `_struct` and a block of native memory laid out as
// the platform's C compiler lays out the same structure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vm/state.h"

namespace quevro {

constexpr int64_t DYNAMIC_COUNT = -1;
constexpr size_t MAX_FIELD_NAME = 59;
constexpr size_t DEFAULT_PACKING = 8;

struct FieldDeclaration {
  char code;          // type code; 'P' and 'S' are the null-rejecting pointer and string forms
  std::string name;
  int64_t count = 0;  // 0: a single value; DYNAMIC_COUNT: "[]"
};

enum class DeclarationFault { NONE, NO_FIELDS, MISSING_NAME, BAD_TYPE };

struct DeclarationResult {
  DeclarationFault fault = DeclarationFault::NONE;
  char code = 0;       // the rejected code (BAD_TYPE)
  std::string field;   // the field name at fault
  std::string rest;    // the declaration from the fault on
};

// Parses a declaration into fields.
DeclarationResult parse_structure(std::string_view declaration, std::vector<FieldDeclaration>* fields);

// Natural alignment of a scalar code (its width on this platform).
size_t natural_alignment(char code);

// Packs the table at index `table` into dest + offset (dest null: only computes the size).
// Returns the size in bytes; 0 when the table has no `_struct` (callers raise their own error).
// *alignment, when given, receives the structure's alignment.
size_t pack_structure(VmState* L, int table, unsigned char* dest, size_t offset, bool union_mode = false,
                      const char* outer = "", size_t* alignment = nullptr);

// Unpacks src + offset into the table at index `table`; returns the size in bytes.
size_t unpack_structure(VmState* L, int table, const unsigned char* src, size_t offset, bool union_mode = false,
                        size_t* alignment = nullptr);

// The size of the structure table at `table`, 0 when it has no `_struct`.
inline size_t structure_size(VmState* L, int table) { return pack_structure(L, table, nullptr, 0); }

// True when the value at idx is a table with a `_struct` field.
bool is_structure(VmState* L, int idx);

}  // namespace quevro
