// Per-function compile state and the single-pass code generator the parser drives.
#pragma once

#include <cstdint>

#include "compiler/lexer.h"
#include "vm/opcodes.h"
#include "vm/prototype.h"
#include "vm/state.h"
#include "vm/table.h"

namespace quevro {

constexpr int NO_JUMP = -1;
constexpr int NO_REG = MAXARG_A;  // 255: never a valid register (a function has at most 249)
constexpr int MAX_ACTIVE_LOCALS = 200;
constexpr int MAX_UPVALUES = 60;
constexpr int MAX_REGISTERS = 250;  // a requirement of this many fails
constexpr int MAX_CONSTANTS = 262143;
constexpr int MAX_LOCAL_RECORDS = 32767;
constexpr int MAX_CODE = 2147483645;
constexpr int MAX_CONSTRUCTOR_ITEMS = 2147483645;
constexpr int MAX_SYNTAX_LEVELS = 200;

enum ExpKind {
  VVOID = 0,
  VNIL = 1,
  VTRUE = 2,
  VFALSE = 3,
  VK = 4,
  VKNUM = 5,
  VLOCAL = 6,
  VUPVAL = 7,
  VNSVAR = 8,
  VSELFNS = 9,
  VGLOBAL = 10,
  VMETA = 11,
  VINDEXED = 13,
  VJMP = 14,
  VRELOCABLE = 15,
  VNONRELOC = 16,
  VCALL = 17,
  VVARARG = 18,
};

// How an indexed expression reads and writes.
enum IndexFlag { INDEX_FIELD = 0, INDEX_DIRECT = 1, INDEX_BRACKET = 2 };

struct ExpDesc {
  ExpKind k = VVOID;
  int info = 0;
  int aux = 0;
  int flag = 0;
  double nval = 0;
  int t = NO_JUMP;  // exit when true
  int f = NO_JUMP;  // exit when false
};

inline void init_exp(ExpDesc* e, ExpKind k, int info) {
  e->k = k;
  e->info = info;
  e->aux = 0;
  e->flag = 0;
  e->t = e->f = NO_JUMP;
}

struct BlockCnt {
  BlockCnt* previous = nullptr;
  StringObject* label = nullptr;
  int break_list = NO_JUMP;
  int continue_list = NO_JUMP;
  int nactvar = 0;
  bool upval = false;
  bool breakable = false;
  int ns_parent_reg = -1;  // a namespace block: register of its saved namespace
  bool continue_closes = false;  // `continue` re-runs this loop's own declarations
};

struct UpvalDesc {
  uint8_t kind;  // VLOCAL or VUPVAL
  uint8_t index;
};

struct FuncState {
  Prototype* f = nullptr;
  TableObject* h = nullptr;  // constant lookup; also anchors every string of the compilation
  FuncState* prev = nullptr;
  Lexer* ls = nullptr;
  VmState* L = nullptr;
  BlockCnt* bl = nullptr;
  int pc = 0;
  int lasttarget = -1;
  int jpc = NO_JUMP;
  int freereg = 0;
  int nk = 0;
  int np = 0;
  int nlocvars = 0;
  int nactvar = 0;
  uint16_t actvar[MAX_ACTIVE_LOCALS + 1] = {};
  UpvalDesc upvalues[MAX_UPVALUES + 1] = {};
};

enum BinOpr {
  OPR_ADD, OPR_SUB, OPR_MUL, OPR_DIV, OPR_MOD, OPR_POW,
  OPR_BAND, OPR_BOR, OPR_BXOR, OPR_SHL, OPR_SAR, OPR_SHR,
  OPR_CONCAT,
  OPR_LT, OPR_LE, OPR_GT, OPR_GE,
  OPR_EQ, OPR_NE, OPR_EQS, OPR_NES,
  OPR_AND, OPR_OR,
  OPR_NOBINOPR,
};

enum UnOpr { OPR_MINUS, OPR_NOT, OPR_LEN, OPR_BNOT, OPR_NOUNOPR };

// Anchors a string in the function's constant lookup table (kept alive until the compilation of
// the function ends).
void anchor_string(FuncState* fs, StringObject* s);

// Raises a syntax error near the current token.
[[noreturn]] void code_error(FuncState* fs, const char* message);
// "function at line %d has more than %d %s" (or the main-function form); no near token.
[[noreturn]] void limit_error(FuncState* fs, int limit, const char* what);

inline Instruction& get_code(FuncState* fs, const ExpDesc* e) { return fs->f->code[e->info]; }

int code_instruction(FuncState* fs, Instruction i, int line);
int code_abc(FuncState* fs, int op, int a, int b, int c);
int code_abx(FuncState* fs, int op, int a, int bx);
int code_asbx(FuncState* fs, int op, int a, int sbx);
void code_raw_word(FuncState* fs, Instruction word);
void fix_line(FuncState* fs, int line);
void code_nil(FuncState* fs, int from, int n);
void code_ret(FuncState* fs, int first, int nret);
void check_stack(FuncState* fs, int n);
void reserve_regs(FuncState* fs, int n);

int string_constant(FuncState* fs, StringObject* s);
int number_constant(FuncState* fs, double r);
int bool_constant(FuncState* fs, bool b);
int nil_constant(FuncState* fs);

int code_jump(FuncState* fs);
int get_label(FuncState* fs);
void patch_list(FuncState* fs, int list, int target);
void patch_to_here(FuncState* fs, int list);
void concat_jumps(FuncState* fs, int* l1, int l2);

void discharge_vars(FuncState* fs, ExpDesc* e);
void exp_to_nextreg(FuncState* fs, ExpDesc* e);
int exp_to_anyreg(FuncState* fs, ExpDesc* e);
void exp_to_reg(FuncState* fs, ExpDesc* e, int reg);
void exp_to_val(FuncState* fs, ExpDesc* e);
int exp_to_rk(FuncState* fs, ExpDesc* e);
void free_exp(FuncState* fs, ExpDesc* e);
void free_reg(FuncState* fs, int reg);
void store_var(FuncState* fs, ExpDesc* var, ExpDesc* ex);
void code_self(FuncState* fs, ExpDesc* e, ExpDesc* key);
void code_indexed(FuncState* fs, ExpDesc* t, ExpDesc* k, int flag);
void go_if_true(FuncState* fs, ExpDesc* e);
void go_if_false(FuncState* fs, ExpDesc* e);
void set_returns(FuncState* fs, ExpDesc* e, int nresults);
inline void set_multret(FuncState* fs, ExpDesc* e) { set_returns(fs, e, -1); }
void set_one_ret(FuncState* fs, ExpDesc* e);
void code_prefix(FuncState* fs, UnOpr op, ExpDesc* e);
void code_infix(FuncState* fs, BinOpr op, ExpDesc* v);
void code_posfix(FuncState* fs, BinOpr op, ExpDesc* e1, ExpDesc* e2);
void code_setlist(FuncState* fs, int base, int nelems, int tostore);
inline bool has_jumps(const ExpDesc* e) { return e->t != e->f; }
inline bool is_numeral(const ExpDesc* e) { return e->k == VKNUM && e->t == NO_JUMP && e->f == NO_JUMP; }

// Opens the compile state of a new function (its prototype and constant lookup table are
// anchored on the script stack) and closes it (trims the arrays to their fill levels).
void open_function(Lexer* ls, FuncState* fs, FuncState* parent);
void close_function(Lexer* ls, FuncState* fs);

}  // namespace quevro
