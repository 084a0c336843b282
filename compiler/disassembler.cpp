#include "compiler/disassembler.h"

#include <cstdio>

#include "vm/exec_form.h"
#include "vm/opcodes.h"
#include "vm/string.h"
#include "vm/value.h"

namespace quevro {

namespace {

std::string constant_text(const Prototype* p, int index) {
  if (index < 0 || index >= p->size_constants) return "?";
  const Value& v = p->constants[index];
  char buf[64];
  switch (v.tag) {
    case TAG_NULL: return "null";
    case TAG_BOOLEAN: return v.u.b ? "true" : "false";
    case TAG_NUMBER: std::snprintf(buf, sizeof buf, "%.14g", v.u.n); return buf;
    case TAG_STRING: {
      const StringObject* s = v.string();
      std::string out = s->is_wide() ? "u\"" : "\"";
      size_t n = s->length;
      if (n > 40) n = 40;
      for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(s->data()[i]);
        if (c == '"' || c == '\\') {
          out += '\\';
          out += static_cast<char>(c);
        } else if (c < 32 || c == 127) {
          std::snprintf(buf, sizeof buf, "\\%d", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
      }
      if (n < s->length) out += "...";
      return out + "\"";
    }
    default: return "<object>";
  }
}

std::string rk_text(int x) {
  char buf[16];
  if (x & 0x100) std::snprintf(buf, sizeof buf, "K%d", x & 0xFF);
  else std::snprintf(buf, sizeof buf, "%d", x);
  return buf;
}

}  // namespace

std::string disassemble_instruction(const Prototype* p, int pc) {
  Instruction i = original_instruction(p, pc);
  int op = get_op(i);
  char buf[128];
  if (op >= OPCODE_COUNT) {
    std::snprintf(buf, sizeof buf, "<word %u>", static_cast<unsigned>(i));
    return buf;
  }
  std::string out = OPCODE_NAMES[op];
  int a = get_a(i), b = get_b(i), c = get_c(i);
  std::string comment;
  switch (op_format(op)) {
    case FORMAT_ABC: {
      out += " " + std::to_string(a);
      OperandKind kb = op_kind_b(op), kc = op_kind_c(op);
      if (kb != OPERAND_UNUSED) out += " " + (kb == OPERAND_RK ? rk_text(b) : std::to_string(b));
      if (kc != OPERAND_UNUSED) out += " " + (kc == OPERAND_RK ? rk_text(c) : std::to_string(c));
      if (kb == OPERAND_RK && (b & 0x100)) comment += constant_text(p, b & 0xFF);
      if (kc == OPERAND_RK && (c & 0x100)) comment += (comment.empty() ? "" : " ") + constant_text(p, c & 0xFF);
      break;
    }
    case FORMAT_ABX:
      out += " " + std::to_string(a) + " " + std::to_string(get_bx(i));
      if (op_kind_b(op) == OPERAND_RK) comment = constant_text(p, get_bx(i));
      break;
    case FORMAT_ASBX:
      out += " " + std::to_string(a) + " ->" + std::to_string(pc + 1 + get_sbx(i));
      break;
  }
  if (!comment.empty()) out += " ; " + comment;
  return out;
}

std::string disassemble(const Prototype* p, bool nested) {
  std::string out;
  char buf[160];
  std::snprintf(buf, sizeof buf, "function <%d,%d> %d instructions, %d constants, %d functions\n", p->line_defined,
                p->last_line_defined, p->size_code, p->size_constants, p->size_protos);
  out += buf;
  std::snprintf(buf, sizeof buf, "%d params%s, %d registers, %d upvalues%s\n", p->numparams,
                (p->vararg_flags & 0x02) ? "+" : "", p->max_stack_size, p->nupvalues, p->is_class ? ", class" : "");
  out += buf;
  for (int pc = 0; pc < p->size_code; pc++) {
    int line = pc < p->size_line_info ? p->line_info[pc] : 0;
    std::snprintf(buf, sizeof buf, "  %4d [%d] ", pc, line);
    out += buf;
    out += disassemble_instruction(p, pc);
    out += "\n";
    Instruction i = original_instruction(p, pc);
    if (get_op(i) == OP_SETLIST && get_c(i) == 0 && pc + 1 < p->size_code) {
      std::snprintf(buf, sizeof buf, "  %4d      (block %u)\n", pc + 1, static_cast<unsigned>(original_instruction(p, pc + 1)));
      out += buf;
      pc++;
    }
  }
  for (int k = 0; k < p->size_constants; k++) out += "  K" + std::to_string(k) + " = " + constant_text(p, k) + "\n";
  for (int k = 0; k < p->size_locals; k++) {
    const LocalVarInfo& v = p->locals[k];
    std::string name = v.name ? std::string(v.name->data(), v.name->length) : "?";
    std::snprintf(buf, sizeof buf, "  local %s %d-%d\n", name.c_str(), v.start_pc, v.end_pc);
    out += buf;
  }
  for (int k = 0; k < p->size_upvalue_names; k++) {
    const StringObject* s = p->upvalue_names[k];
    out += "  upvalue " + (s ? std::string(s->data(), s->length) : std::string("?")) + "\n";
  }
  if (nested)
    for (int k = 0; k < p->size_protos; k++) out += disassemble(p->protos[k], true);
  return out;
}

}  // namespace quevro
