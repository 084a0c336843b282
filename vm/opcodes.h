// The instruction word, the 61 opcodes and the mode table shared by the interpreter, the code
// generator and the chunk verifier.
#pragma once

#include <cstdint>

#include "vm/prototype.h"

namespace quevro {

// Field layout: OP bits 0-5, A bits 6-13, C bits 14-22, B bits 23-31, Bx = bits 14-31.
constexpr int SIZE_OP = 6;
constexpr int SIZE_A = 8;
constexpr int SIZE_C = 9;
constexpr int SIZE_B = 9;
constexpr int SIZE_BX = SIZE_C + SIZE_B;
constexpr int POS_OP = 0;
constexpr int POS_A = POS_OP + SIZE_OP;
constexpr int POS_C = POS_A + SIZE_A;
constexpr int POS_B = POS_C + SIZE_C;
constexpr int POS_BX = POS_C;

constexpr int MAXARG_A = (1 << SIZE_A) - 1;
constexpr int MAXARG_B = (1 << SIZE_B) - 1;
constexpr int MAXARG_C = (1 << SIZE_C) - 1;
constexpr int MAXARG_BX = (1 << SIZE_BX) - 1;
constexpr int MAXARG_SBX = MAXARG_BX >> 1;  // sBx = Bx - 131071

// RK operands: bit 8 set names constant (x & 255).
constexpr int RK_CONSTANT_BIT = 1 << (SIZE_B - 1);
constexpr int MAX_RK_INDEX = RK_CONSTANT_BIT - 1;
inline bool rk_is_constant(int x) { return (x & RK_CONSTANT_BIT) != 0; }
inline int rk_index(int x) { return x & ~RK_CONSTANT_BIT; }
inline int rk_constant(int index) { return index | RK_CONSTANT_BIT; }

enum OpCode : uint8_t {
  OP_LOADK, OP_LOADBOOL, OP_LOADNIL, OP_GETUPVAL, OP_MOVE, OP_GETNS, OP_LOADNS, OP_GETGLOBAL,
  OP_GETMETA, OP_GETTABLE, OP_GETTABLEN, OP_GETDIRECT, OP_SETNS, OP_SETGLOBAL, OP_SETUPVAL,
  OP_SETIFNULL, OP_SETMETA, OP_SETTABLE, OP_APPENDFIELD, OP_RAWSET, OP_SETTABLEF, OP_NEWTABLE,
  OP_ENTERNS, OP_SELF, OP_ADD, OP_SUB, OP_MUL, OP_DIV, OP_MOD, OP_POW, OP_UNM, OP_NOT, OP_LEN,
  OP_CONCAT, OP_JMP, OP_EQ, OP_EQSTRICT, OP_LT, OP_LE, OP_TEST, OP_TESTSET, OP_TRY, OP_CALL,
  OP_TAILCALL, OP_RETURN, OP_FORLOOP, OP_FORPREP, OP_TFORLOOP, OP_CALLIFFUNC, OP_TFORNEXT,
  OP_SETLIST, OP_CLOSE, OP_CLOSURE, OP_BNOT, OP_BAND, OP_BOR, OP_BXOR, OP_SHL, OP_SAR, OP_SHR,
  OP_VARARG,
};
constexpr int OPCODE_COUNT = 61;

extern const char* const OPCODE_NAMES[OPCODE_COUNT];

// Mode table: bits 0-1 format, bits 2-3 kind of C, bits 4-5 kind of B, bit 6 writes R(A),
// bit 7 test instruction (always followed by a JMP).
enum OpFormat { FORMAT_ABC = 0, FORMAT_ABX = 1, FORMAT_ASBX = 2 };
enum OperandKind { OPERAND_UNUSED = 0, OPERAND_VALUE = 1, OPERAND_REGISTER = 2, OPERAND_RK = 3 };
extern const uint8_t OPCODE_MODES[OPCODE_COUNT];

inline OpFormat op_format(int op) { return static_cast<OpFormat>(OPCODE_MODES[op] & 3); }
inline OperandKind op_kind_c(int op) { return static_cast<OperandKind>((OPCODE_MODES[op] >> 2) & 3); }
inline OperandKind op_kind_b(int op) { return static_cast<OperandKind>((OPCODE_MODES[op] >> 4) & 3); }
inline bool op_writes_a(int op) { return (OPCODE_MODES[op] & 0x40) != 0; }
inline bool op_is_test(int op) { return (OPCODE_MODES[op] & 0x80) != 0; }

// SETLIST stores this many values per flush.
constexpr int FIELDS_PER_FLUSH = 50;

inline int get_op(Instruction i) { return static_cast<int>(i & ((1u << SIZE_OP) - 1)); }
inline int get_a(Instruction i) { return static_cast<int>((i >> POS_A) & MAXARG_A); }
inline int get_b(Instruction i) { return static_cast<int>((i >> POS_B) & MAXARG_B); }
inline int get_c(Instruction i) { return static_cast<int>((i >> POS_C) & MAXARG_C); }
inline int get_bx(Instruction i) { return static_cast<int>((i >> POS_BX) & MAXARG_BX); }
inline int get_sbx(Instruction i) { return get_bx(i) - MAXARG_SBX; }

inline Instruction make_abc(int op, int a, int b, int c) {
  return static_cast<Instruction>(op) | (static_cast<Instruction>(a) << POS_A) |
         (static_cast<Instruction>(b) << POS_B) | (static_cast<Instruction>(c) << POS_C);
}
inline Instruction make_abx(int op, int a, int bx) {
  return static_cast<Instruction>(op) | (static_cast<Instruction>(a) << POS_A) |
         (static_cast<Instruction>(bx) << POS_BX);
}
inline Instruction make_asbx(int op, int a, int sbx) { return make_abx(op, a, sbx + MAXARG_SBX); }

inline void set_a(Instruction* i, int a) {
  *i = (*i & ~(static_cast<Instruction>(MAXARG_A) << POS_A)) | (static_cast<Instruction>(a) << POS_A);
}
inline void set_b(Instruction* i, int b) {
  *i = (*i & ~(static_cast<Instruction>(MAXARG_B) << POS_B)) | (static_cast<Instruction>(b) << POS_B);
}
inline void set_c(Instruction* i, int c) {
  *i = (*i & ~(static_cast<Instruction>(MAXARG_C) << POS_C)) | (static_cast<Instruction>(c) << POS_C);
}
inline void set_bx(Instruction* i, int bx) {
  *i = (*i & ~(static_cast<Instruction>(MAXARG_BX) << POS_BX)) | (static_cast<Instruction>(bx) << POS_BX);
}
inline void set_sbx(Instruction* i, int sbx) { set_bx(i, sbx + MAXARG_SBX); }

// Table sizes in NEWTABLE are stored as "floating point bytes": x < 8 is x itself, otherwise
// ((x & 7) + 8) << ((x >> 3) - 1).
// The shift is done unsigned: the largest codes decode past 2^31 and read back as negative sizes
// (the array constructor relies on that to ask for no hash part).
inline int fb_decode(int x) {
  if (x < 8) return x;
  return static_cast<int>(static_cast<uint32_t>((x & 7) + 8) << ((x >> 3) - 1));
}
int fb_encode(unsigned x);

}  // namespace quevro
