#include "vm/debug_info.h"

#include "vm/error.h"
#include "vm/exec_form.h"
#include "vm/opcodes.h"

namespace quevro {

namespace {

bool is_script(const CallFrame* f) { return f->func->tag == TAG_FUNCTION && f->func->closure()->is_script; }

std::string constant_text(const Prototype* p, int index) {
  if (index < 0 || index >= p->size_constants) return "?";
  const Value& k = p->constants[index];
  if (k.tag != TAG_STRING) return "?";
  return std::string(k.string()->data(), k.string()->length);
}

std::string rk_constant_text(const Prototype* p, int rk) {
  return rk_is_constant(rk) ? constant_text(p, rk_index(rk)) : "?";
}

// The last instruction before lastpc that wrote reg, or -1. Forward jumps that stay before lastpc
// are followed, so code on a skipped branch does not count.
int find_setter(const Prototype* p, int lastpc, int reg) {
  int last = -1;
  for (int pc = 0; pc < lastpc && pc < p->size_code; ++pc) {
    Instruction i = original_instruction(p, pc);
    int op = get_op(i);
    if (op >= OPCODE_COUNT) continue;
    int a = get_a(i);
    switch (op) {
      case OP_LOADNIL:
        if (a <= reg && reg <= get_b(i)) last = pc;
        break;
      case OP_CALL:
      case OP_TAILCALL:
      case OP_VARARG:
        if (reg >= a) last = pc;
        break;
      case OP_TFORLOOP:
      case OP_TFORNEXT:
        if (reg >= a + 1) last = pc;
        break;
      case OP_SELF:
        if (reg == a || reg == a + 1) last = pc;
        break;
      case OP_JMP: {
        int dest = pc + 1 + get_sbx(i);
        if (pc < dest && dest <= lastpc) pc = dest - 1;
        break;
      }
      case OP_SETLIST:
        if (get_c(i) == 0) ++pc;  // the extra word holding C
        break;
      case OP_CLOSURE: {
        int bx = get_bx(i);
        if (a == reg) last = pc;
        if (bx < p->size_protos) pc += p->protos[bx]->nupvalues;  // its pseudo-instructions
        break;
      }
      default:
        if (op_writes_a(op) && a == reg) last = pc;
        break;
    }
  }
  return last;
}

}  // namespace

const StringObject* local_name(const Prototype* p, int n, int pc) {
  for (int i = 0; i < p->size_locals && p->locals[i].start_pc <= pc; ++i) {
    if (pc < p->locals[i].end_pc && --n == 0) return p->locals[i].name;
  }
  return nullptr;
}

VariableDescription describe_register(const Prototype* p, int pc, int reg) {
  VariableDescription d;
  if (const StringObject* name = local_name(p, reg + 1, pc)) {
    d.kind = "variable(local)";
    d.name.assign(name->data(), name->length);
    return d;
  }
  int setter = find_setter(p, pc, reg);
  if (setter < 0) return d;
  Instruction i = original_instruction(p, setter);
  switch (get_op(i)) {
    case OP_GETGLOBAL: d.kind = "global(namespace)"; d.name = constant_text(p, get_bx(i)); break;
    case OP_GETNS: d.kind = "self(namespace)"; d.name = constant_text(p, get_bx(i)); break;
    case OP_LOADNS: d.kind = "self(namespace)"; d.name = "self"; break;
    case OP_MOVE:
      if (get_b(i) < get_a(i)) return describe_register(p, setter, get_b(i));
      break;
    case OP_GETTABLE: d.kind = "field(table)"; d.name = rk_constant_text(p, get_c(i)); break;
    case OP_SELF: d.kind = "method(table)"; d.name = rk_constant_text(p, get_c(i)); break;
    case OP_GETUPVAL: {
      int b = get_b(i);
      d.kind = "variable(upvalue)";
      d.name = (b < p->size_upvalue_names && p->upvalue_names[b])
                   ? std::string(p->upvalue_names[b]->data(), p->upvalue_names[b]->length)
                   : "?";
      break;
    }
    default: break;
  }
  return d;
}

int current_pc(VmState* L, CallFrame* frame) {
  const Instruction* pc = (frame == L->frame) ? L->saved_pc : frame->saved_pc;
  const Prototype* p = frame->func->closure()->proto;
  if (pc == nullptr) return 0;
  return static_cast<int>(pc - p->code) - 1;
}

VariableDescription describe_value(VmState* L, const Value* v) {
  CallFrame* f = L->frame;
  if (f == L->frames || !is_script(f) || v < f->base || v >= f->top) return {};
  return describe_register(f->func->closure()->proto, current_pc(L, f), static_cast<int>(v - f->base));
}

VariableDescription called_description(VmState* L, CallFrame* frame) {
  if (frame == L->frames || frame->tail_calls > 0) return {};
  CallFrame* caller = frame - 1;
  if (!is_script(caller)) return {};
  const Prototype* p = caller->func->closure()->proto;
  int pc = current_pc(L, caller);
  if (pc < 0 || pc >= p->size_code) return {};
  Instruction i = original_instruction(p, pc);
  int op = get_op(i);
  if (op != OP_CALL && op != OP_TAILCALL && op != OP_TFORLOOP && op != OP_TFORNEXT) return {};
  return describe_register(p, pc, get_a(i));
}

std::string where(VmState* L, int level) {
  CallFrame* f = L->frame - level;
  if (f <= L->frames || !is_script(f)) return {};
  int line = current_line(L, f);
  if (line <= 0) return {};
  return format_message("\n{File}:%s\n{Line}:#%d\n{Error}:", source_display_name(f->func->closure()->proto->source).c_str(), line);
}

}  // namespace quevro
