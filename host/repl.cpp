#include "host/repl.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "compiler/chunk_entry.h"
#include "host/line_editor.h"
#include "lib/base_library.h"
#include "lib/table_library.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/closure.h"
#include "vm/exec_form.h"
#include "vm/metamethods.h"
#include "vm/opcodes.h"
#include "vm/prototype.h"
#include "vm/string.h"
#include "vm/table.h"

namespace quevro {

namespace {

constexpr const char* CHUNK_NAME = "=stdin";

// How much of a table value the prompt shows: enough to recognise it, short enough to read.
constexpr int TABLE_PREVIEW_ENTRIES = 20;
constexpr size_t TABLE_PREVIEW_BYTES = 300;

// A syntax error found at the end of the input: more lines may still complete it. The error names
// the token it happened at last, and there the end of input is shown as <eof>.
bool fails_at_end(VmState* L, int idx) {
  size_t len;
  const char* msg = to_lstring(L, idx, &len);
  return msg && std::string_view(msg, len).ends_with("\n{Near}:'<eof>'");
}

// Each input is its own chunk, so a local declared at the prompt would vanish with it; a leading
// `var` (or `const`) is dropped so the name lives on in the namespace for the next inputs.
std::string keep_declarations(const std::string& input) {
  size_t start = input.find_first_not_of(" \t");
  if (start == std::string::npos) return input;
  for (const char* word : {"var", "const"}) {
    size_t n = std::char_traits<char>::length(word);
    if (input.compare(start, n, word) == 0 && start + n < input.size() &&
        (input[start + n] == ' ' || input[start + n] == '\t'))
      return input.substr(0, start) + input.substr(start + n + 1);
  }
  return input;
}

// True when some instruction of p continues at target by a jump.
bool is_jump_target(const Prototype* p, int target) {
  for (int pc = 0; pc < p->size_code; ++pc) {
    Instruction i = original_instruction(p, pc);
    int op = get_op(i);
    if ((op == OP_JMP || op == OP_FORPREP || op == OP_FORLOOP) && pc + 1 + get_sbx(i) == target) return true;
    if (op == OP_SETLIST && get_c(i) == 0) ++pc;  // the next word holds C
    if (op == OP_CLOSURE && get_bx(i) < p->size_protos) pc += p->protos[get_bx(i)]->nupvalues;  // capture words
  }
  return false;
}

// When the input's last statement is a call, its results become the chunk's results so that the
// prompt prints them: the call keeps all its results and the closing return hands them on. Only
// done when nothing jumps to that return (a call in a branch may not have run).
void return_final_call_results(Prototype* p) {
  int n = p->size_code;
  if (n < 2) return;
  Instruction call = original_instruction(p, n - 2);
  Instruction ret = original_instruction(p, n - 1);
  if (get_op(call) != OP_CALL || get_c(call) != 1) return;
  if (get_op(ret) != OP_RETURN || get_b(ret) != 1 || is_jump_target(p, n - 1)) return;
  set_c(&call, 0);
  p->code[n - 2] = to_exec_form(call);
  p->code[n - 1] = to_exec_form(make_abc(OP_RETURN, get_a(call), 0, 0));
}

// True when the input is exactly one expression list. "return " + input alone cannot tell: the
// tokens after a return statement are skipped, so "1 )" or "}" would compile as well.
bool is_expression_list(VmState* L, const std::string& input) {
  std::string as_arguments = "values(0, " + input + "\n)";
  bool ok = load_buffer(L, as_arguments.data(), as_arguments.size(), CHUNK_NAME) == STATUS_OK;
  L->top--;
  return ok;
}

// Compiles the input: as statements (with the final call's results returned), else as an
// expression list whose values are returned. Returns 1 when compiled (function on the stack), 0
// for an error and -1 when more lines may complete the input (message on the stack for both).
int compile_input(VmState* L, const std::string& input) {
  std::string statements = keep_declarations(input);
  if (load_buffer(L, statements.data(), statements.size(), CHUNK_NAME) == STATUS_OK) {
    return_final_call_results(stack_address(L, -1)->closure()->proto);
    return 1;
  }
  std::string as_expression = "return " + input;
  bool expression_unfinished = false;
  if (load_buffer(L, as_expression.data(), as_expression.size(), CHUNK_NAME) == STATUS_OK) {
    if (is_expression_list(L, input)) {
      remove(L, -2);  // the statements' error
      return 1;
    }
  } else {
    expression_unfinished = fails_at_end(L, -1);
  }
  bool statements_unfinished = fails_at_end(L, -2);
  // Keep the statements' error, unless only the expression reading went on to the end.
  if (expression_unfinished && !statements_unfinished)
    remove(L, -2);
  else
    L->top--;
  return statements_unfinished || expression_unfinished ? -1 : 0;
}

void print_error(VmState* L) {
  size_t len;
  const char* msg = to_lstring(L, -1, &len);
  if (msg)
    std::fprintf(stderr, "%.*s\n", static_cast<int>(len), msg);
  else
    std::fprintf(stderr, "(error object is a %s value)\n", type_name(L, -1));
  std::fflush(stderr);
  L->top--;
}

// A table shows its contents unless its metatable gives it a text of its own.
bool shows_contents(VmState* L, int idx) {
  if (type_of(L, idx) != TAG_TABLE) return false;
  if (!get_metafield(L, idx, "_tostring")) return true;
  bool own_text = type_of(L, -1) == TAG_FUNCTION;
  pop(L, 1);
  return !own_text;
}

struct Results {
  int first;
  int last;
  std::string line;
};

// Builds the line of results; runs protected, since conversions may call script code.
void format_results(VmState* L, void* ud) {
  auto* r = static_cast<Results*>(ud);
  for (int i = r->first; i <= r->last; ++i) {
    if (i > r->first) r->line += '\t';
    if (shows_contents(L, i)) {
      preview_table(L, i, TABLE_PREVIEW_ENTRIES, TABLE_PREVIEW_BYTES, r->line);
      continue;
    }
    push_tostring(L, i);
    size_t len;
    const char* s = to_lstring(L, -1, &len);
    if (s) r->line.append(s, len);
    L->top--;
  }
}

void print_results(VmState* L, int first) {
  Results r{first, get_top(L), std::string()};
  if (r.last < first) return;
  if (protected_run(L, format_results, &r) != STATUS_OK) {
    print_error(L);
    return;
  }
  std::fprintf(stdout, "%s\n", r.line.c_str());
  std::fflush(stdout);
}

}  // namespace

int run_prompt(VmState* L) {
  bool interactive = isatty(STDIN_FILENO) != 0;
  LineEditor editor(interactive);
  if (interactive) std::printf("quevro 44 -- type statements or expressions; end with Ctrl-D\n");
  std::string pending;
  std::string line;
  while (editor.read_line(pending.empty() ? "> " : ">> ", &line)) {
    pending = pending.empty() ? line : pending + "\n" + line;
    int base = get_top(L);
    int compiled = compile_input(L, pending);
    if (compiled < 0) {
      L->top--;
      continue;  // keep reading until the construct is complete
    }
    editor.add_history(pending);
    pending.clear();
    if (compiled == 0) {
      print_error(L);
      continue;
    }
    ensure_stack(L, 2);
    push_null(L);  // owner
    if (pcall(L, 1, -1, 0) != STATUS_OK) {
      print_error(L);
      set_top(L, base);
      continue;
    }
    print_results(L, base + 1);
    set_top(L, base);
  }
  if (!pending.empty() && compile_input(L, pending) < 0) {
    // The input ended inside a construct: say what is missing instead of dropping it silently.
    print_error(L);
  }
  if (interactive) std::printf("\n");
  return 0;
}

}  // namespace quevro
