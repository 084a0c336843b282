// Expressions, table and array constructors, and function, lambda and class bodies.
#include <cmath>
#include <cstdio>
#include <vector>

#include "compiler/parser.h"
#include "vm/error.h"
#include "vm/string.h"

namespace quevro {

namespace {

constexpr int UNARY_PRIORITY = 23;

const char* const MULTI_INDEX_HINT =
    "If the first index of a multi-index is not a single identifier or literal value, please enclose the "
    "multi-index within double square brackets separated by spaces, such as cells[ [pos.row, pos.col] ]. "
    "\n{Expected}: `']' ";

bool has_multret(ExpKind k) { return k == VCALL || k == VVARARG; }

}  // namespace

Parser::OpInfo Parser::binary_op(int token) const {
  switch (token) {
    case TK_POW: return {OPR_POW, 25, 24};
    case '*': return {OPR_MUL, 22, 22};
    case '/': return {OPR_DIV, 22, 22};
    case '%': return {OPR_MOD, 22, 22};
    case '+': return {OPR_ADD, 21, 21};
    case '-': return {OPR_SUB, 21, 21};
    case TK_SHL: return {OPR_SHL, 20, 20};
    case TK_SAR: return {OPR_SAR, 20, 20};
    case TK_SHR: return {OPR_SHR, 20, 20};
    case '&': return {OPR_BAND, 19, 19};
    case '|': return {OPR_BOR, 19, 19};
    case '^': return {OPR_BXOR, 19, 19};
    case TK_CONCAT: return {OPR_CONCAT, 19, 18};
    case '<': return {OPR_LT, 16, 16};
    case TK_LE: return {OPR_LE, 16, 16};
    case '>': return {OPR_GT, 16, 16};
    case TK_GE: return {OPR_GE, 16, 16};
    case TK_EQ:
    case '=': return {OPR_EQ, 15, 15};
    case TK_NE: return {OPR_NE, 15, 15};
    case TK_EQS: return {OPR_EQS, 15, 15};
    case TK_NES: return {OPR_NES, 15, 15};
    case TK_AND: return {OPR_AND, 14, 14};
    case TK_OR: return {OPR_OR, 13, 13};
    case '?': return {OPR_AND, 12, 12};
    case ':': return {OPR_OR, 11, 11};
    default: return {OPR_NOBINOPR, 0, 0};
  }
}

UnOpr Parser::unary_op(int token) const {
  switch (token) {
    case '-': return OPR_MINUS;
    case '!':
    case TK_NOT: return OPR_NOT;
    case '#': return OPR_LEN;
    case '~': return OPR_BNOT;
    default: return OPR_NOUNOPR;
  }
}

// subexpr ::= (unop subexpr | simpleexp) {binop subexpr}   (operators binding tighter than limit)
Parser::OpInfo Parser::subexpr(ExpDesc* v, int limit) {
  LevelGuard level(*this);
  UnOpr uop = unary_op(t().code);
  if (uop != OPR_NOUNOPR) {
    next();
    subexpr(v, UNARY_PRIORITY);
    code_prefix(fs(), uop, v);
  } else {
    simple_exp(v);
  }
  OpInfo op = binary_op(t().code);
  while (op.op != OPR_NOBINOPR && op.left > limit) {
    next();
    code_infix(fs(), op.op, v);
    ExpDesc v2;
    OpInfo nextop = subexpr(&v2, op.right);
    code_posfix(fs(), op.op, v, &v2);
    op = nextop;
  }
  return op;
}

// explist ::= exp {"," exp}
int Parser::explist(ExpDesc* v) {
  int n = 1;
  expr(v);
  while (test_next(',')) {
    exp_to_nextreg(fs(), v);
    expr(v);
    n++;
  }
  return n;
}

// simpleexp ::= number | string | `null` | `true` | `false` | "..." | table | array
//             | `function` funcbody | `lambda` lambdabody | `class` classbody | suffixedexp
void Parser::simple_exp(ExpDesc* v) {
  FuncState* f = fs();
  int line = t().line;
  switch (t().code) {
    case TK_NUMBER:
      init_exp(v, VKNUM, 0);
      v->nval = t().number;
      break;
    case TK_STRING: init_exp(v, VK, string_constant(f, t().str)); break;
    case TK_NULL: init_exp(v, VNIL, 0); break;
    case TK_TRUE: init_exp(v, VTRUE, 0); break;
    case TK_FALSE: init_exp(v, VFALSE, 0); break;
    case TK_DOTS3:
      if (!(f->f->vararg_flags & VARARG_ACCEPTS)) ls_.syntax_error("cannot use '...' outside a vararg function");
      init_exp(v, VVARARG, code_abc(f, OP_VARARG, 0, 1, 0));
      break;
    case '{': constructor(v, false); return;
    case '[': constructor(v, true); return;
    case TK_FUNCTION:
      next();
      func_body(v, line);
      return;
    case TK_LAMBDA:
      next();
      lambda_body(v, line);
      return;
    case TK_CLASS:
      next();
      class_body(v, line);
      return;
    default: suffixed_exp(v); return;
  }
  next();
}

// primaryexp ::= "(" exp ")" | name | `self` | ".." (name | <constant>) | <constant>
void Parser::primary_exp(ExpDesc* v) {
  FuncState* f = fs();
  switch (t().code) {
    case '(': {
      int line = t().line;
      next();
      expr(v);
      check_match(')', '(', line);
      discharge_vars(f, v);  // a parenthesised expression yields exactly one value
      return;
    }
    case TK_NAME: single_var(check_name(), v); return;
    case TK_SELF:
      init_exp(v, VSELFNS, 0);
      next();
      return;
    case TK_DOTS2:
      next();
      if (t().code != TK_NAME && t().code != TK_CONSTANT) error_expected(TK_NAME);
      init_exp(v, VGLOBAL, string_constant(f, t().str));
      next();
      return;
    case TK_CONSTANT:
      init_exp(v, VGLOBAL, string_constant(f, t().str));
      next();
      return;
    default: ls_.syntax_error("<unexpected symbol>");
  }
}

// fieldkey ::= name | <constant>
void Parser::field_key(ExpDesc* key) {
  if (t().code != TK_NAME && t().code != TK_CONSTANT) error_expected(TK_NAME);
  init_exp(key, VK, string_constant(fs(), t().str));
  next();
}

// suffixedexp ::= primaryexp {"." fieldkey [args] | "[" index "]" | "@" | args}
// index ::= exp | "[" exp "]" | single {"," exp}
void Parser::suffixed_exp(ExpDesc* v) {
  FuncState* f = fs();
  primary_exp(v);
  for (;;) {
    bool same_line = t().line == ls_.last_line;
    switch (t().code) {
      case '.': {
        next();
        ExpDesc key;
        field_key(&key);
        if (t().code == '(') {
          if (t().line != ls_.last_line) ls_.syntax_error("ambiguous syntax");
          code_self(f, v, &key);
          func_args(v, false);
        } else {
          exp_to_anyreg(f, v);
          code_indexed(f, v, &key, INDEX_FIELD);
        }
        break;
      }
      case '[': {
        if (!same_line) return;
        bool direct = !ls_.has_ahead && ls_.raw_current() == '[';
        int line = t().line;
        next();
        exp_to_anyreg(f, v);
        ExpDesc key;
        if (direct) {
          int inner = t().line;
          next();
          expr(&key);
          exp_to_val(f, &key);
          check_match(']', '[', inner);
          check_match(']', '[', line);
          code_indexed(f, v, &key, INDEX_DIRECT);
          break;
        }
        int c = t().code;
        bool single = c == TK_NAME || c == TK_NUMBER || c == TK_STRING || c == TK_CONSTANT || c == TK_NULL ||
                      c == TK_TRUE || c == TK_FALSE;
        if (single && ls_.lookahead() == ',') {
          // t[a, b] indexes with a new array of the listed values.
          int pc = code_abc(f, OP_NEWTABLE, 0, 0, 0);
          init_exp(&key, VRELOCABLE, pc);
          exp_to_nextreg(f, &key);
          ConsControl cc;
          cc.table = key.info;
          init_exp(&cc.v, VVOID, 0);
          constructor_items(cc, ']', true, false);
          check_match(']', '[', line);
          last_list_field(cc);
          set_b(&f->f->code[pc], fb_encode(static_cast<unsigned>(cc.na)));
          set_c(&f->f->code[pc], 232);
          init_exp(&key, VNONRELOC, cc.table);
          f->freereg = cc.table + 1;
        } else {
          expr(&key);
          exp_to_val(f, &key);
          if (t().code == ',') ls_.syntax_error(MULTI_INDEX_HINT);
          check_match(']', '[', line);
        }
        code_indexed(f, v, &key, INDEX_BRACKET);
        break;
      }
      case '@': {
        if (!same_line) return;
        next();
        int reg = exp_to_anyreg(f, v);
        init_exp(v, VMETA, reg);
        break;
      }
      case '(': {
        if (!same_line) return;
        exp_to_nextreg(f, v);
        func_args(v, true);
        break;
      }
      default: return;
    }
  }
}

// args ::= "(" [namedargs | [exp] {"," [exp]}] ")"   (named arguments build one table)
void Parser::func_args(ExpDesc* fn, bool plain) {
  FuncState* f = fs();
  int base = fn->info;
  if (plain) {
    reserve_regs(f, 1);
    code_nil(f, base + 1, 1);  // a plain call passes a null owner
  }
  int line = t().line;
  check_next('(');
  ExpDesc args;
  init_exp(&args, VVOID, 0);
  if (t().code == ')') {
    // no arguments
  } else if ((t().code == TK_NAME || t().code == TK_CONSTANT || t().code == TK_STRING) && ls_.lookahead() == '=') {
    // f(a = 1, b = 2): one table argument built like a constructor without braces.
    int pc = code_abc(f, OP_NEWTABLE, 0, 0, 0);
    init_exp(&args, VRELOCABLE, pc);
    exp_to_nextreg(f, &args);
    ConsControl cc;
    cc.table = args.info;
    init_exp(&cc.v, VVOID, 0);
    constructor_items(cc, ')', false, false);
    last_list_field(cc);
    finish_struct(cc);
    set_b(&f->f->code[pc], fb_encode(static_cast<unsigned>(cc.na)));
    set_c(&f->f->code[pc], fb_encode(static_cast<unsigned>(cc.nh)));
    f->freereg = cc.table + 1;
    init_exp(&args, VNONRELOC, cc.table);
  } else {
    bool first = true;
    for (;;) {
      if (!first && (t().code == ',' || t().code == ')')) init_exp(&args, VNIL, 0);  // empty place
      else expr(&args);
      first = false;
      if (t().code != ',') break;
      exp_to_nextreg(f, &args);
      next();
    }
    if (has_multret(args.k)) set_multret(f, &args);
  }
  check_match(')', '(', line);
  int nparams;
  if (has_multret(args.k)) {
    nparams = 0;
  } else {
    if (args.k != VVOID) exp_to_nextreg(f, &args);
    nparams = f->freereg - base;
  }
  init_exp(fn, VCALL, code_abc(f, OP_CALL, base, nparams, 2));
  fix_line(f, line);
  f->freereg = base + 1;
}

// table ::= "{" items "}"        array ::= "[" items "]"
void Parser::constructor(ExpDesc* t_exp, bool array_mode) {
  FuncState* f = fs();
  int line = t().line;
  int open = t().code;
  int close = array_mode ? ']' : '}';
  int pc = code_abc(f, OP_NEWTABLE, 0, 0, 0);
  init_exp(t_exp, VRELOCABLE, pc);
  exp_to_nextreg(f, t_exp);
  next();
  ConsControl cc;
  cc.table = t_exp->info;
  init_exp(&cc.v, VVOID, 0);
  constructor_items(cc, close, array_mode, false);
  check_match(close, open, line);
  last_list_field(cc);
  finish_struct(cc);
  set_b(&f->f->code[pc], fb_encode(static_cast<unsigned>(cc.na)));
  // An array constructor's hash size decodes to 2^31, negative as an int: the array flag.
  set_c(&f->f->code[pc], array_mode ? 232 : fb_encode(static_cast<unsigned>(cc.nh)));
  f->freereg = cc.table + 1;
  init_exp(t_exp, VNONRELOC, cc.table);
}

void Parser::close_list_field(ConsControl& cc) {
  if (cc.v.k == VVOID) return;
  exp_to_nextreg(fs(), &cc.v);
  cc.v.k = VVOID;
  if (cc.tostore == FIELDS_PER_FLUSH) {
    code_setlist(fs(), cc.table, cc.na, cc.tostore);
    cc.tostore = 0;
  }
}

void Parser::last_list_field(ConsControl& cc) {
  FuncState* f = fs();
  if (cc.tostore == 0) return;
  if (has_multret(cc.v.k)) {
    set_multret(f, &cc.v);
    code_setlist(f, cc.table, cc.na, -1);
    cc.na--;  // the open item's count is not known at compile time
  } else {
    if (cc.v.k != VVOID) exp_to_nextreg(f, &cc.v);
    code_setlist(f, cc.table, cc.na, cc.tostore);
  }
  cc.tostore = 0;
}

void Parser::finish_struct(ConsControl& cc) {
  if (cc.declaration.empty()) return;
  FuncState* f = fs();
  cc.declaration.pop_back();  // the last ';'
  ExpDesc key, val;
  init_exp(&key, VK, string_constant(f, hidden_name("_struct")));
  StringObject* text = intern_string(L_, cc.declaration.data(), cc.declaration.size());
  anchor_string(f, text);
  init_exp(&val, VK, string_constant(f, text));
  int rk_key = exp_to_rk(f, &key);
  int rk_val = exp_to_rk(f, &val);
  code_abc(f, OP_APPENDFIELD, cc.table, rk_key, rk_val);
  f->freereg = cc.table + 1;
}

// record_field ::= key ("=" | ":") exp
void Parser::record_field(ConsControl& cc, ExpDesc* key) {
  FuncState* f = fs();
  int reg = f->freereg;
  if (cc.nh >= MAX_CONSTRUCTOR_ITEMS) limit_error(f, MAX_CONSTRUCTOR_ITEMS, "items in a constructor");
  cc.nh++;
  int rk_key = exp_to_rk(f, key);
  ExpDesc val;
  expr(&val);
  code_abc(f, OP_SETTABLE, cc.table, rk_key, exp_to_rk(f, &val));
  f->freereg = reg;
}

// struct_field ::= typename name ["[" number "]"] ["=" exp]
void Parser::struct_field(ConsControl& cc) {
  FuncState* f = fs();
  std::string type(t().str->data(), t().str->length);
  next();
  StringObject* name = t().str;
  next();
  std::string decl = type + " " + std::string(name->data(), name->length) + ";";
  if (t().code == '[') {
    int line = t().line;
    next();
    check(TK_NUMBER);
    char num[64];
    std::snprintf(num, sizeof num, "%.14g", t().number);
    next();
    check_match(']', '[', line);
    decl.back() = '[';
    decl += num;
    decl += "];";
  }
  cc.declaration += decl;
  if (test_next('=')) {
    ExpDesc key;
    init_exp(&key, VK, string_constant(f, name));
    record_field(cc, &key);
  }
}

// items ::= [item {("," | ";") item} ["," | ";"]]
// item ::= record_field | "@" ["="] exp | struct_field | exp
void Parser::constructor_items(ConsControl& cc, int close, bool array_mode, bool class_mode) {
  FuncState* f = fs();
  while (t().code != close) {
    if (t().code == TK_CTOR && class_mode) ls_.syntax_error("The constructor must be the first member of the class!");
    close_list_field(cc);
    int c = t().code;
    bool list_item = false;
    switch (c) {
      case TK_NAME:
      case TK_CONSTANT: {
        int la = ls_.lookahead();
        if (la == '=' || la == ':') {
          ExpDesc key;
          init_exp(&key, VK, string_constant(f, t().str));
          next();
          next();
          record_field(cc, &key);
        } else if (!array_mode && (la == TK_NAME || la == TK_CONSTANT)) {
          struct_field(cc);
        } else {
          list_item = true;
        }
        break;
      }
      case TK_STRING: {
        int la = ls_.lookahead();
        if (la == '=' || la == ':') {
          ExpDesc key;
          init_exp(&key, VK, string_constant(f, t().str));
          next();
          next();
          record_field(cc, &key);
        } else {
          list_item = true;
        }
        break;
      }
      case TK_NUMBER:
        if (ls_.lookahead() == ':') {
          ExpDesc key;
          init_exp(&key, VKNUM, 0);
          key.nval = t().number;
          next();
          next();
          record_field(cc, &key);
        } else {
          list_item = true;
        }
        break;
      case '[':
        if (array_mode) {
          list_item = true;
        } else {
          int line = t().line;
          next();
          int reg = f->freereg;
          ExpDesc key;
          expr(&key);
          int after = t().code == ']' ? ls_.lookahead() : 0;
          if (after == '=' || after == ':') {
            exp_to_val(f, &key);
            next();
            next();
            if (cc.nh >= MAX_CONSTRUCTOR_ITEMS) limit_error(f, MAX_CONSTRUCTOR_ITEMS, "items in a constructor");
            cc.nh++;
            int rk_key = exp_to_rk(f, &key);
            ExpDesc val;
            expr(&val);
            code_abc(f, OP_SETTABLE, cc.table, rk_key, exp_to_rk(f, &val));
            f->freereg = reg;
          } else {
            nested_array_item(cc, &key, line);
            list_item = true;
          }
        }
        break;
      case '@': {
        next();
        test_next('=');
        int reg = f->freereg;
        ExpDesc mt;
        expr(&mt);
        code_abc(f, OP_SETMETA, cc.table, exp_to_rk(f, &mt), 0);
        f->freereg = reg;
        break;
      }
      default: list_item = true; break;
    }
    if (list_item) {
      if (cc.v.k == VVOID) expr(&cc.v);
      if (cc.na >= MAX_CONSTRUCTOR_ITEMS) limit_error(f, MAX_CONSTRUCTOR_ITEMS, "items in a constructor");
      cc.na++;
      cc.tostore++;
    }
    if (t().code == ',' || t().code == ';') {
      next();
    } else if (ls_.last_consumed != '}') {
      break;
    }
  }
}

// nested_array_item ::= "[" exp {"," item} "]"   (once no key follows the "]")
// In a table constructor "[" starts a computed key; when no "=" or ":" follows the closing
// bracket it was an array constructor instead. Its first item is already in a register, so the
// array is built above it and moved down into the item's place.
void Parser::nested_array_item(ConsControl& cc, ExpDesc* first, int line) {
  FuncState* f = fs();
  exp_to_nextreg(f, first);
  int item = first->info;
  int table = f->freereg;
  int pc = code_abc(f, OP_NEWTABLE, table, 0, 0);
  reserve_regs(f, 1);
  code_abc(f, OP_MOVE, table + 1, item, 0);
  reserve_regs(f, 1);
  ConsControl inner;
  inner.table = table;
  inner.na = 1;
  inner.tostore = 1;
  init_exp(&inner.v, VVOID, 0);
  if (test_next(',')) constructor_items(inner, ']', true, false);
  check_match(']', '[', line);
  last_list_field(inner);
  set_b(&f->f->code[pc], fb_encode(static_cast<unsigned>(inner.na)));
  set_c(&f->f->code[pc], 232);
  code_abc(f, OP_MOVE, item, table, 0);
  f->freereg = item + 1;
  init_exp(&cc.v, VNONRELOC, item);
}

// default_number ::= number {("|" | "&") number}
double Parser::default_number() {
  check(TK_NUMBER);
  double v = t().number;
  next();
  while (t().code == '|' || t().code == '&') {
    int op = t().code;
    next();
    check(TK_NUMBER);
    int32_t a = to_int32(v), b = to_int32(t().number);
    v = static_cast<double>(op == '|' ? (a | b) : (a & b));
    next();
  }
  return v;
}

// params ::= "(" [param {"," param} ["," "..."] | "..."] ")"
// param ::= name ["=" (`true` | `false` | string | ["-" | "~"] default_number)]
// Parameters: `owner` first (unless the function takes none at all), names with optional default
// values, and a final "..." for a vararg function. Defaults are applied by SETIFNULL as the first
// instructions of the function, the last defaulted parameter first.
void Parser::parlist(bool with_owner) {
  FuncState* f = fs();
  struct Default {
    int reg;
    ExpDesc value;
  };
  std::vector<Default> defaults;
  int nparams = 0;
  if (with_owner) new_localvar(hidden_name("owner"), nparams++);
  bool vararg = false;
  int line = t().line;
  check_next('(');
  if (t().code != ')') {
    do {
      if (t().code == TK_NAME) {
        new_localvar(check_name(), nparams++);
        if (test_next('=')) {
          LevelGuard level(*this);
          ExpDesc value;
          switch (t().code) {
            case TK_TRUE: init_exp(&value, VTRUE, 0); next(); break;
            case TK_FALSE: init_exp(&value, VFALSE, 0); next(); break;
            case TK_STRING:
              init_exp(&value, VK, string_constant(f, t().str));
              next();
              break;
            case TK_NUMBER:
              init_exp(&value, VKNUM, 0);
              value.nval = default_number();
              break;
            case '-':
              next();
              check(TK_NUMBER);
              init_exp(&value, VKNUM, 0);
              value.nval = -t().number;
              next();
              break;
            case '~':
              next();
              check(TK_NUMBER);
              init_exp(&value, VKNUM, 0);
              value.nval = static_cast<double>(~to_int32(t().number));
              next();
              break;
            default:
              ls_.syntax_error(
                  "The value of a default parameter can only be one of the following: true, false, a numeric "
                  "literal, or a string literal.");
          }
          defaults.push_back(Default{f->nactvar + nparams - 1, value});
        }
      } else if (t().code == TK_DOTS3) {
        next();
        vararg = true;
        break;
      } else {
        ls_.syntax_error("\n{Expected}:<name> or '...'");
      }
    } while (test_next(','));
  }
  adjust_localvars(nparams);
  f->f->numparams = static_cast<uint8_t>(f->nactvar);
  if (vararg) f->f->vararg_flags = VARARG_ACCEPTS;
  reserve_regs(f, f->nactvar);
  check_match(')', '(', line);
  for (size_t i = defaults.size(); i-- > 0;) {
    int r = f->freereg;
    reserve_regs(f, 1);
    ExpDesc& v = defaults[i].value;
    if (v.k == VTRUE || v.k == VFALSE) code_abc(f, OP_LOADBOOL, r, v.k == VTRUE, 0);
    else if (v.k == VKNUM) code_abx(f, OP_LOADK, r, number_constant(f, v.nval));
    else code_abx(f, OP_LOADK, r, v.info);
    code_abc(f, OP_SETIFNULL, r, defaults[i].reg, 0);
    f->freereg = r;
  }
}

// funcbody ::= params ("{" block "}" | stmt)
void Parser::func_body(ExpDesc* e, int line) {
  FuncState nfs;
  open_nested(&nfs, line);
  parlist(true);
  if (t().code == ';') ls_.syntax_error("extra ';' ");
  if (t().code == '{') {
    int lbrace = t().line;
    next();
    statlist(true);
    check_match('}', '{', lbrace);
  } else {
    statement();
  }
  close_nested(&nfs, e);
}

// lambdabody ::= params exp
void Parser::lambda_body(ExpDesc* e, int line) {
  LevelGuard level(*this);
  FuncState nfs;
  open_nested(&nfs, line);
  parlist(true);
  if (t().code == ';') ls_.syntax_error("extra ';' ");
  if (t().code == ',') ls_.syntax_error("extra ',' ");
  ExpDesc body;
  expr(&body);
  set_one_ret(&nfs, &body);
  int r = exp_to_anyreg(&nfs, &body);
  code_ret(&nfs, r, 1);
  close_nested(&nfs, e);
}

// classbody ::= "{" [`ctor` ["=" `function`] params "{" block "}" [";"]] items "}"
void Parser::class_body(ExpDesc* e, int line) {
  LevelGuard level(*this);
  FuncState nfs;
  open_nested(&nfs, line);
  nfs.f->is_class = 1;
  int lbrace = t().line;
  check_next('{');
  bool has_ctor = false;
  if (t().code == TK_CTOR) {
    next();
    if (test_next('=')) check_next(TK_FUNCTION);
    parlist(true);
    has_ctor = true;
  } else {
    new_localvar(hidden_name("owner"), 0);
    adjust_localvars(1);
    nfs.f->numparams = 1;
    reserve_regs(&nfs, 1);
  }
  // `this` is the instance under construction; the members are stored after the constructor ran.
  int this_reg = nfs.freereg;
  int pc = code_abc(&nfs, OP_NEWTABLE, this_reg, 0, 0);
  reserve_regs(&nfs, 1);
  new_localvar(hidden_name("this"), 0);
  adjust_localvars(1);
  if (has_ctor) {
    int cline = t().line;
    check_next('{');
    BlockCnt bl;
    enter_block(&bl, false);
    statlist(true);
    check_match('}', '{', cline);
    leave_block();
    test_next(';');
  }
  ConsControl cc;
  cc.table = this_reg;
  init_exp(&cc.v, VVOID, 0);
  nfs.freereg = nfs.nactvar;
  constructor_items(cc, '}', false, true);
  check_match('}', TK_CLASS, lbrace);
  last_list_field(cc);
  finish_struct(cc);
  set_b(&nfs.f->code[pc], fb_encode(static_cast<unsigned>(cc.na)));
  set_c(&nfs.f->code[pc], fb_encode(static_cast<unsigned>(cc.nh)));
  code_ret(&nfs, this_reg, 1);
  close_nested(&nfs, e);
}

}  // namespace quevro
