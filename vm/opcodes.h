// The instruction word and the opcode list from which the names, the mode table and the
// interpreter's dispatch table are all made.
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

// Mode bits: 0-1 format, 2-3 kind of C, 4-5 kind of B, 6 writes R(A), 7 test instruction (always
// followed by a JMP). For ABx and AsBx forms the kind of B describes Bx (RK: a constant index).
enum OpFormat { FORMAT_ABC = 0, FORMAT_ABX = 1, FORMAT_ASBX = 2 };
enum OperandKind { OPERAND_UNUSED = 0, OPERAND_VALUE = 1, OPERAND_REGISTER = 2, OPERAND_RK = 3 };

// Every opcode, in opcode order: X(name, format, kind of B, kind of C, effect on R(A), test).
// The order is the numbering and the columns are the mode byte; precompiled chunks depend on
// both, so entries are only ever added at the end (the opcode field has room for 64).
#define QUEVRO_OPCODES(X) \
  X(LOADK,       ABX,  RK,       UNUSED,   SETS_A,  PLAIN) \
  X(LOADBOOL,    ABC,  VALUE,    VALUE,    SETS_A,  PLAIN) \
  X(LOADNIL,     ABC,  REGISTER, UNUSED,   SETS_A,  PLAIN) \
  X(GETUPVAL,    ABC,  VALUE,    UNUSED,   SETS_A,  PLAIN) \
  X(MOVE,        ABC,  REGISTER, UNUSED,   SETS_A,  PLAIN) \
  X(GETNS,       ABX,  RK,       UNUSED,   SETS_A,  PLAIN) \
  X(LOADNS,      ABX,  UNUSED,   UNUSED,   SETS_A,  PLAIN) \
  X(GETGLOBAL,   ABX,  RK,       UNUSED,   SETS_A,  PLAIN) \
  X(GETMETA,     ABC,  REGISTER, UNUSED,   SETS_A,  PLAIN) \
  X(GETTABLE,    ABC,  REGISTER, RK,       SETS_A,  PLAIN) \
  X(GETTABLEN,   ABC,  REGISTER, RK,       SETS_A,  PLAIN) \
  X(GETDIRECT,   ABC,  REGISTER, RK,       SETS_A,  PLAIN) \
  X(SETNS,       ABX,  RK,       UNUSED,   KEEPS_A, PLAIN) \
  X(SETGLOBAL,   ABX,  RK,       UNUSED,   KEEPS_A, PLAIN) \
  X(SETUPVAL,    ABC,  VALUE,    UNUSED,   KEEPS_A, PLAIN) \
  X(SETIFNULL,   ABC,  REGISTER, UNUSED,   KEEPS_A, PLAIN) \
  X(SETMETA,     ABC,  RK,       UNUSED,   KEEPS_A, PLAIN) \
  X(SETTABLE,    ABC,  RK,       RK,       KEEPS_A, PLAIN) \
  X(APPENDFIELD, ABC,  RK,       RK,       KEEPS_A, PLAIN) \
  X(RAWSET,      ABC,  RK,       RK,       KEEPS_A, PLAIN) \
  X(SETTABLEF,   ABC,  RK,       RK,       KEEPS_A, PLAIN) \
  X(NEWTABLE,    ABC,  VALUE,    VALUE,    SETS_A,  PLAIN) \
  X(ENTERNS,     ABC,  RK,       REGISTER, KEEPS_A, PLAIN) \
  X(SELF,        ABC,  REGISTER, RK,       SETS_A,  PLAIN) \
  X(ADD,         ABC,  RK,       RK,       SETS_A,  PLAIN) \
  X(SUB,         ABC,  RK,       RK,       SETS_A,  PLAIN) \
  X(MUL,         ABC,  RK,       RK,       SETS_A,  PLAIN) \
  X(DIV,         ABC,  RK,       RK,       SETS_A,  PLAIN) \
  X(MOD,         ABC,  RK,       RK,       SETS_A,  PLAIN) \
  X(POW,         ABC,  RK,       RK,       SETS_A,  PLAIN) \
  X(UNM,         ABC,  REGISTER, UNUSED,   SETS_A,  PLAIN) \
  X(NOT,         ABC,  REGISTER, UNUSED,   SETS_A,  PLAIN) \
  X(LEN,         ABC,  REGISTER, UNUSED,   SETS_A,  PLAIN) \
  X(CONCAT,      ABC,  REGISTER, REGISTER, SETS_A,  PLAIN) \
  X(JMP,         ASBX, REGISTER, UNUSED,   KEEPS_A, PLAIN) \
  X(EQ,          ABC,  RK,       RK,       KEEPS_A, TEST)  \
  X(EQSTRICT,    ABC,  RK,       RK,       KEEPS_A, TEST)  \
  X(LT,          ABC,  RK,       RK,       KEEPS_A, TEST)  \
  X(LE,          ABC,  RK,       RK,       KEEPS_A, TEST)  \
  X(TEST,        ABC,  REGISTER, VALUE,    SETS_A,  TEST)  \
  X(TESTSET,     ABC,  REGISTER, VALUE,    SETS_A,  TEST)  \
  X(TRY,         ABC,  REGISTER, REGISTER, KEEPS_A, PLAIN) \
  X(CALL,        ABC,  VALUE,    VALUE,    SETS_A,  PLAIN) \
  X(TAILCALL,    ABC,  VALUE,    VALUE,    SETS_A,  PLAIN) \
  X(RETURN,      ABC,  VALUE,    UNUSED,   KEEPS_A, PLAIN) \
  X(FORLOOP,     ASBX, REGISTER, UNUSED,   SETS_A,  PLAIN) \
  X(FORPREP,     ASBX, REGISTER, UNUSED,   SETS_A,  PLAIN) \
  X(TFORLOOP,    ABC,  UNUSED,   VALUE,    KEEPS_A, TEST)  \
  X(CALLIFFUNC,  ABC,  UNUSED,   UNUSED,   KEEPS_A, PLAIN) \
  X(TFORNEXT,    ABC,  UNUSED,   VALUE,    KEEPS_A, TEST)  \
  X(SETLIST,     ABC,  VALUE,    VALUE,    KEEPS_A, PLAIN) \
  X(CLOSE,       ABC,  UNUSED,   UNUSED,   KEEPS_A, PLAIN) \
  X(CLOSURE,     ABX,  VALUE,    UNUSED,   SETS_A,  PLAIN) \
  X(BNOT,        ABC,  RK,       UNUSED,   SETS_A,  PLAIN) \
  X(BAND,        ABC,  RK,       RK,       SETS_A,  PLAIN) \
  X(BOR,         ABC,  RK,       RK,       SETS_A,  PLAIN) \
  X(BXOR,        ABC,  RK,       RK,       SETS_A,  PLAIN) \
  X(SHL,         ABC,  RK,       RK,       SETS_A,  PLAIN) \
  X(SAR,         ABC,  RK,       RK,       SETS_A,  PLAIN) \
  X(SHR,         ABC,  RK,       RK,       SETS_A,  PLAIN) \
  X(VARARG,      ABC,  VALUE,    UNUSED,   SETS_A,  PLAIN)

enum OpCode : uint8_t {
#define QUEVRO_OPCODE_ENUM(name, ...) OP_##name,
  QUEVRO_OPCODES(QUEVRO_OPCODE_ENUM)
#undef QUEVRO_OPCODE_ENUM
};

#define QUEVRO_OPCODE_ONE(...) +1
constexpr int OPCODE_COUNT = 0 QUEVRO_OPCODES(QUEVRO_OPCODE_ONE);
#undef QUEVRO_OPCODE_ONE
static_assert(OPCODE_COUNT <= (1 << SIZE_OP), "every opcode must fit the opcode field");

namespace opcode_columns {
constexpr bool SETS_A = true, KEEPS_A = false;
constexpr bool TEST = true, PLAIN = false;
constexpr uint8_t mode(OpFormat format, OperandKind b, OperandKind c, bool writes_a, bool test) {
  return static_cast<uint8_t>(format | (c << 2) | (b << 4) | (writes_a ? 0x40 : 0) | (test ? 0x80 : 0));
}
}  // namespace opcode_columns

inline constexpr const char* OPCODE_NAMES[OPCODE_COUNT] = {
#define QUEVRO_OPCODE_NAME(name, ...) #name,
    QUEVRO_OPCODES(QUEVRO_OPCODE_NAME)
#undef QUEVRO_OPCODE_NAME
};

inline constexpr uint8_t OPCODE_MODES[OPCODE_COUNT] = {
#define QUEVRO_OPCODE_MODE(name, format, b, c, a, test)                                            \
  opcode_columns::mode(FORMAT_##format, OPERAND_##b, OPERAND_##c, opcode_columns::a, opcode_columns::test),
    QUEVRO_OPCODES(QUEVRO_OPCODE_MODE)
#undef QUEVRO_OPCODE_MODE
};

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
