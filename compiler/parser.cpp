// Scoping, blocks and the shared parsing helpers; statements and expressions live in
// parser_statements.cpp and parser_expressions.cpp.
#include "compiler/parser.h"

#include <cstring>

#include "vm/error.h"
#include "vm/memory.h"
#include "vm/string.h"

namespace quevro {

bool Parser::test_next(int c) {
  if (t().code != c) return false;
  next();
  return true;
}

void Parser::error_expected(int c) { ls_.syntax_error(format_message("\n{Expected}:'%s'", token_display(c).c_str())); }

void Parser::check(int c) {
  if (t().code != c) error_expected(c);
}

void Parser::check_next(int c) {
  check(c);
  next();
}

void Parser::check_match(int what, int who, int line) {
  if (test_next(what)) return;
  ls_.syntax_error(format_message("\n{Expected}:'%s'\n{Match for}:'%s'\n{Match line}:%d ", token_display(what).c_str(),
                                  token_display(who).c_str(), line));
}

StringObject* Parser::check_name() {
  check(TK_NAME);
  StringObject* s = t().str;
  next();
  return s;
}

// Nesting is bounded through the state's native-call depth, the same counter that bounds nested
// native calls, so deeply nested source cannot exhaust the C++ stack.
void Parser::enter_level() {
  if (L_->native_depth >= MAX_SYNTAX_LEVELS) ls_.syntax_error("chunk has too many syntax levels");
  ++L_->native_depth;
}

void Parser::leave_level() { --L_->native_depth; }

StringObject* Parser::hidden_name(const char* text) {
  StringObject* s = intern_string(L_, text);
  anchor_string(fs(), s);
  return s;
}

bool Parser::is_string(const StringObject* s, const char* text) const {
  size_t n = std::strlen(text);
  return s && !s->is_wide() && s->length == n && std::memcmp(s->data(), text, n) == 0;
}

void Parser::new_localvar(StringObject* name, int n) {
  FuncState* f = fs();
  if (f->nactvar + n + 1 > MAX_ACTIVE_LOCALS) limit_error(f, MAX_ACTIVE_LOCALS, "local variables");
  Prototype* p = f->f;
  if (f->nlocvars >= p->size_locals) {
    if (f->nlocvars >= MAX_LOCAL_RECORDS) runtime_error(L_, "too many local variables");
    int old = p->size_locals;
    int64_t grown = old < 4 ? 4 : static_cast<int64_t>(old) * 2;
    if (grown > MAX_LOCAL_RECORDS) grown = MAX_LOCAL_RECORDS;
    LocalVarInfo* v = mem_realloc_vector<LocalVarInfo>(L_, p->locals, static_cast<size_t>(old), static_cast<size_t>(grown),
                                                       SIZE_MAX);
    for (int64_t i = old; i < grown; ++i) v[i] = LocalVarInfo{nullptr, 0, 0};
    p->locals = v;
    p->size_locals = static_cast<int>(grown);
  }
  p->locals[f->nlocvars] = LocalVarInfo{name, 0, 0};
  f->actvar[f->nactvar + n] = static_cast<uint16_t>(f->nlocvars);
  f->nlocvars++;
}

void Parser::adjust_localvars(int nvars) {
  FuncState* f = fs();
  f->nactvar += nvars;
  for (; nvars; nvars--) f->f->locals[f->actvar[f->nactvar - nvars]].start_pc = f->pc;
}

void Parser::remove_vars(int tolevel) {
  FuncState* f = fs();
  while (f->nactvar > tolevel) f->f->locals[f->actvar[--f->nactvar]].end_pc = f->pc;
}

void Parser::enter_block(BlockCnt* bl, bool breakable) {
  FuncState* f = fs();
  bl->breakable = breakable;
  bl->nactvar = f->nactvar;
  bl->upval = false;
  bl->previous = f->bl;
  bl->break_list = bl->continue_list = NO_JUMP;
  f->bl = bl;
}

void Parser::leave_block() {
  FuncState* f = fs();
  BlockCnt* bl = f->bl;
  f->bl = bl->previous;
  remove_vars(bl->nactvar);
  if (bl->upval) code_abc(f, OP_CLOSE, bl->nactvar, 0, 0);
  f->freereg = f->nactvar;
  patch_to_here(f, bl->break_list);
  // A captured local of an inner block of a loop must also be closed where the loop exits.
  if (bl->upval && f->bl && f->bl->breakable) f->bl->upval = true;
}

namespace {

int search_var(FuncState* fs, StringObject* name) {
  for (int i = fs->nactvar - 1; i >= 0; i--)
    if (fs->f->locals[fs->actvar[i]].name == name) return i;
  return -1;
}

void mark_upval(FuncState* fs, int level) {
  BlockCnt* bl = fs->bl;
  while (bl && bl->nactvar > level) bl = bl->previous;
  if (bl) bl->upval = true;
}

}  // namespace

int Parser::index_upvalue(FuncState* f, StringObject* name, ExpDesc* v) {
  Prototype* p = f->f;
  for (int i = 0; i < p->nupvalues; i++)
    if (f->upvalues[i].kind == v->k && f->upvalues[i].index == v->info) return i;
  if (p->nupvalues + 1 > MAX_UPVALUES) limit_error(f, MAX_UPVALUES, "upvalues");
  if (p->nupvalues >= p->size_upvalue_names) {
    int old = p->size_upvalue_names;
    int grown = old < 4 ? 4 : old * 2;
    if (grown > MAX_UPVALUES) grown = MAX_UPVALUES;
    auto* names = mem_realloc_vector<StringObject*>(L_, p->upvalue_names, static_cast<size_t>(old),
                                                    static_cast<size_t>(grown), SIZE_MAX);
    for (int i = old; i < grown; ++i) names[i] = nullptr;
    p->upvalue_names = names;
    p->size_upvalue_names = grown;
  }
  p->upvalue_names[p->nupvalues] = name;
  f->upvalues[p->nupvalues] = UpvalDesc{static_cast<uint8_t>(v->k), static_cast<uint8_t>(v->info)};
  return p->nupvalues++;
}

ExpKind Parser::single_var_aux(FuncState* f, StringObject* name, ExpDesc* var, bool base) {
  if (!f) {
    init_exp(var, VNSVAR, 0);
    return VNSVAR;
  }
  int v = search_var(f, name);
  if (v >= 0) {
    init_exp(var, VLOCAL, v);
    if (!base) mark_upval(f, v);
    return VLOCAL;
  }
  if (single_var_aux(f->prev, name, var, false) == VNSVAR) return VNSVAR;
  var->info = index_upvalue(f, name, var);
  var->k = VUPVAL;
  return VUPVAL;
}

void Parser::single_var(StringObject* name, ExpDesc* var) {
  if (single_var_aux(fs(), name, var, true) == VNSVAR) var->info = string_constant(fs(), name);
}

void Parser::adjust_assign(int nvars, int nexps, ExpDesc* e) {
  FuncState* f = fs();
  int extra = nvars - nexps;
  if (e->k == VCALL || e->k == VVARARG) {
    extra++;
    if (extra < 0) extra = 0;
    set_returns(f, e, extra);
    if (extra > 1) reserve_regs(f, extra - 1);
  } else {
    if (e->k != VVOID) exp_to_nextreg(f, e);
    if (extra > 0) {
      int reg = f->freereg;
      reserve_regs(f, extra);
      code_nil(f, reg, extra);
    }
  }
}

void Parser::open_nested(FuncState* nfs, int line) {
  open_function(&ls_, nfs, fs());
  nfs->f->line_defined = line;
}

// Registers the finished prototype in its parent before its own stack anchor is dropped, then
// emits CLOSURE with one capture word per upvalue.
void Parser::close_nested(FuncState* nfs, ExpDesc* e) {
  FuncState* parent = nfs->prev;
  Prototype* child = nfs->f;
  child->last_line_defined = ls_.last_line;
  Prototype* p = parent->f;
  if (parent->np >= p->size_protos) {
    if (parent->np >= MAX_CONSTANTS) runtime_error(L_, "constant table overflow");
    int old = p->size_protos;
    int64_t grown = old < 4 ? 4 : static_cast<int64_t>(old) * 2;
    if (grown > MAX_CONSTANTS) grown = MAX_CONSTANTS;
    auto* v = mem_realloc_vector<Prototype*>(L_, p->protos, static_cast<size_t>(old), static_cast<size_t>(grown), SIZE_MAX);
    for (int64_t i = old; i < grown; ++i) v[i] = nullptr;
    p->protos = v;
    p->size_protos = static_cast<int>(grown);
  }
  p->protos[parent->np++] = child;
  close_function(&ls_, nfs);
  init_exp(e, VRELOCABLE, code_abx(parent, OP_CLOSURE, 0, parent->np - 1));
  for (int i = 0; i < child->nupvalues; i++) {
    int op = nfs->upvalues[i].kind == VLOCAL ? OP_MOVE : OP_GETUPVAL;
    code_abc(parent, op, 0, nfs->upvalues[i].index, 0);
  }
}

// chunk ::= block <eof>
Prototype* Parser::compile_main() {
  FuncState main_fs;
  open_function(&ls_, &main_fs, nullptr);
  main_fs.f->vararg_flags = VARARG_ACCEPTS;
  new_localvar(hidden_name("owner"), 0);
  adjust_localvars(1);
  main_fs.f->numparams = 1;
  reserve_regs(&main_fs, 1);
  next();
  statlist(false);
  check(TK_EOS);
  close_function(&ls_, &main_fs);
  return main_fs.f;
}

}  // namespace quevro
