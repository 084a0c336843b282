// The form in which a finished prototype keeps its code: every instruction word rearranged so that
// the interpreter decodes it with fewer steps. Chunks, listings, debug information and the verifier
// all speak the stored form; they read a finished prototype's code through original_instruction.
//
// The rearrangement keeps the opcode field (bits 0-5) and is a one-to-one map of all 2^32 words,
// whatever the opcode says, so data words in the code (a SETLIST block number, CLOSURE capture
// words) come back unchanged through from_exec_form.
//
//   ABC:  bits 0-5 OP, 6 bit 8 of C, 7 bit 8 of B, 8-15 A, 16-23 C bits 0-7, 24-31 B bits 0-7.
//         The low byte that dispatch indexes by thus holds the opcode and both constant flags
//         of RK operands, so each register/constant combination gets its own entry.
//   ABx:  unchanged (A bits 6-13, Bx bits 14-31).
//   AsBx: A bits 6-13; bits 14-31 hold the signed offset in two's complement, so that one
//         arithmetic shift decodes it. The offset the stored form cannot reach (Bx 262143, +131072)
//         would read as -131072; the verifier refuses it and the compiler never emits it.
#pragma once

#include <cstdint>

#include "vm/opcodes.h"

namespace quevro {

namespace exec_form_detail {
constexpr uint32_t LOW9 = 0x1FF;
constexpr uint32_t FIELD18 = 0x3FFFF;
}  // namespace exec_form_detail

inline Instruction to_exec_form(Instruction i) {
  using namespace exec_form_detail;
  int op = get_op(i);
  if (op >= OPCODE_COUNT) return i;
  switch (op_format(op)) {
    case FORMAT_ABC: {
      uint32_t a = (i >> POS_A) & MAXARG_A, b = (i >> POS_B) & LOW9, c = (i >> POS_C) & LOW9;
      return static_cast<uint32_t>(op) | ((c >> 8) << 6) | ((b >> 8) << 7) | (a << 8) | ((c & 0xFF) << 16) |
             ((b & 0xFF) << 24);
    }
    case FORMAT_ASBX: {
      uint32_t offset = (((i >> POS_BX) & FIELD18) - static_cast<uint32_t>(MAXARG_SBX)) & FIELD18;
      return (i & ((1u << POS_BX) - 1)) | (offset << POS_BX);
    }
    case FORMAT_ABX: break;
  }
  return i;
}

inline Instruction from_exec_form(Instruction e) {
  using namespace exec_form_detail;
  int op = get_op(e);
  if (op >= OPCODE_COUNT) return e;
  switch (op_format(op)) {
    case FORMAT_ABC: {
      uint32_t a = (e >> 8) & 0xFF;
      uint32_t b = ((e >> 24) & 0xFF) | (((e >> 7) & 1) << 8);
      uint32_t c = ((e >> 16) & 0xFF) | (((e >> 6) & 1) << 8);
      return static_cast<uint32_t>(op) | (a << POS_A) | (b << POS_B) | (c << POS_C);
    }
    case FORMAT_ASBX: {
      uint32_t bx = (((e >> POS_BX) & FIELD18) + static_cast<uint32_t>(MAXARG_SBX)) & FIELD18;
      return (e & ((1u << POS_BX) - 1)) | (bx << POS_BX);
    }
    case FORMAT_ABX: break;
  }
  return e;
}

// The instruction at pc of a finished prototype, in the stored form.
inline Instruction original_instruction(const Prototype* p, int pc) { return from_exec_form(p->code[pc]); }

// Rewrites a prototype's code (not its children's) into the execution form and notes what the
// interpreter's direct call needs. Done once, when the code and the frame's sizes are complete:
// by the compiler as it closes a function, by the loader as it reads one.
inline void convert_to_exec_form(Prototype* p) {
  for (int pc = 0; pc < p->size_code; ++pc) p->code[pc] = to_exec_form(p->code[pc]);
  p->call_room = p->vararg_flags != 0 ? UINT32_MAX
                                      : static_cast<uint32_t>((p->max_stack_size + p->numparams) * sizeof(Value));
}

// Decoding of the execution form. Register and constant operands come out as byte offsets
// (index * 16), which one shift and one mask give.
namespace exec {
inline int op(Instruction i) { return static_cast<int>(i & 0x3F); }
inline int a(Instruction i) { return static_cast<int>((i >> 8) & 0xFF); }
// Fields that are registers, upvalue or result counts the verifier keeps below 256.
inline int b8(Instruction i) { return static_cast<int>(i >> 24); }
inline int c8(Instruction i) { return static_cast<int>((i >> 16) & 0xFF); }
// Fields that may use all nine bits.
inline int b9(Instruction i) { return static_cast<int>((i >> 24) | ((i & 0x80) << 1)); }
inline int c9(Instruction i) { return static_cast<int>(((i >> 16) & 0xFF) | ((i & 0x40) << 2)); }
// Whether the nine-bit C field is not zero, without assembling it.
inline bool c_nonzero(Instruction i) { return (i & 0x00FF0040u) != 0; }
inline bool b_is_constant(Instruction i) { return (i & 0x80) != 0; }
inline bool c_is_constant(Instruction i) { return (i & 0x40) != 0; }
inline uint32_t a_offset(Instruction i) { return (i >> 4) & 0xFF0; }
inline uint32_t b_offset(Instruction i) { return (i >> 20) & 0xFF0; }
inline uint32_t c_offset(Instruction i) { return (i >> 12) & 0xFF0; }
// ABx and AsBx forms.
inline int ax(Instruction i) { return static_cast<int>((i >> POS_A) & MAXARG_A); }
inline uint32_t ax_offset(Instruction i) { return (i >> (POS_A - 4)) & (static_cast<uint32_t>(MAXARG_A) << 4); }
inline int bx(Instruction i) { return static_cast<int>(i >> POS_BX); }
inline int sbx(Instruction i) { return static_cast<int32_t>(i) >> POS_BX; }
}  // namespace exec

}  // namespace quevro
