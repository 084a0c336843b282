// Recursive-descent front end: reads tokens and drives the code generator directly.
#pragma once

#include <string>

#include "compiler/code_generator.h"
#include "compiler/lexer.h"

namespace quevro {

class Parser {
 public:
  explicit Parser(Lexer& ls) : ls_(ls), L_(ls.L) {}

  // Compiles the whole chunk; returns the main function's prototype.
  Prototype* compile_main();

 private:
  struct Lhs {
    Lhs* prev;
    ExpDesc v;
  };
  struct ConsControl {
    ExpDesc v;      // last array item not yet stored
    int table = 0;  // register of the table under construction
    int nh = 0;
    int na = 0;
    int tostore = 0;
    std::string declaration;  // struct field declarations, each ending in ';'
  };
  struct OpInfo {
    BinOpr op;
    int left;
    int right;
  };

  // Counts one syntax level for its lifetime; an error unwinding through it undoes the count.
  struct LevelGuard {
    Parser& p;
    explicit LevelGuard(Parser& parser) : p(parser) { p.enter_level(); }
    ~LevelGuard() { p.leave_level(); }
    LevelGuard(const LevelGuard&) = delete;
    LevelGuard& operator=(const LevelGuard&) = delete;
  };

  Lexer& ls_;
  VmState* L_;
  int statement_depth_ = 0;
  bool block_braced_ = false;

  FuncState* fs() const { return ls_.fs; }
  const Token& t() const { return ls_.t; }
  void next() { ls_.next(); }
  bool test_next(int c);
  void check(int c);
  void check_next(int c);
  void check_match(int what, int who, int line);
  [[noreturn]] void error_expected(int c);
  StringObject* check_name();
  void enter_level();
  void leave_level();
  StringObject* hidden_name(const char* text);
  bool is_string(const StringObject* s, const char* text) const;

  // Scoping
  void new_localvar(StringObject* name, int n);
  void adjust_localvars(int nvars);
  void remove_vars(int tolevel);
  void enter_block(BlockCnt* bl, bool breakable);
  void leave_block();
  void single_var(StringObject* name, ExpDesc* var);
  ExpKind single_var_aux(FuncState* fs, StringObject* name, ExpDesc* var, bool base);
  int index_upvalue(FuncState* fs, StringObject* name, ExpDesc* v);
  void adjust_assign(int nvars, int nexps, ExpDesc* e);

  // Statements
  // A block's statements; braced tells whether "}" closes it, or <eof> (the chunk's top level).
  void statlist(bool braced);
  bool statement();
  void skip_to_block_end(bool braced);
  void body(BlockCnt* loop);
  void if_stat();
  int cond();
  int test_then_block();
  void while_stat();
  void while_condition_loop();
  void while_declaration_loop(BlockCnt* loop, int before, int first);
  void while_clause_loop(BlockCnt* loop, int paren_line);
  void do_stat(int line);
  void for_stat(int line);
  void for_num(StringObject* name, int line, bool paren, int paren_line, BlockCnt* loop);
  void for_num_separated();
  void for_num_clauses(StringObject* name);
  double for_limit_clause(StringObject* name);
  void for_step_clause(StringObject* name);
  void load_for_step(double step);
  bool is_loop_var(const StringObject* name);
  static std::string loop_var_message(const char* format, const StringObject* name);
  int for_list(StringObject* name, int line, bool paren, int paren_line, BlockCnt* loop);
  void for_body(int base, int line, int nvars, bool isnum, bool direct, BlockCnt* loop);
  void select_stat(int line);
  void case_condition(int subject, ExpDesc* cond);
  void break_stat(bool is_continue);
  void return_stat();
  void try_stat(int line);
  void namespace_stat(int line, bool is_with);
  void import_stat();
  void print_stat();
  void func_stat(int line);
  void class_stat(int line);
  void local_stat();
  void local_decl_one();
  void local_func(int line);
  void expr_stat();
  void assignment(Lhs* lh, int nvars);
  void compound_assignment(ExpDesc* v);
  void check_conflict(Lhs* lh, ExpDesc* v);
  void check_lvalue(const ExpDesc* v);
  void funcname(ExpDesc* v);

  // Functions
  void open_nested(FuncState* nfs, int line);
  void close_nested(FuncState* nfs, ExpDesc* e);
  void parlist(bool with_owner);
  double default_number();
  void func_body(ExpDesc* e, int line);
  void lambda_body(ExpDesc* e, int line);
  void class_body(ExpDesc* e, int line);

  // Expressions
  OpInfo binary_op(int token) const;
  UnOpr unary_op(int token) const;
  OpInfo subexpr(ExpDesc* v, int limit);
  void expr(ExpDesc* v) { subexpr(v, 0); }
  int explist(ExpDesc* v);
  void simple_exp(ExpDesc* v);
  void primary_exp(ExpDesc* v);
  void suffixed_exp(ExpDesc* v);
  void field_key(ExpDesc* key);
  void func_args(ExpDesc* f, bool plain);
  void constructor(ExpDesc* t, bool array_mode);
  void constructor_items(ConsControl& cc, int close, bool array_mode, bool class_mode);
  void close_list_field(ConsControl& cc);
  void last_list_field(ConsControl& cc);
  void finish_struct(ConsControl& cc);
  void record_field(ConsControl& cc, ExpDesc* key);
  void struct_field(ConsControl& cc);
  void nested_array_item(ConsControl& cc, ExpDesc* first, int line);
};

}  // namespace quevro
