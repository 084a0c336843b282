#include "host/repl.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "compiler/chunk_entry.h"
#include "host/line_editor.h"
#include "lib/base_library.h"
#include "vm/api.h"
#include "vm/calls.h"

namespace quevro {

namespace {

constexpr const char* CHUNK_NAME = "=stdin";

// Input that ends inside a construct fails with the end-of-input token named as the place.
bool is_incomplete(VmState* L) {
  size_t len;
  const char* msg = to_lstring(L, -1, &len);
  return msg && std::string(msg, len).find("<eof>") != std::string::npos;
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

// Compiles the input, first as an expression whose values are printed, then as statements.
// Returns 1 when compiled (function on the stack), 0 for an error (message on the stack),
// -1 when more input is needed.
int compile_input(VmState* L, const std::string& input) {
  std::string as_expression = "return " + input;
  if (load_buffer(L, as_expression.data(), as_expression.size(), CHUNK_NAME) == STATUS_OK) return 1;
  L->top--;
  std::string statements = keep_declarations(input);
  if (load_buffer(L, statements.data(), statements.size(), CHUNK_NAME) == STATUS_OK) return 1;
  return is_incomplete(L) ? -1 : 0;
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

void print_results(VmState* L, int first) {
  int n = get_top(L);
  if (n < first) return;
  std::string line;
  for (int i = first; i <= n; ++i) {
    push_tostring(L, i);
    size_t len;
    const char* s = to_lstring(L, -1, &len);
    if (i > first) line += '\t';
    if (s) line.append(s, len);
    L->top--;
  }
  std::fprintf(stdout, "%s\n", line.c_str());
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
  if (interactive) std::printf("\n");
  return 0;
}

}  // namespace quevro
