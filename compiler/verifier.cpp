#include "compiler/verifier.h"

#include "vm/exec_form.h"
#include "vm/opcodes.h"
#include "vm/value.h"

namespace quevro {

namespace {

// The interpreter trusts these invariants: registers stay inside the frame, constant and
// prototype indices stay inside their arrays, and every jump lands on an instruction.
class Verifier {
 public:
  explicit Verifier(const Prototype* p) : p_(p), n_(p->size_code) {}

  bool run() {
    const Prototype* p = p_;
    if (p->max_stack_size > 250) return false;
    if (p->numparams + ((p->vararg_flags & 0x01) ? 1 : 0) > p->max_stack_size) return false;
    if ((p->vararg_flags & 0x04) && !(p->vararg_flags & 0x01)) return false;
    if (p->size_upvalue_names > p->nupvalues) return false;
    if (p->size_line_info != p->size_code && p->size_line_info != 0) return false;
    if (n_ < 1 || get_op(original_instruction(p, n_ - 1)) != OP_RETURN) return false;
    for (int pc = 0; pc < n_; pc++) {
      if (!check(pc)) return false;
    }
    return true;
  }

 private:
  const Prototype* p_;
  int n_;

  bool reg(long long x) const { return x < p_->max_stack_size; }
  bool rk(int x) const { return (x & 0x100) ? (x & 0xFF) < p_->size_constants : reg(x); }
  bool operand(int kind, int x) const {
    switch (kind) {
      case OPERAND_UNUSED: return x == 0;
      case OPERAND_REGISTER: return reg(x);
      case OPERAND_RK: return rk(x);
      default: return true;
    }
  }
  bool open_consumer(int pc) const {
    if (pc >= n_) return false;
    Instruction i = original_instruction(p_, pc);
    int op = get_op(i);
    return (op == OP_CALL || op == OP_TAILCALL || op == OP_RETURN || op == OP_SETLIST) && get_b(i) == 0;
  }
  bool is_setlist_extended(Instruction i) const { return get_op(i) == OP_SETLIST && get_c(i) == 0; }

  bool check(int& pc) {
    Instruction i = original_instruction(p_, pc);
    int op = get_op(i);
    if (op >= OPCODE_COUNT) return false;
    int a = get_a(i), b = get_b(i), c = get_c(i);
    if (!reg(a)) return false;
    switch (op_format(op)) {
      case FORMAT_ABC:
        if (!operand(op_kind_b(op), b) || !operand(op_kind_c(op), c)) return false;
        break;
      case FORMAT_ABX:
        if (op_kind_b(op) == OPERAND_RK && get_bx(i) >= p_->size_constants) return false;
        break;
      case FORMAT_ASBX:
        // The compiler's jumps reach at most MAXARG_SBX either way; the one field value beyond
        // that (+131072) has no place in the interpreter's form of the code.
        if (get_bx(i) == MAXARG_BX) return false;
        if (op_kind_b(op) == OPERAND_REGISTER) {
          long long target = static_cast<long long>(pc) + 1 + get_sbx(i);
          if (target < 0 || target >= n_) return false;
          if (target > 0) {
            // A jump must not land on the count word that follows an extended SETLIST.
            int count = 0;
            for (long long j = target - 1; j >= 0 && count < target && is_setlist_extended(original_instruction(p_, j)); j--) count++;
            if (count % 2 != 0) return false;
          }
        }
        break;
    }
    if (op_is_test(op)) {
      if (!(pc + 2 < n_) || get_op(original_instruction(p_, pc + 1)) != OP_JMP) return false;
    }
    switch (op) {
      case OP_LOADBOOL:
        if (c != 0) {
          if (!(pc + 2 < n_)) return false;
          if (is_setlist_extended(original_instruction(p_, pc + 1))) return false;
        }
        break;
      case OP_GETUPVAL:
      case OP_SETUPVAL:
        if (b >= p_->nupvalues) return false;
        break;
      case OP_GETNS:
      case OP_GETGLOBAL:
      case OP_SETNS:
      case OP_SETGLOBAL:
        if (get_bx(i) >= p_->size_constants || !p_->constants[get_bx(i)].is_string()) return false;
        break;
      case OP_SELF:
        if (!reg(a + 1)) return false;
        break;
      case OP_CONCAT:
        if (!(b < c)) return false;
        break;
      case OP_CALL:
      case OP_TAILCALL:
        if (b != 0 && !reg(static_cast<long long>(a) + b - 1)) return false;
        if (c == 0 && !open_consumer(pc + 1)) return false;
        if (c >= 2 && !reg(static_cast<long long>(a) + c - 2)) return false;
        break;
      case OP_RETURN:
        if (b >= 2 && !reg(static_cast<long long>(a) + b - 2)) return false;
        break;
      case OP_FORLOOP:
      case OP_FORPREP:
        if (!reg(a + 3)) return false;
        break;
      case OP_TFORLOOP:
      case OP_TFORNEXT:
        if (c < 1 || !reg(static_cast<long long>(a) + 2 + c)) return false;
        break;
      case OP_SETLIST:
        if (b > 0 && !reg(static_cast<long long>(a) + b)) return false;
        if (c == 0) {
          if (!(pc + 1 < n_ - 1)) return false;
          pc++;  // the block number word is data, not an instruction
        }
        break;
      case OP_CLOSURE: {
        int bx = get_bx(i);
        if (bx >= p_->size_protos || !p_->protos[bx]) return false;
        int nup = p_->protos[bx]->nupvalues;
        if (!(pc + nup < n_)) return false;
        for (int k = 1; k <= nup; k++) {
          int pop = get_op(original_instruction(p_, pc + k));
          if (pop != OP_GETUPVAL && pop != OP_MOVE) return false;
        }
        break;
      }
      case OP_VARARG:
        if (!(p_->vararg_flags & 0x02) || (p_->vararg_flags & 0x04)) return false;
        if (b == 0 && !open_consumer(pc + 1)) return false;
        if (!reg(static_cast<long long>(a) + b - 2)) return false;
        break;
      default: break;
    }
    return true;
  }
};

}  // namespace

bool verify_prototype(const Prototype* p) { return p && Verifier(p).run(); }

bool verify_prototype_tree(const Prototype* p) {
  if (!verify_prototype(p)) return false;
  for (int i = 0; i < p->size_protos; i++)
    if (!verify_prototype_tree(p->protos[i])) return false;
  return true;
}

}  // namespace quevro
