// Statements: blocks, control structures, declarations, assignments and the template output.
#include <cstring>

#include "compiler/parser.h"
#include "vm/error.h"
#include "vm/string.h"

namespace quevro {

namespace {

// Single statements nest through bodies without passing a block, so they are bounded separately.
constexpr int MAX_STATEMENT_DEPTH = 200;

bool block_follows(int code) { return code == '}' || code == TK_EOS; }

}  // namespace

// block ::= {stmt | ";"}   (a last statement ends the block)
void Parser::statlist(bool braced) {
  LevelGuard level(*this);
  bool saved = block_braced_;
  block_braced_ = braced;
  while (!block_follows(t().code)) {
    if (t().code == ';') {
      next();
      continue;
    }
    bool last = statement();
    fs()->freereg = fs()->nactvar;
    if (last) {
      skip_to_block_end(braced);
      break;
    }
  }
  block_braced_ = saved;
}

// skipped ::= {token} up to the "}" that closes the block, or up to <eof> at the top level
// Code after a last statement up to the end of its block is read as tokens but never compiled.
// A braced block ends at its closing brace; the chunk's top level only at <eof>, so there every
// brace is skipped like any other token.
void Parser::skip_to_block_end(bool braced) {
  int depth = 0;
  while (t().code != TK_EOS) {
    if (!braced) {
      next();
      continue;
    }
    if (t().code == '{') {
      depth++;
    } else if (t().code == '}') {
      if (depth == 0) return;
      depth--;
    }
    next();
  }
}

// stmt ::= "{" block "}" | if | while | do | for | select | try | break | continue | return
//        | `var` local | function | class | namespace | with | import | <print> | ";" | exprstat
bool Parser::statement() {
  if (++statement_depth_ > MAX_STATEMENT_DEPTH) ls_.syntax_error("chunk has too many syntax levels");
  struct DepthGuard {
    int& d;
    ~DepthGuard() { --d; }
  } guard{statement_depth_};
  int line = t().line;
  switch (t().code) {
    case '{': {
      next();
      BlockCnt bl;
      enter_block(&bl, false);
      statlist(true);
      check_match('}', '{', line);
      leave_block();
      return false;
    }
    case TK_BREAK: break_stat(false); return true;
    case TK_CONTINUE: break_stat(true); return true;
    case TK_FOR: for_stat(line); return false;
    case TK_CLASS: class_stat(line); return false;
    case TK_FUNCTION: func_stat(line); return false;
    case TK_IF: if_stat(); return false;
    case TK_VAR:
      next();
      local_stat();
      return false;
    case TK_NAMESPACE: namespace_stat(line, false); return false;
    case TK_WITH: namespace_stat(line, true); return false;
    case TK_IMPORT: import_stat(); return false;
    case TK_TRY: try_stat(line); return false;
    case TK_RETURN: return_stat(); return true;
    case TK_DO: do_stat(line); return false;
    case TK_SELECT: select_stat(line); return false;
    case TK_WHILE: while_stat(); return false;
    case TK_PRINT: print_stat(); return false;
    case ';': next(); return false;
    default: expr_stat(); return false;
  }
}

// body ::= "{" [label ":"] block "}" {";"} | stmt {";"}   (labels only on loop bodies)
// A block-or-statement; a braced loop body may start with a label for break/continue.
void Parser::body(BlockCnt* loop) {
  BlockCnt bl;
  if (t().code == '{') {
    int line = t().line;
    next();
    if (loop && t().code == TK_NAME && ls_.lookahead() == ':' && ls_.lookahead_char() != '=') {
      StringObject* label = t().str;
      label->marked |= MARK_FIXED;  // labels stay valid for the state's lifetime
      loop->label = label;
      next();
      next();
    }
    enter_block(&bl, false);
    statlist(true);
    check_match('}', '{', line);
    leave_block();
  } else {
    enter_block(&bl, false);
    statement();
    leave_block();
  }
  while (t().code == ';') next();
}

// cond ::= exp   (a literal null is false)
int Parser::cond() {
  ExpDesc v;
  expr(&v);
  if (v.k == VNIL) v.k = VFALSE;  // a literal null condition is false
  go_if_true(fs(), &v);
  return v.f;
}

// test_then_block ::= (`if` | `elseif`) cond body
int Parser::test_then_block() {
  next();  // `if` or `elseif`
  int flist = cond();
  body(nullptr);
  return flist;
}

// if ::= `if` cond body {`elseif` cond body} [`else` body]
void Parser::if_stat() {
  FuncState* f = fs();
  int escape = NO_JUMP;
  int flist = test_then_block();
  while (t().code == TK_ELSEIF) {
    concat_jumps(f, &escape, code_jump(f));
    patch_to_here(f, flist);
    flist = test_then_block();
  }
  if (t().code == TK_ELSE) {
    concat_jumps(f, &escape, code_jump(f));
    patch_to_here(f, flist);
    next();
    body(nullptr);
  } else {
    concat_jumps(f, &escape, flist);
  }
  patch_to_here(f, escape);
}

// while_stat ::= `while` exp body
//              | `while` "(" `var` decl ")" body
//              | `while` "(" [`var` decl] ";" stmt {"," stmt} ";" exp ")" body
// The two bracketed forms begin alike; the token after the declaration tells them apart.
void Parser::while_stat() {
  FuncState* f = fs();
  next();
  if (!(t().code == '(' && (ls_.lookahead() == TK_VAR || ls_.lookahead() == ';'))) {
    while_condition_loop();
    return;
  }
  int paren_line = t().line;
  next();
  BlockCnt loop;
  enter_block(&loop, true);
  if (test_next(TK_VAR)) {
    int before = get_label(f);
    int first = f->nactvar;
    local_decl_one();
    if (test_next(')')) {
      while_declaration_loop(&loop, before, first);
      leave_block();
      return;
    }
  }
  while_clause_loop(&loop, paren_line);
  leave_block();
}

// while_condition_loop ::= exp body
void Parser::while_condition_loop() {
  FuncState* f = fs();
  int whileinit = get_label(f);
  int exit = cond();
  BlockCnt loop;
  enter_block(&loop, true);
  body(&loop);
  patch_list(f, code_jump(f), whileinit);
  patch_list(f, loop.continue_list, whileinit);
  leave_block();
  patch_to_here(f, exit);
}

// while_declaration_loop ::= body   (after "(" `var` decl ")", whose code starts at `before`)
// The declaration runs before every test; the loop runs while its first name is true.
void Parser::while_declaration_loop(BlockCnt* loop, int before, int first) {
  FuncState* f = fs();
  loop->continue_closes = true;
  ExpDesc c;
  init_exp(&c, VLOCAL, first);
  go_if_true(f, &c);
  int exit = c.f;
  body(loop);
  if (loop->upval) code_abc(f, OP_CLOSE, loop->nactvar, 0, 0);
  patch_list(f, code_jump(f), before);
  patch_list(f, loop->continue_list, before);
  patch_to_here(f, exit);
}

// while_clause_loop ::= ";" stmt {"," stmt} ";" exp ")" body
// The statements run at the start of every iteration, before the test.
void Parser::while_clause_loop(BlockCnt* loop, int paren_line) {
  FuncState* f = fs();
  check_next(';');
  int whileinit = get_label(f);
  while (t().code != ';') {
    statement();
    f->freereg = f->nactvar;
    if (!test_next(',')) break;
  }
  check_next(';');
  int exit = cond();
  check_match(')', '(', paren_line);
  body(loop);
  patch_list(f, code_jump(f), whileinit);
  patch_list(f, loop->continue_list, whileinit);
  patch_to_here(f, exit);
}

// do ::= `do` body `while` cond
void Parser::do_stat(int line) {
  FuncState* f = fs();
  next();
  BlockCnt loop;
  enter_block(&loop, true);
  int start = get_label(f);
  body(&loop);
  patch_to_here(f, loop.continue_list);
  if (t().code != TK_WHILE) {
    ls_.syntax_error(format_message("\n{Expected}:'%s'\n{Match for}:'%s'\n{Match line}:%d ", "while", "do", line));
  }
  next();
  int exit = cond();
  patch_list(f, code_jump(f), start);
  patch_to_here(f, exit);
  leave_block();
}

// for ::= `for` ["("] [`var`] name (for_num | for_list) [")"] body
void Parser::for_stat(int line) {
  next();
  int paren_line = t().line;
  bool paren = test_next('(');
  test_next(TK_VAR);
  BlockCnt loop;
  enter_block(&loop, true);
  StringObject* name = check_name();
  int iterator_base = -1;
  switch (t().code) {
    case '=': for_num(name, line, paren, paren_line, &loop); break;
    case ',':
    case TK_IN: iterator_base = for_list(name, line, paren, paren_line, &loop); break;
    default: ls_.syntax_error("\n{Expected}:'=' or 'in'");
  }
  leave_block();
  // A called iterator's state value is called once the loop ends (breaks land here too).
  if (iterator_base >= 0) code_abc(fs(), OP_CALLIFFUNC, iterator_base, 0, 0);
}

// for_num ::= name "=" exp (for_num_separated | for_num_clauses)   (after `for` ["("] [`var`])
void Parser::for_num(StringObject* name, int line, bool paren, int paren_line, BlockCnt* loop) {
  FuncState* f = fs();
  int base = f->freereg;
  new_localvar(hidden_name("(for index)"), 0);
  new_localvar(hidden_name("(for limit)"), 1);
  new_localvar(hidden_name("(for step)"), 2);
  new_localvar(name, 3);
  next();  // '='
  ExpDesc e;
  expr(&e);
  exp_to_nextreg(f, &e);
  if (t().code == ',' || t().code == TK_NAME)
    for_num_separated();
  else if (t().code == ';')
    for_num_clauses(name);
  else
    error_expected(';');
  if (paren) check_match(')', '(', paren_line);
  for_body(base, line, 1, true, false, loop);
}

// for_num_separated ::= "," exp ["," exp] | name exp [name exp]
// The step (1 when missing) follows the limit after the same kind of separator (`to` ... `step`).
void Parser::for_num_separated() {
  FuncState* f = fs();
  bool comma = t().code == ',';
  next();
  ExpDesc e;
  expr(&e);
  exp_to_nextreg(f, &e);
  if (comma ? t().code == ',' : t().code == TK_NAME) {
    next();
    expr(&e);
    exp_to_nextreg(f, &e);
  } else {
    load_for_step(1);
  }
}

// for_num_clauses ::= ";" for_limit_clause [";" for_step_clause]
// Without a step clause the step is the one the limit's comparison implies.
void Parser::for_num_clauses(StringObject* name) {
  next();  // ';'
  double step = for_limit_clause(name);
  if (test_next(';'))
    for_step_clause(name);
  else
    load_for_step(step);
}

// for_limit_clause ::= name ("<" | "<=" | ">" | ">=") exp | exp [("<" | "<=" | ">" | ">=") name]
// Loads the inclusive limit (a strict comparison moves it by one) and returns the implied step.
double Parser::for_limit_clause(StringObject* name) {
  FuncState* f = fs();
  ExpDesc limit;
  double adjust = 0, step = 1;
  if (is_loop_var(name)) {
    int la = ls_.lookahead();
    if (la != '<' && la != TK_LE && la != '>' && la != TK_GE)
      ls_.syntax_error(loop_var_message("\n 'for' limit cannot be the loop variable '%s'", name));
    next();
    int op = t().code;
    next();
    expr(&limit);
    if (op == '<') adjust = -1;
    else if (op == '>') adjust = 1, step = -1;
    else if (op == TK_GE) step = -1;
  } else {
    subexpr(&limit, 16);
    int op = t().code;
    if (op == '<' || op == TK_LE || op == '>' || op == TK_GE) {
      next();
      if (!is_loop_var(name)) ls_.syntax_error(loop_var_message("\n{Expected}:loop variable '%s'", name));
      next();
      if (op == '>') adjust = -1;
      else if (op == '<') adjust = 1, step = -1;
      else if (op == TK_LE) step = -1;
    }
  }
  if (adjust != 0) {
    BinOpr op = adjust > 0 ? OPR_ADD : OPR_SUB;
    code_infix(f, op, &limit);
    ExpDesc one;
    init_exp(&one, VKNUM, 0);
    one.nval = 1;
    code_posfix(f, op, &limit, &one);
  }
  exp_to_nextreg(f, &limit);
  return step;
}

// for_step_clause ::= ("++" | "--") name | name ("++" | "--") | name ("+" | "-") "=" exp
//                   | name "=" name ("+" | "-") exp | exp
void Parser::for_step_clause(StringObject* name) {
  FuncState* f = fs();
  if (t().code == TK_CONCAT || (t().code == '-' && ls_.lookahead() == '-')) {  // ++i, --i
    bool down = t().code == '-';
    next();
    if (down) next();
    if (!is_loop_var(name)) ls_.syntax_error(loop_var_message("\n{Expected}:loop variable '%s'", name));
    next();
    load_for_step(down ? -1 : 1);
    return;
  }
  ExpDesc s;
  bool negate = false;
  if (is_loop_var(name)) {
    int la = ls_.lookahead();
    if (la == TK_CONCAT) {  // i++
      next();
      next();
      load_for_step(1);
      return;
    }
    if (la == '-' || la == '+') {  // i--, i += e, i -= e
      next();
      next();
      if (la == '-' && test_next('-')) {
        load_for_step(-1);
        return;
      }
      check_next('=');
      expr(&s);
      negate = la == '-';
    } else if (la == '=') {  // i = i + e, i = i - e
      next();
      next();
      check_name();
      if (t().code != '+' && t().code != '-') ls_.syntax_error("\n{Expected}:'+' or '-'");
      negate = t().code == '-';
      next();
      expr(&s);
    } else {
      expr(&s);
    }
  } else if (t().code == '{') {
    ls_.syntax_error("\n{Expected}: step expression");
  } else {
    expr(&s);
  }
  if (negate) code_prefix(f, OPR_MINUS, &s);
  exp_to_nextreg(f, &s);
}

void Parser::load_for_step(double step) {
  FuncState* f = fs();
  code_abx(f, OP_LOADK, f->freereg, number_constant(f, step));
  reserve_regs(f, 1);
}

bool Parser::is_loop_var(const StringObject* name) { return t().code == TK_NAME && t().str == name; }

std::string Parser::loop_var_message(const char* format, const StringObject* name) {
  std::string text(name->data(), name->length);
  return format_message(format, text.c_str());
}

// for_list ::= {"," name} `in` explist
int Parser::for_list(StringObject* name, int line, bool paren, int paren_line, BlockCnt* loop) {
  FuncState* f = fs();
  int base = f->freereg;
  new_localvar(hidden_name("(for gen)"), 0);
  new_localvar(hidden_name("(for state)"), 1);
  new_localvar(hidden_name("(for ctrl)"), 2);
  new_localvar(name, 3);
  int nvars = 1;
  while (test_next(',')) new_localvar(check_name(), 3 + nvars++);
  check_next(TK_IN);
  ExpDesc e;
  int nexps = explist(&e);
  bool direct = nexps == 1 && e.k != VCALL;
  adjust_assign(3, nexps, &e);
  check_stack(f, 3);  // the iterator call needs room above the control values
  if (paren) check_match(')', '(', paren_line);
  for_body(base, line, nvars, false, direct, loop);
  return direct ? -1 : base;
}

// for_body ::= body   (the loop variables are declared around it)
void Parser::for_body(int base, int line, int nvars, bool isnum, bool direct, BlockCnt* loop) {
  FuncState* f = fs();
  adjust_localvars(3);
  int prep = isnum ? code_asbx(f, OP_FORPREP, base, NO_JUMP) : code_jump(f);
  BlockCnt bl;
  enter_block(&bl, false);
  adjust_localvars(nvars);
  reserve_regs(f, nvars);
  body(loop);
  leave_block();
  patch_to_here(f, prep);
  patch_to_here(f, loop->continue_list);
  loop->continue_list = NO_JUMP;
  int endfor = isnum ? code_asbx(f, OP_FORLOOP, base, NO_JUMP)
                     : code_abc(f, direct ? OP_TFORNEXT : OP_TFORLOOP, base, 0, nvars);
  fix_line(f, line);
  patch_list(f, isnum ? endfor : code_jump(f), prep + 1);
}

// select ::= `select` exp "{" `case` case_items {`case` case_items} [`else` body] "}"
// case_items ::= `else` body | case_condition body
void Parser::select_stat(int line) {
  FuncState* f = fs();
  next();
  BlockCnt bl;
  enter_block(&bl, false);
  new_localvar(hidden_name("(select var)"), 0);
  ExpDesc e;
  expr(&e);
  adjust_assign(1, 1, &e);
  adjust_localvars(1);
  int subject = f->nactvar - 1;
  check_next('{');
  if (t().code != TK_CASE) error_expected(TK_CASE);
  int escape = NO_JUMP;
  bool else_done = false;
  while (t().code == TK_CASE) {
    next();
    if (t().code == TK_ELSE) {
      next();
      body(nullptr);
      else_done = true;
      break;
    }
    ExpDesc c;
    case_condition(subject, &c);
    go_if_true(f, &c);
    int flist = c.f;
    body(nullptr);
    if (t().code == TK_CASE || t().code == TK_ELSE) concat_jumps(f, &escape, code_jump(f));
    patch_to_here(f, flist);
  }
  if (!else_done && t().code == TK_ELSE) {
    next();
    body(nullptr);
  }
  check_match('}', TK_SELECT, line);
  patch_to_here(f, escape);
  leave_block();
}

// case_condition ::= binop exp {"," exp} | range {"," range}
// range ::= exp [(`to` | ";") exp]
void Parser::case_condition(int subject, ExpDesc* cond) {
  FuncState* f = fs();
  OpInfo info = binary_op(t().code);
  bool has_op = info.op != OPR_NOBINOPR && t().code != '-';
  BinOpr op = OPR_EQS;
  if (has_op) {
    op = info.op;
    next();
  }
  bool first = true;
  do {
    if (!first) code_infix(f, OPR_OR, cond);
    ExpDesc c;
    init_exp(&c, VLOCAL, subject);
    code_infix(f, op, &c);
    ExpDesc v;
    expr(&v);
    if (!has_op && (t().code == ';' || (t().code == TK_NAME && is_string(t().str, "to")))) {
      // A range: subject >= a and subject <= b. The strict-equality preparation of a local
      // emitted no code, so the same descriptor serves the first comparison.
      next();
      code_posfix(f, OPR_GE, &c, &v);
      code_infix(f, OPR_AND, &c);
      ExpDesc c2;
      init_exp(&c2, VLOCAL, subject);
      code_infix(f, OPR_LE, &c2);
      ExpDesc b;
      expr(&b);
      code_posfix(f, OPR_LE, &c2, &b);
      code_posfix(f, OPR_AND, &c, &c2);
    } else {
      code_posfix(f, op, &c, &v);
    }
    if (first) *cond = c;
    else code_posfix(f, OPR_OR, cond, &c);
    first = false;
  } while (test_next(','));
}

// break ::= (`break` | `continue`) [label | number]
void Parser::break_stat(bool is_continue) {
  FuncState* f = fs();
  next();
  BlockCnt* target = nullptr;
  if (t().code == TK_NAME) {
    for (BlockCnt* b = f->bl; b; b = b->previous)
      if (b->breakable && b->label == t().str) {
        target = b;
        break;
      }
    if (target) next();
  } else if (t().code == TK_NUMBER) {
    double n = t().number;
    next();
    int want = n < 1 ? 1 : (n > 1e9 ? 1000000000 : static_cast<int>(n));
    for (BlockCnt* b = f->bl; b; b = b->previous)
      if (b->breakable && --want == 0) {
        target = b;
        break;
      }
    if (!target) ls_.syntax_error("no loop to break");
  }
  if (!target) {
    for (BlockCnt* b = f->bl; b; b = b->previous)
      if (b->breakable) {
        target = b;
        break;
      }
  }
  if (!target) ls_.syntax_error("no loop to break");
  // Blocks left by the jump: all inner ones, and the loop's own block for a break.
  bool upval = false;
  int close_level = -1;
  int ns_restore = -1;
  for (BlockCnt* b = f->bl;; b = b->previous) {
    bool crossed = b != target || !is_continue || b->continue_closes;
    if (crossed) {
      if (b->upval) upval = true;
      close_level = b->nactvar;
      if (b->ns_parent_reg >= 0) ns_restore = b->ns_parent_reg;
    }
    if (b == target) break;
  }
  if (ns_restore >= 0) code_abc(f, OP_ENTERNS, 0, 0, ns_restore);
  if (upval && close_level >= 0) code_abc(f, OP_CLOSE, close_level, 0, 0);
  if (is_continue) concat_jumps(f, &target->continue_list, code_jump(f));
  else concat_jumps(f, &target->break_list, code_jump(f));
}

// return ::= `return` [explist] [";"]
void Parser::return_stat() {
  FuncState* f = fs();
  next();
  int first, nret;
  ExpDesc e;
  if (block_follows(t().code) || t().code == ';') {
    first = nret = 0;
  } else {
    nret = explist(&e);
    if (e.k == VCALL || e.k == VVARARG) {
      set_multret(f, &e);
      if (e.k == VCALL && nret == 1) {
        Instruction& i = get_code(f, &e);
        i = (i & ~static_cast<Instruction>((1u << SIZE_OP) - 1)) | OP_TAILCALL;
      }
      first = f->nactvar;
      nret = -1;
    } else if (nret == 1) {
      first = exp_to_anyreg(f, &e);
    } else {
      exp_to_nextreg(f, &e);
      first = f->nactvar;
    }
  }
  code_ret(f, first, nret);
}

// try ::= `try` "{" block "}" [`catch` funcbody]
void Parser::try_stat(int line) {
  FuncState* f = fs();
  next();
  check('{');
  ExpDesc tryf;
  {
    FuncState nfs;
    open_nested(&nfs, line);
    int lbrace = t().line;
    next();
    BlockCnt bl;
    enter_block(&bl, false);
    statlist(true);
    check_match('}', '{', lbrace);
    leave_block();
    close_nested(&nfs, &tryf);
  }
  exp_to_nextreg(f, &tryf);
  int b = tryf.info;
  int c;
  if (t().code == TK_CATCH) {
    int catch_line = t().line;
    next();
    ExpDesc cf;
    func_body(&cf, catch_line);
    exp_to_nextreg(f, &cf);
    c = cf.info;
  } else {
    c = f->freereg;
    reserve_regs(f, 1);
    code_nil(f, c, 1);
  }
  code_abc(f, OP_TRY, 0, b, c);
  fix_line(f, line);
}

// namespace ::= `namespace` modulename ("{" block "}" | block)
// with ::= `with` exp ("{" block "}" | block)
void Parser::namespace_stat(int line, bool is_with) {
  FuncState* f = fs();
  ExpDesc target;
  BlockCnt bl;
  if (is_with) {
    next();
    enter_block(&bl, false);
    new_localvar(hidden_name("(with)"), 0);
    ExpDesc e;
    expr(&e);
    adjust_assign(1, 1, &e);
    adjust_localvars(1);
    init_exp(&target, VNONRELOC, f->nactvar - 1);
  } else {
    ls_.read_module_name();
    StringObject* name = t().str;
    next();
    enter_block(&bl, false);
    init_exp(&target, VK, string_constant(f, name));
  }
  new_localvar(hidden_name("(parent)"), 0);
  int parent = f->freereg;
  reserve_regs(f, 1);
  code_nil(f, parent, 1);
  adjust_localvars(1);
  int rk = exp_to_rk(f, &target);
  code_abc(f, OP_ENTERNS, 0, rk, parent);
  fix_line(f, line);
  f->freereg = f->nactvar;
  bl.ns_parent_reg = parent;
  if (t().code == '{') {
    int lbrace = t().line;
    next();
    statlist(true);
    check_match('}', '{', lbrace);
  } else {
    statlist(block_braced_);
  }
  code_abc(f, OP_ENTERNS, 0, 0, parent);
  leave_block();
}

// import ::= `import` modulename
void Parser::import_stat() {
  FuncState* f = fs();
  ls_.read_module_name();
  StringObject* name = t().str;
  next();
  int base = f->freereg;
  ExpDesc fn;
  init_exp(&fn, VGLOBAL, string_constant(f, hidden_name("import")));
  exp_to_nextreg(f, &fn);
  reserve_regs(f, 2);
  code_abc(f, OP_LOADNS, base + 1, 0, 0);
  code_abx(f, OP_LOADK, base + 2, string_constant(f, name));
  code_abc(f, OP_CALL, base, 3, 1);
  f->freereg = base;
}

// print ::= <print>   (template text, with its "<?" exp "?>" parts)
void Parser::print_stat() {
  FuncState* f = fs();
  int line = t().line;
  StringObject* text = t().str;
  next();
  auto begin_call = [&]() {
    int base = f->freereg;
    ExpDesc fn;
    init_exp(&fn, VGLOBAL, string_constant(f, hidden_name("print")));
    exp_to_nextreg(f, &fn);
    reserve_regs(f, 1);
    code_nil(f, base + 1, 1);
    return base;
  };
  auto null_call = [&]() {
    int base = begin_call();
    reserve_regs(f, 1);
    code_nil(f, base + 2, 1);
    code_abc(f, OP_CALL, base, 3, 1);
    f->freereg = base;
  };
  if (text) {
    int base = begin_call();
    code_abx(f, OP_LOADK, base + 2, string_constant(f, text));
    reserve_regs(f, 1);
    code_abc(f, OP_CALL, base, 3, 1);
    f->freereg = base;
    if (t().code == TK_EOS) null_call();  // the end of the template flushes the output
    return;
  }
  if (t().code == TK_EOS) {
    null_call();
    return;
  }
  int base = begin_call();
  ExpDesc e;
  explist(&e);
  if (t().code != TK_PRINT)
    ls_.syntax_error(format_message("\n{Expected}:\"?>\"\n{Match for}:\"<?\"\n{Match line}:%d ", line));
  int nargs;
  if (e.k == VCALL || e.k == VVARARG) {
    set_multret(f, &e);
    nargs = 0;
  } else {
    exp_to_nextreg(f, &e);
    nargs = f->freereg - base;
  }
  code_abc(f, OP_CALL, base, nargs, 1);
  f->freereg = base;
}

// funcname ::= (<constant> | name) {"." name}
void Parser::funcname(ExpDesc* v) {
  if (t().code == TK_CONSTANT) {
    init_exp(v, VGLOBAL, string_constant(fs(), t().str));
    next();
  } else {
    single_var(check_name(), v);
  }
  while (t().code == '.') {
    exp_to_anyreg(fs(), v);
    next();
    ExpDesc key;
    field_key(&key);
    code_indexed(fs(), v, &key, INDEX_FIELD);
  }
}

// function ::= `function` funcname funcbody
void Parser::func_stat(int line) {
  next();
  ExpDesc v, b;
  funcname(&v);
  func_body(&b, line);
  check_lvalue(&v);
  store_var(fs(), &v, &b);
  fix_line(fs(), line);
}

// class ::= `class` funcname classbody
void Parser::class_stat(int line) {
  next();
  ExpDesc v, b;
  funcname(&v);
  class_body(&b, line);
  check_lvalue(&v);
  store_var(fs(), &v, &b);
  fix_line(fs(), line);
}

// local_func ::= (`function` name funcbody | `class` name classbody | `lambda` name lambdabody)
void Parser::local_func(int line) {
  FuncState* f = fs();
  int kind = t().code;
  next();
  new_localvar(check_name(), 0);
  ExpDesc v, b;
  init_exp(&v, VLOCAL, f->freereg);
  reserve_regs(f, 1);
  adjust_localvars(1);  // visible inside its own body
  if (kind == TK_FUNCTION) func_body(&b, line);
  else if (kind == TK_CLASS) class_body(&b, line);
  else lambda_body(&b, line);
  store_var(f, &v, &b);
}

// local ::= local_func | "(" {decl [";"]} ")" [";"] | decl [";"]   (after `var`)
void Parser::local_stat() {
  int line = t().line;
  if (t().code == TK_FUNCTION || t().code == TK_CLASS || t().code == TK_LAMBDA) {
    local_func(line);
  } else if (t().code == '(') {
    next();
    while (t().code != ')') {
      local_decl_one();
      fs()->freereg = fs()->nactvar;
      test_next(';');
      if (t().code == TK_EOS) break;
    }
    check_match(')', '(', line);
  } else {
    local_decl_one();
  }
  test_next(';');
}

// decl ::= name "=" exp {"," name ["=" exp]} | [name] {"," [name]} ["=" explist]
void Parser::local_decl_one() {
  if (t().code == TK_NAME && ls_.lookahead() == '=') {
    // Each name is declared and initialised on its own; it is visible to the next initialiser.
    do {
      new_localvar(check_name(), 0);
      ExpDesc e;
      if (test_next('=')) {
        expr(&e);
        adjust_assign(1, 1, &e);
      } else {
        e.k = VVOID;
        adjust_assign(1, 0, &e);
      }
      adjust_localvars(1);
    } while (test_next(','));
    return;
  }
  int nvars = 0;
  new_localvar(check_name(), nvars++);
  while (test_next(',')) {
    if (t().code == ',') new_localvar(hidden_name(""), nvars++);  // unnamed slot
    else new_localvar(check_name(), nvars++);
  }
  ExpDesc e;
  int nexps = 0;
  if (test_next('=')) nexps = explist(&e);
  else e.k = VVOID;
  adjust_assign(nvars, nexps, &e);
  adjust_localvars(nvars);
}

void Parser::check_lvalue(const ExpDesc* v) {
  if (v->k == VSELFNS) ls_.syntax_error("self is readonly!");
  bool ok = v->k == VLOCAL || v->k == VUPVAL || v->k == VNSVAR || v->k == VGLOBAL || v->k == VMETA || v->k == VINDEXED;
  if (!ok) ls_.syntax_error("syntax error:invalid lvalue in assignment");
}

// exprstat ::= call | assignment | compound_assignment
void Parser::expr_stat() {
  FuncState* f = fs();
  Lhs v;
  v.prev = nullptr;
  suffixed_exp(&v.v);
  int c = t().code;
  if (c == '=' || c == ',') {
    assignment(&v, 1);
    return;
  }
  if (c == TK_EQ) ls_.syntax_error("ambiguous syntax(==)");
  if (binary_op(c).op != OPR_NOBINOPR) {
    compound_assignment(&v.v);
    return;
  }
  if (v.v.k == VCALL) {
    set_c(&get_code(f, &v.v), 1);  // a statement call keeps no result
    return;
  }
  error_expected('=');
}

void Parser::check_conflict(Lhs* lh, ExpDesc* v) {
  FuncState* f = fs();
  int extra = f->freereg;
  bool conflict = false;
  for (; lh; lh = lh->prev) {
    if (lh->v.k == VINDEXED) {
      if (lh->v.info == v->info) {
        conflict = true;
        lh->v.info = extra;
      }
      if (lh->v.aux == v->info) {
        conflict = true;
        lh->v.aux = extra;
      }
    } else if (lh->v.k == VMETA && lh->v.info == v->info) {
      conflict = true;
      lh->v.info = extra;
    }
  }
  if (conflict) {
    code_abc(f, OP_MOVE, f->freereg, v->info, 0);
    reserve_regs(f, 1);
  }
}

// assignment ::= target {"," [target]} "=" explist
void Parser::assignment(Lhs* lh, int nvars) {
  FuncState* f = fs();
  check_lvalue(&lh->v);
  ExpDesc e;
  if (test_next(',')) {
    Lhs nv;
    nv.prev = lh;
    if (t().code == ',') {
      // An empty place assigns to the global entry with the empty key: the value is dropped.
      init_exp(&nv.v, VGLOBAL, string_constant(f, hidden_name("")));
    } else {
      suffixed_exp(&nv.v);
      if (nv.v.k == VLOCAL) check_conflict(lh, &nv.v);
    }
    int limit = MAX_ACTIVE_LOCALS - L_->native_depth;
    if (nvars + 1 > limit) limit_error(f, limit, "variable names");
    assignment(&nv, nvars + 1);
  } else {
    check_next('=');
    int nexps = explist(&e);
    if (nexps != nvars) {
      adjust_assign(nvars, nexps, &e);
      if (nexps > nvars) f->freereg -= nexps - nvars;
    } else {
      set_one_ret(f, &e);
      store_var(f, &lh->v, &e);
      return;
    }
  }
  init_exp(&e, VNONRELOC, f->freereg - 1);
  store_var(f, &lh->v, &e);
}

// compound_assignment ::= target binop ["="] exp | target ("++" | "--")
void Parser::compound_assignment(ExpDesc* v) {
  FuncState* f = fs();
  int token = t().code;
  OpInfo info = binary_op(token);
  next();
  BinOpr op = info.op;
  bool literal_one = false;
  if (test_next('=')) {
    if (token == '+' && t().code == TK_STRING) op = OPR_CONCAT;
  } else if (token == TK_CONCAT) {
    op = OPR_ADD;  // v++
    literal_one = true;
  } else if (token == '-' && t().code == '-') {
    next();  // v--
    op = OPR_SUB;
    literal_one = true;
  } else {
    error_expected('=');
  }
  check_lvalue(v);
  // Load the target's current value, keeping the registers its store still needs.
  ExpDesc e = *v;
  if (v->k == VINDEXED) {
    int r = f->freereg;
    reserve_regs(f, 1);
    int opcode = v->flag == INDEX_FIELD ? OP_GETTABLE : v->flag == INDEX_BRACKET ? OP_GETTABLEN : OP_GETDIRECT;
    code_abc(f, opcode, r, v->info, v->aux);
    init_exp(&e, VNONRELOC, r);
  } else if (v->k == VMETA) {
    int r = f->freereg;
    reserve_regs(f, 1);
    code_abc(f, OP_GETMETA, r, v->info, 0);
    init_exp(&e, VNONRELOC, r);
  }
  code_infix(f, op, &e);
  ExpDesc rhs;
  if (literal_one) {
    init_exp(&rhs, VKNUM, 0);
    rhs.nval = 1;
  } else {
    expr(&rhs);
  }
  code_posfix(f, op, &e, &rhs);
  store_var(f, v, &e);
}

}  // namespace quevro
