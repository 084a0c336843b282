#include "compiler/code_generator.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "vm/error.h"
#include "vm/exec_form.h"
#include "vm/memory.h"
#include "vm/string.h"

namespace quevro {

namespace {

// Prototype arrays double from 4 entries. The size field always equals the allocated capacity,
// so a compilation aborted by an error leaves a prototype the collector can free exactly.
template <class T>
void grow_vector(FuncState* fs, T*& v, int& size, int needed, int64_t limit, const char* overflow) {
  if (needed < size) return;
  if (needed >= limit) runtime_error(fs->L, "%s", overflow);
  int64_t new_size = size < 4 ? 4 : static_cast<int64_t>(size) * 2;
  if (new_size > limit) new_size = limit;
  if (new_size <= needed) new_size = static_cast<int64_t>(needed) + 1;
  T* grown = mem_realloc_vector<T>(fs->L, v, static_cast<size_t>(size), static_cast<size_t>(new_size), SIZE_MAX);
  for (int64_t i = size; i < new_size; ++i) grown[i] = T{};
  v = grown;
  size = static_cast<int>(new_size);
}

template <class T>
void trim_vector(FuncState* fs, T*& v, int& size, int used) {
  if (size == used) return;
  v = mem_realloc_vector<T>(fs->L, v, static_cast<size_t>(size), static_cast<size_t>(used), SIZE_MAX);
  size = used;
}

int get_jump(FuncState* fs, int pc) {
  int offset = get_sbx(fs->f->code[pc]);
  return offset == NO_JUMP ? NO_JUMP : pc + 1 + offset;
}

void fix_jump(FuncState* fs, int pc, int dest) {
  int offset = dest - (pc + 1);
  if (std::abs(offset) > MAXARG_SBX) fs->ls->syntax_error("control structure too long");
  set_sbx(&fs->f->code[pc], offset);
}

Instruction* get_jump_control(FuncState* fs, int pc) {
  Instruction* pi = &fs->f->code[pc];
  if (pc >= 1 && op_is_test(get_op(*(pi - 1)))) return pi - 1;
  return pi;
}

bool need_value(FuncState* fs, int list) {
  for (; list != NO_JUMP; list = get_jump(fs, list))
    if (get_op(*get_jump_control(fs, list)) != OP_TESTSET) return true;
  return false;
}

bool patch_test_reg(FuncState* fs, int node, int reg) {
  Instruction* i = get_jump_control(fs, node);
  if (get_op(*i) != OP_TESTSET) return false;
  if (reg != NO_REG && reg != get_b(*i)) set_a(i, reg);
  else *i = make_abc(OP_TEST, get_b(*i), 0, get_c(*i));
  return true;
}

void remove_values(FuncState* fs, int list) {
  for (; list != NO_JUMP; list = get_jump(fs, list)) patch_test_reg(fs, list, NO_REG);
}

void patch_list_aux(FuncState* fs, int list, int vtarget, int reg, int dtarget) {
  while (list != NO_JUMP) {
    int next = get_jump(fs, list);
    if (patch_test_reg(fs, list, reg)) fix_jump(fs, list, vtarget);
    else fix_jump(fs, list, dtarget);
    list = next;
  }
}

void discharge_jpc(FuncState* fs) {
  patch_list_aux(fs, fs->jpc, fs->pc, NO_REG, fs->pc);
  fs->jpc = NO_JUMP;
}

int cond_jump(FuncState* fs, int op, int a, int b, int c) {
  code_abc(fs, op, a, b, c);
  return code_jump(fs);
}

int add_constant(FuncState* fs, const Value& key, const Value& v) {
  const Value* idx = table_get(fs->h, key);
  if (idx->is_number()) {
    int i = static_cast<int>(idx->number());
    if (i >= 0 && i < fs->nk && raw_equal_values(fs->f->constants[i], v)) return i;
  }
  Prototype* f = fs->f;
  grow_vector(fs, f->constants, f->size_constants, fs->nk, MAX_CONSTANTS, "constant table overflow");
  Value* slot = table_set_slot(fs->L, fs->h, key);
  *slot = make_number(fs->nk);
  f->constants[fs->nk] = v;
  return fs->nk++;
}

bool is_string_constant(FuncState* fs, const ExpDesc* e) {
  return e->k == VK && fs->f->constants[e->info].is_string();
}

void invert_jump(FuncState* fs, ExpDesc* e) {
  Instruction* pc = get_jump_control(fs, e->info);
  set_a(pc, get_a(*pc) ? 0 : 1);
}

void discharge_to_reg(FuncState* fs, ExpDesc* e, int reg) {
  discharge_vars(fs, e);
  switch (e->k) {
    case VNIL: code_nil(fs, reg, 1); break;
    case VFALSE:
    case VTRUE: code_abc(fs, OP_LOADBOOL, reg, e->k == VTRUE, 0); break;
    case VK: code_abx(fs, OP_LOADK, reg, e->info); break;
    case VKNUM: code_abx(fs, OP_LOADK, reg, number_constant(fs, e->nval)); break;
    case VRELOCABLE: set_a(&get_code(fs, e), reg); break;
    case VNONRELOC:
      if (reg != e->info) code_abc(fs, OP_MOVE, reg, e->info, 0);
      break;
    default: return;  // VVOID and VJMP: nothing to load
  }
  e->info = reg;
  e->k = VNONRELOC;
}

void discharge_to_anyreg(FuncState* fs, ExpDesc* e) {
  if (e->k != VNONRELOC) {
    reserve_regs(fs, 1);
    discharge_to_reg(fs, e, fs->freereg - 1);
  }
}

int code_label(FuncState* fs, int a, int b, int jump) {
  get_label(fs);
  return code_abc(fs, OP_LOADBOOL, a, b, jump);
}

int jump_on_cond(FuncState* fs, ExpDesc* e, int cond) {
  if (e->k == VRELOCABLE && e->info == fs->pc - 1) {
    Instruction ie = get_code(fs, e);
    if (get_op(ie) == OP_NOT) {
      fs->pc--;  // the test reads the NOT's operand directly
      return cond_jump(fs, OP_TEST, get_b(ie), 0, !cond);
    }
  }
  discharge_to_anyreg(fs, e);
  free_exp(fs, e);
  return cond_jump(fs, OP_TESTSET, NO_REG, e->info, cond);
}

void code_not(FuncState* fs, ExpDesc* e) {
  discharge_vars(fs, e);
  switch (e->k) {
    case VNIL:
    case VFALSE: e->k = VTRUE; break;
    case VTRUE: e->k = VFALSE; break;
    case VK: e->k = is_falsy(fs->f->constants[e->info]) ? VTRUE : VFALSE; break;
    case VKNUM: e->k = e->nval == 0 ? VTRUE : VFALSE; break;
    case VJMP: invert_jump(fs, e); break;
    case VRELOCABLE:
    case VNONRELOC:
      discharge_to_anyreg(fs, e);
      free_exp(fs, e);
      e->info = code_abc(fs, OP_NOT, 0, e->info, 0);
      e->k = VRELOCABLE;
      break;
    default: break;
  }
  std::swap(e->f, e->t);
  remove_values(fs, e->f);
  remove_values(fs, e->t);
}

bool constant_folding(int op, ExpDesc* e1, ExpDesc* e2) {
  if (!is_numeral(e1) || !is_numeral(e2)) return false;
  double a = e1->nval, b = e2->nval, r;
  switch (op) {
    case OP_ADD: r = a + b; break;
    case OP_SUB: r = a - b; break;
    case OP_MUL: r = a * b; break;
    case OP_DIV:
      if (b == 0) return false;
      r = a / b;
      break;
    case OP_MOD:
      if (b == 0) return false;
      r = a - std::floor(a / b) * b;
      break;
    case OP_POW: r = std::pow(a, b); break;
    case OP_UNM: r = -a; break;
    case OP_BNOT: r = static_cast<double>(~to_int32(a)); break;
    default: return false;
  }
  if (std::isnan(r)) return false;
  e1->nval = r;
  return true;
}

void code_arith(FuncState* fs, int op, ExpDesc* e1, ExpDesc* e2) {
  if (constant_folding(op, e1, e2)) return;
  bool unary = op == OP_UNM || op == OP_LEN || op == OP_BNOT;
  int o2 = unary ? 0 : exp_to_rk(fs, e2);
  int o1;
  if (op == OP_UNM || op == OP_LEN || op == OP_CONCAT) o1 = exp_to_anyreg(fs, e1);
  else if (op == OP_BNOT && is_string_constant(fs, e1)) o1 = exp_to_anyreg(fs, e1);
  else o1 = exp_to_rk(fs, e1);
  if (o1 > o2) {
    free_exp(fs, e1);
    free_exp(fs, e2);
  } else {
    free_exp(fs, e2);
    free_exp(fs, e1);
  }
  e1->info = code_abc(fs, op, 0, o1, o2);
  e1->k = VRELOCABLE;
}

void code_compare(FuncState* fs, int op, int cond, ExpDesc* e1, ExpDesc* e2, bool swap) {
  int o1 = exp_to_rk(fs, e1);
  int o2 = exp_to_rk(fs, e2);
  free_exp(fs, e2);
  free_exp(fs, e1);
  if (swap) std::swap(o1, o2);
  e1->info = cond_jump(fs, op, cond, o1, o2);
  e1->k = VJMP;
}

}  // namespace

void anchor_string(FuncState* fs, StringObject* s) {
  if (s->marked & MARK_FIXED) return;  // permanent strings (keywords, predefined names) never die
  Value key = make_string(s);
  if (!table_get(fs->h, key)->is_null()) return;
  Value* slot = table_set_slot(fs->L, fs->h, key);
  *slot = make_boolean(1);
}

void code_error(FuncState* fs, const char* message) { fs->ls->syntax_error(message); }

void limit_error(FuncState* fs, int limit, const char* what) {
  std::string msg = fs->f->line_defined == 0
                        ? format_message("main function has more than %d %s", limit, what)
                        : format_message("function at line %d has more than %d %s", fs->f->line_defined, limit, what);
  fs->ls->error(msg, 0);
}

int code_instruction(FuncState* fs, Instruction i, int line) {
  Prototype* f = fs->f;
  discharge_jpc(fs);
  grow_vector(fs, f->code, f->size_code, fs->pc, MAX_CODE, "code size overflow");
  grow_vector(fs, f->line_info, f->size_line_info, fs->pc, MAX_CODE, "code size overflow");
  f->code[fs->pc] = i;
  f->line_info[fs->pc] = line;
  return fs->pc++;
}

int code_abc(FuncState* fs, int op, int a, int b, int c) {
  return code_instruction(fs, make_abc(op, a, b, c), fs->ls->last_line);
}

int code_abx(FuncState* fs, int op, int a, int bx) {
  return code_instruction(fs, make_abx(op, a, bx), fs->ls->last_line);
}

int code_asbx(FuncState* fs, int op, int a, int sbx) {
  return code_instruction(fs, make_asbx(op, a, sbx), fs->ls->last_line);
}

void code_raw_word(FuncState* fs, Instruction word) { code_instruction(fs, word, fs->ls->last_line); }

void fix_line(FuncState* fs, int line) { fs->f->line_info[fs->pc - 1] = line; }

void code_nil(FuncState* fs, int from, int n) {
  if (fs->pc > fs->lasttarget) {
    if (fs->pc == 0) {
      if (from >= fs->nactvar) return;  // registers of a fresh frame are already null
    } else {
      Instruction* previous = &fs->f->code[fs->pc - 1];
      if (get_op(*previous) == OP_LOADNIL) {
        int pfrom = get_a(*previous);
        int pto = get_b(*previous);
        if (pfrom <= from && from <= pto + 1) {
          if (from + n - 1 > pto) set_b(previous, from + n - 1);
          return;
        }
      }
    }
  }
  code_abc(fs, OP_LOADNIL, from, from + n - 1, 0);
}

void code_ret(FuncState* fs, int first, int nret) { code_abc(fs, OP_RETURN, first, nret + 1, 0); }

void check_stack(FuncState* fs, int n) {
  int new_stack = fs->freereg + n;
  if (new_stack > fs->f->max_stack_size) {
    if (new_stack >= MAX_REGISTERS) code_error(fs, "function or expression too complex");
    fs->f->max_stack_size = static_cast<uint8_t>(new_stack);
  }
}

void reserve_regs(FuncState* fs, int n) {
  check_stack(fs, n);
  fs->freereg += n;
}

void free_reg(FuncState* fs, int reg) {
  if (!rk_is_constant(reg) && reg >= fs->nactvar && fs->freereg > fs->nactvar) fs->freereg--;
}

void free_exp(FuncState* fs, ExpDesc* e) {
  if (e->k == VNONRELOC) free_reg(fs, e->info);
}

int string_constant(FuncState* fs, StringObject* s) { return add_constant(fs, make_string(s), make_string(s)); }

int number_constant(FuncState* fs, double r) {
  if (r == 0) r = 0.0;  // -0 and 0 share one entry
  return add_constant(fs, make_number(r), make_number(r));
}

int bool_constant(FuncState* fs, bool b) { return add_constant(fs, make_boolean(b ? 1 : 0), make_boolean(b ? 1 : 0)); }

int nil_constant(FuncState* fs) {
  // null cannot be a table key: the lookup table itself stands for it.
  return add_constant(fs, make_object(reinterpret_cast<GcObject*>(fs->h), TAG_TABLE), make_null());
}

int code_jump(FuncState* fs) {
  int jpc = fs->jpc;
  fs->jpc = NO_JUMP;
  int j = code_asbx(fs, OP_JMP, 0, NO_JUMP);
  concat_jumps(fs, &j, jpc);
  return j;
}

int get_label(FuncState* fs) {
  fs->lasttarget = fs->pc;
  return fs->pc;
}

void patch_list(FuncState* fs, int list, int target) {
  if (target == fs->pc) patch_to_here(fs, list);
  else patch_list_aux(fs, list, target, NO_REG, target);
}

void patch_to_here(FuncState* fs, int list) {
  get_label(fs);
  concat_jumps(fs, &fs->jpc, list);
}

void concat_jumps(FuncState* fs, int* l1, int l2) {
  if (l2 == NO_JUMP) return;
  if (*l1 == NO_JUMP) {
    *l1 = l2;
    return;
  }
  int list = *l1;
  int next;
  while ((next = get_jump(fs, list)) != NO_JUMP) list = next;
  fix_jump(fs, list, l2);
}

void set_returns(FuncState* fs, ExpDesc* e, int nresults) {
  if (e->k == VCALL) {
    set_c(&get_code(fs, e), nresults + 1);
  } else if (e->k == VVARARG) {
    set_b(&get_code(fs, e), nresults + 1);
    set_a(&get_code(fs, e), fs->freereg);
    reserve_regs(fs, 1);
  }
}

void set_one_ret(FuncState* fs, ExpDesc* e) {
  if (e->k == VCALL) {
    e->k = VNONRELOC;
    e->info = get_a(get_code(fs, e));
  } else if (e->k == VVARARG) {
    set_b(&get_code(fs, e), 2);
    e->k = VRELOCABLE;
  }
}

void discharge_vars(FuncState* fs, ExpDesc* e) {
  switch (e->k) {
    case VLOCAL: e->k = VNONRELOC; break;
    case VUPVAL:
      e->info = code_abc(fs, OP_GETUPVAL, 0, e->info, 0);
      e->k = VRELOCABLE;
      break;
    case VNSVAR:
      e->info = code_abx(fs, OP_GETNS, 0, e->info);
      e->k = VRELOCABLE;
      break;
    case VSELFNS:
      e->info = code_abc(fs, OP_LOADNS, 0, 0, 0);
      e->k = VRELOCABLE;
      break;
    case VGLOBAL:
      e->info = code_abx(fs, OP_GETGLOBAL, 0, e->info);
      e->k = VRELOCABLE;
      break;
    case VMETA:
      free_reg(fs, e->info);
      e->info = code_abc(fs, OP_GETMETA, 0, e->info, 0);
      e->k = VRELOCABLE;
      break;
    case VINDEXED: {
      free_reg(fs, e->aux);
      free_reg(fs, e->info);
      int op = e->flag == INDEX_FIELD ? OP_GETTABLE : e->flag == INDEX_BRACKET ? OP_GETTABLEN : OP_GETDIRECT;
      e->info = code_abc(fs, op, 0, e->info, e->aux);
      e->k = VRELOCABLE;
      break;
    }
    case VVARARG:
    case VCALL: set_one_ret(fs, e); break;
    default: break;
  }
}

void exp_to_reg(FuncState* fs, ExpDesc* e, int reg) {
  discharge_to_reg(fs, e, reg);
  if (e->k == VJMP) concat_jumps(fs, &e->t, e->info);
  if (has_jumps(e)) {
    int p_f = NO_JUMP, p_t = NO_JUMP;
    if (need_value(fs, e->t) || need_value(fs, e->f)) {
      int fj = (e->k == VJMP) ? NO_JUMP : code_jump(fs);
      p_f = code_label(fs, reg, 0, 1);
      p_t = code_label(fs, reg, 1, 0);
      patch_to_here(fs, fj);
    }
    int final = get_label(fs);
    patch_list_aux(fs, e->f, final, reg, p_f);
    patch_list_aux(fs, e->t, final, reg, p_t);
  }
  e->f = e->t = NO_JUMP;
  e->info = reg;
  e->k = VNONRELOC;
}

void exp_to_nextreg(FuncState* fs, ExpDesc* e) {
  discharge_vars(fs, e);
  free_exp(fs, e);
  reserve_regs(fs, 1);
  exp_to_reg(fs, e, fs->freereg - 1);
}

int exp_to_anyreg(FuncState* fs, ExpDesc* e) {
  discharge_vars(fs, e);
  if (e->k == VNONRELOC) {
    if (!has_jumps(e)) return e->info;
    if (e->info >= fs->nactvar) {
      exp_to_reg(fs, e, e->info);
      return e->info;
    }
  }
  exp_to_nextreg(fs, e);
  return e->info;
}

void exp_to_val(FuncState* fs, ExpDesc* e) {
  if (has_jumps(e)) exp_to_anyreg(fs, e);
  else discharge_vars(fs, e);
}

int exp_to_rk(FuncState* fs, ExpDesc* e) {
  exp_to_val(fs, e);
  switch (e->k) {
    case VKNUM:
    case VTRUE:
    case VFALSE:
    case VNIL: {
      int idx = e->k == VNIL ? nil_constant(fs) : e->k == VKNUM ? number_constant(fs, e->nval) : bool_constant(fs, e->k == VTRUE);
      e->info = idx;
      e->k = VK;
      if (idx <= MAX_RK_INDEX) return rk_constant(idx);
      break;
    }
    case VK:
      if (e->info <= MAX_RK_INDEX) return rk_constant(e->info);
      break;
    default: break;
  }
  return exp_to_anyreg(fs, e);
}

void store_var(FuncState* fs, ExpDesc* var, ExpDesc* ex) {
  switch (var->k) {
    case VLOCAL:
      free_exp(fs, ex);
      exp_to_reg(fs, ex, var->info);
      return;
    case VUPVAL: {
      int e = exp_to_anyreg(fs, ex);
      code_abc(fs, OP_SETUPVAL, e, var->info, 0);
      break;
    }
    case VNSVAR: {
      int e = exp_to_anyreg(fs, ex);
      code_abx(fs, OP_SETNS, e, var->info);
      break;
    }
    case VGLOBAL: {
      int e = exp_to_anyreg(fs, ex);
      code_abx(fs, OP_SETGLOBAL, e, var->info);
      break;
    }
    case VMETA: {
      int e = exp_to_rk(fs, ex);
      code_abc(fs, OP_SETMETA, var->info, e, 0);
      break;
    }
    case VINDEXED: {
      int e = exp_to_rk(fs, ex);
      int op = var->flag == INDEX_FIELD ? OP_SETTABLE : var->flag == INDEX_BRACKET ? OP_SETTABLEF : OP_RAWSET;
      code_abc(fs, op, var->info, var->aux, e);
      break;
    }
    case VSELFNS: code_error(fs, "self is readonly!");
    default: code_error(fs, "syntax error:invalid lvalue in assignment");
  }
  free_exp(fs, ex);
}

void code_self(FuncState* fs, ExpDesc* e, ExpDesc* key) {
  exp_to_anyreg(fs, e);
  free_exp(fs, e);
  int func = fs->freereg;
  reserve_regs(fs, 2);
  int k = exp_to_rk(fs, key);
  code_abc(fs, OP_SELF, func, e->info, k);
  free_exp(fs, key);
  e->info = func;
  e->k = VNONRELOC;
}

void code_indexed(FuncState* fs, ExpDesc* t, ExpDesc* k, int flag) {
  t->aux = exp_to_rk(fs, k);
  t->k = VINDEXED;
  t->flag = flag;
}

void go_if_true(FuncState* fs, ExpDesc* e) {
  int pc;
  discharge_vars(fs, e);
  switch (e->k) {
    case VK: pc = is_string_constant(fs, e) ? NO_JUMP : jump_on_cond(fs, e, 0); break;
    case VTRUE: pc = NO_JUMP; break;
    case VFALSE: pc = (e->t == NO_JUMP && e->f == NO_JUMP) ? code_jump(fs) : jump_on_cond(fs, e, 0); break;
    case VJMP:
      invert_jump(fs, e);
      pc = e->info;
      break;
    default: pc = jump_on_cond(fs, e, 0); break;
  }
  concat_jumps(fs, &e->f, pc);
  patch_to_here(fs, e->t);
  e->t = NO_JUMP;
}

void go_if_false(FuncState* fs, ExpDesc* e) {
  int pc;
  discharge_vars(fs, e);
  switch (e->k) {
    case VNIL:
    case VFALSE: pc = NO_JUMP; break;
    case VTRUE: pc = (e->t == NO_JUMP && e->f == NO_JUMP) ? code_jump(fs) : jump_on_cond(fs, e, 1); break;
    case VJMP: pc = e->info; break;
    default: pc = jump_on_cond(fs, e, 1); break;
  }
  concat_jumps(fs, &e->t, pc);
  patch_to_here(fs, e->f);
  e->f = NO_JUMP;
}

void code_prefix(FuncState* fs, UnOpr op, ExpDesc* e) {
  ExpDesc e2;
  init_exp(&e2, VKNUM, 0);
  e2.nval = 0;
  switch (op) {
    case OPR_MINUS:
      if (!is_numeral(e)) exp_to_anyreg(fs, e);
      code_arith(fs, OP_UNM, e, &e2);
      break;
    case OPR_NOT: code_not(fs, e); break;
    case OPR_LEN:
      exp_to_anyreg(fs, e);
      code_arith(fs, OP_LEN, e, &e2);
      break;
    case OPR_BNOT:
      if (!is_numeral(e)) exp_to_val(fs, e);
      code_arith(fs, OP_BNOT, e, &e2);
      break;
    default: break;
  }
}

void code_infix(FuncState* fs, BinOpr op, ExpDesc* v) {
  switch (op) {
    case OPR_AND: go_if_true(fs, v); break;
    case OPR_OR: go_if_false(fs, v); break;
    case OPR_CONCAT: exp_to_nextreg(fs, v); break;
    case OPR_ADD:
    case OPR_SUB:
    case OPR_MUL:
    case OPR_DIV:
    case OPR_MOD:
    case OPR_POW:
      if (!is_numeral(v)) exp_to_rk(fs, v);
      break;
    default: exp_to_rk(fs, v); break;
  }
}

void code_posfix(FuncState* fs, BinOpr op, ExpDesc* e1, ExpDesc* e2) {
  switch (op) {
    case OPR_AND:
      discharge_vars(fs, e2);
      concat_jumps(fs, &e2->f, e1->f);
      *e1 = *e2;
      break;
    case OPR_OR:
      discharge_vars(fs, e2);
      concat_jumps(fs, &e2->t, e1->t);
      *e1 = *e2;
      break;
    case OPR_CONCAT:
      exp_to_val(fs, e2);
      if (e2->k == VRELOCABLE && get_op(get_code(fs, e2)) == OP_CONCAT &&
          get_b(get_code(fs, e2)) == e1->info + 1) {
        // A chain of concatenations becomes one CONCAT over consecutive registers.
        free_exp(fs, e1);
        set_b(&get_code(fs, e2), e1->info);
        e1->k = VRELOCABLE;
        e1->info = e2->info;
      } else {
        exp_to_nextreg(fs, e2);
        code_arith(fs, OP_CONCAT, e1, e2);
      }
      break;
    case OPR_ADD: code_arith(fs, OP_ADD, e1, e2); break;
    case OPR_SUB: code_arith(fs, OP_SUB, e1, e2); break;
    case OPR_MUL: code_arith(fs, OP_MUL, e1, e2); break;
    case OPR_DIV: code_arith(fs, OP_DIV, e1, e2); break;
    case OPR_MOD: code_arith(fs, OP_MOD, e1, e2); break;
    case OPR_POW: code_arith(fs, OP_POW, e1, e2); break;
    case OPR_BAND: code_arith(fs, OP_BAND, e1, e2); break;
    case OPR_BOR: code_arith(fs, OP_BOR, e1, e2); break;
    case OPR_BXOR: code_arith(fs, OP_BXOR, e1, e2); break;
    case OPR_SHL: code_arith(fs, OP_SHL, e1, e2); break;
    case OPR_SAR: code_arith(fs, OP_SAR, e1, e2); break;
    case OPR_SHR: code_arith(fs, OP_SHR, e1, e2); break;
    case OPR_EQ: code_compare(fs, OP_EQ, 1, e1, e2, false); break;
    case OPR_NE: code_compare(fs, OP_EQ, 0, e1, e2, false); break;
    case OPR_EQS: code_compare(fs, OP_EQSTRICT, 1, e1, e2, false); break;
    case OPR_NES: code_compare(fs, OP_EQSTRICT, 0, e1, e2, false); break;
    case OPR_LT: code_compare(fs, OP_LT, 1, e1, e2, false); break;
    case OPR_LE: code_compare(fs, OP_LE, 1, e1, e2, false); break;
    case OPR_GT: code_compare(fs, OP_LT, 1, e1, e2, true); break;
    case OPR_GE: code_compare(fs, OP_LE, 1, e1, e2, true); break;
    default: break;
  }
}

void code_setlist(FuncState* fs, int base, int nelems, int tostore) {
  int block = (nelems - 1) / FIELDS_PER_FLUSH + 1;
  int b = tostore < 0 ? 0 : tostore;
  if (block <= MAXARG_C) {
    code_abc(fs, OP_SETLIST, base, b, block);
  } else {
    // The block number does not fit C: it follows as a raw code word.
    code_abc(fs, OP_SETLIST, base, b, 0);
    code_raw_word(fs, static_cast<Instruction>(block));
  }
  fs->freereg = base + 1;
}

void open_function(Lexer* ls, FuncState* fs, FuncState* parent) {
  VmState* L = ls->L;
  fs->L = L;
  fs->ls = ls;
  fs->prev = parent;
  ensure_stack(L, 3);
  Prototype* f = new_prototype(L);
  *L->top++ = make_object(reinterpret_cast<GcObject*>(f), TAG_PROTO);
  fs->f = f;
  f->source = ls->source;
  f->max_stack_size = 2;
  fs->h = table_create(L, 0, 16);  // most functions use a handful of names and constants
  *L->top++ = make_object(reinterpret_cast<GcObject*>(fs->h), TAG_TABLE);
  ls->fs = fs;
}

void close_function(Lexer* ls, FuncState* fs) {
  Prototype* f = fs->f;
  while (fs->nactvar > 0) f->locals[fs->actvar[--fs->nactvar]].end_pc = fs->pc;
  code_ret(fs, 0, 0);
  trim_vector(fs, f->code, f->size_code, fs->pc);
  trim_vector(fs, f->line_info, f->size_line_info, fs->pc);
  trim_vector(fs, f->constants, f->size_constants, fs->nk);
  trim_vector(fs, f->protos, f->size_protos, fs->np);
  trim_vector(fs, f->locals, f->size_locals, fs->nlocvars);
  trim_vector(fs, f->upvalue_names, f->size_upvalue_names, f->nupvalues);
  convert_to_exec_form(f);  // the function's code is complete
  fs->L->top -= 2;
  ls->fs = fs->prev;
  if (fs->prev && ls->t.str && (ls->t.code == TK_NAME || ls->t.code == TK_STRING)) {
    anchor_string(fs->prev, ls->t.str);
    // Only the encoding hints are dropped; the wide bit describes the content and must stay.
    ls->t.str->flags &= STR_WIDE;
  }
}

}  // namespace quevro
