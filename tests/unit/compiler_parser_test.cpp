// Parser: every syntax error message, character for character, with its line and near token.
#include <gtest/gtest.h>

#include <string>

#include "compiler/verifier.h"
#include "vm/state.h"

namespace quevro::compiler_test {
Prototype* compile_in(VmState* L, const std::string& source, std::string* error, int* status, const char* name);
}

namespace quevro {
namespace {

using compiler_test::compile_in;

class CompilerParser : public ::testing::Test {
 protected:
  void SetUp() override { L = open_state(); }
  void TearDown() override { close_state(L); }

  // The message a failed compilation leaves, checked to be a syntax error.
  std::string error(const std::string& src) {
    std::string msg;
    int status = 0;
    Prototype* p = compile_in(L, src, &msg, &status, "=t");
    EXPECT_EQ(p, nullptr) << "compiled: " << src;
    EXPECT_EQ(status, 3) << src;
    return msg;
  }
  void ok(const std::string& src) {
    std::string msg;
    Prototype* p = compile_in(L, src, &msg, nullptr, "=t");
    ASSERT_NE(p, nullptr) << src << "\n" << msg;
    EXPECT_TRUE(verify_prototype_tree(p)) << src;
  }
  static std::string near(const std::string& msg, const std::string& tok, int line = 1) {
    return "\n{Error}:\n{Line}:#" + std::to_string(line) + "\n{File}:t\n{Error}:" + msg + "\n{Near}:'" + tok + "'";
  }
  static std::string plain(const std::string& msg, int line = 1) {
    return "\n{Line}:#" + std::to_string(line) + "\n{File}:t\n{Error}:" + msg;
  }
  VmState* L = nullptr;
};

TEST_F(CompilerParser, MissingAndUnmatchedTokens) {
  EXPECT_EQ(error("x = (1"), near("\n{Expected}:')'\n{Match for}:'('\n{Match line}:1 ", "<eof>"));
  EXPECT_EQ(error("if (x) {\n y = 1\n"), near("\n{Expected}:'}'\n{Match for}:'{'\n{Match line}:1 ", "<eof>", 3));
  EXPECT_EQ(error("x = 1 }"), near("\n{Expected}:'<eof>'", "}"));
  EXPECT_EQ(error("var 1"), near("\n{Expected}:'<name>'", "1"));
  EXPECT_EQ(error("x"), near("\n{Expected}:'='", "<eof>"));
  EXPECT_EQ(error("do { x = 1 } until x"),
            near("\n{Expected}:'while'\n{Match for}:'do'\n{Match line}:1 ", "until"));
  EXPECT_EQ(error("select x { x = 1 }"), near("\n{Expected}:'case'", "x"));
  EXPECT_EQ(error("select x { case 1 { } "),
            near("\n{Expected}:'}'\n{Match for}:'select'\n{Match line}:1 ", "<eof>"));
  EXPECT_EQ(error("try x = 1"), near("\n{Expected}:'{'", "x"));
  EXPECT_EQ(error("x = [1, 2"), near("\n{Expected}:']'\n{Match for}:'['\n{Match line}:1 ", "<eof>"));
}

TEST_F(CompilerParser, ExpressionErrors) {
  EXPECT_EQ(error("x = )"), near("<unexpected symbol>", ")"));
  EXPECT_EQ(error("1 = 2"), near("<unexpected symbol>", "1"));
  EXPECT_EQ(error("f() = 1"), near("syntax error:invalid lvalue in assignment", "="));
  EXPECT_EQ(error("(a) = 1"), near("syntax error:invalid lvalue in assignment", "="));
  EXPECT_EQ(error("self = 1"), near("self is readonly!", "="));
  EXPECT_EQ(error("x == 1"), near("ambiguous syntax(==)", "=="));
  EXPECT_EQ(error("a.b\n(1)"), near("ambiguous syntax", "(", 2));
  EXPECT_EQ(error("function f() { return ... }"), near("cannot use '...' outside a vararg function", "..."));
  EXPECT_EQ(error("x = t[a + 1, 2]"),
            near("If the first index of a multi-index is not a single identifier or literal value, please enclose the "
                 "multi-index within double square brackets separated by spaces, such as cells[ [pos.row, pos.col] "
                 "]. \n{Expected}: `']' ",
                 ","));
  EXPECT_EQ(error("x <= 1"), near("\n{Expected}:'='", "1"));
  EXPECT_EQ(error("x - 1"), near("\n{Expected}:'='", "1"));
}

TEST_F(CompilerParser, LoopErrors) {
  EXPECT_EQ(error("break"), near("no loop to break", "<eof>"));
  EXPECT_EQ(error("while (x) { break 2 }"), near("no loop to break", "}"));
  EXPECT_EQ(error("for i x"), near("\n{Expected}:'=' or 'in'", "x"));
  EXPECT_EQ(error("for i = 1 + 2"), near("\n{Expected}:';'", "<eof>"));
  EXPECT_EQ(error("for (i = 0; 10 > j; i++) {}"), near("\n{Expected}:loop variable 'i'", "j"));
  EXPECT_EQ(error("for (i = 0; i + 10; i++) {}"), near("\n 'for' limit cannot be the loop variable 'i'", "i"));
  EXPECT_EQ(error("for (i = 0; i < 10; i = j * 2) {}"), near("\n{Expected}:'+' or '-'", "*"));
  EXPECT_EQ(error("for i = 0; i < 10; { }"), near("\n{Expected}: step expression", "{"));
  // break inside try acts on the try function, which has no loop
  EXPECT_EQ(error("while (x) { try { break } }"), near("no loop to break", "}"));
}

TEST_F(CompilerParser, FunctionErrors) {
  EXPECT_EQ(error("function f(); "), near("extra ';' ", ";"));
  EXPECT_EQ(error("x = lambda(a), 1"), near("extra ',' ", ","));
  EXPECT_EQ(error("function f(1) {}"), near("\n{Expected}:<name> or '...'", "1"));
  EXPECT_EQ(error("function f(a = {}) {}"),
            near("The value of a default parameter can only be one of the following: true, false, a numeric literal, "
                 "or a string literal.",
                 "{"));
  EXPECT_EQ(error("x = class { a = 1; ctor() {} }"), near("The constructor must be the first member of the class!", "ctor"));
  EXPECT_EQ(error("import _"), near("\n{Expected}:namespace ", "import"));
  EXPECT_EQ(error("namespace"), near("\n{Expected}:namespace ", "import"));
}

TEST_F(CompilerParser, TemplateErrors) {
  EXPECT_EQ(error("<p><?= x "), near("\n{Expected}:\"?>\"\n{Match for}:\"<?\"\n{Match line}:1 ", "<eof>"));
}

TEST_F(CompilerParser, LimitsHaveNoNearToken) {
  std::string many = "var a0";
  for (int i = 1; i <= 200; i++) many += ", a" + std::to_string(i);
  EXPECT_EQ(error(many), plain("main function has more than 200 local variables"));
  std::string ok_locals = "var a0";
  for (int i = 1; i < 199; i++) ok_locals += ", a" + std::to_string(i);
  ok(ok_locals);  // 199 declared plus `owner`: exactly 200 active
  EXPECT_EQ(error("\nfunction f() {\n" + many + "\n}"), plain("function at line 2 has more than 200 local variables", 3));
}

TEST_F(CompilerParser, UpvalueLimit) {
  std::string src;
  for (int i = 0; i < 61; i++) src += "var v" + std::to_string(i) + " = " + std::to_string(i) + "\n";
  std::string body = "function g() { return v0";
  for (int i = 1; i < 60; i++) body += " + v" + std::to_string(i);
  ok(src + body + " }");
  EXPECT_EQ(error(src + body + " + v60 }"), plain("function at line 62 has more than 60 upvalues", 62));
}

TEST_F(CompilerParser, NestingLimit) {
  std::string deep = "x = " + std::string(250, '(') + "1" + std::string(250, ')');
  std::string msg = error(deep);
  EXPECT_NE(msg.find("{Error}:chunk has too many syntax levels"), std::string::npos) << msg;
  ok("x = " + std::string(50, '(') + "1" + std::string(50, ')'));
  // Single-statement bodies nest without blocks; they are bounded too.
  std::string ifs;
  for (int i = 0; i < 1000; i++) ifs += "if (a) ";
  msg = error(ifs + "x = 1");
  EXPECT_NE(msg.find("chunk has too many syntax levels"), std::string::npos) << msg;
  EXPECT_EQ(L->native_depth, 0);
}

TEST_F(CompilerParser, SkipsCodeAfterLastStatementInBracedBlock) {
  ok("function f() { return 1; this is not ) valid ( syntax }");
  ok("while (x) { break; 1 2 3 }");
  // ...but lexical errors in the skipped part are still reported
  EXPECT_EQ(error("function f() { return 1; x = 3.4.5 }"), near("malformed number", "3.4.5"));
  // A single-statement body ends at that statement.
  ok("function f(x) { if (x) return 1; return 2 }");
}

TEST_F(CompilerParser, AcceptsTheWholeLanguage) {
  ok("var a, , b = 1, 2, 3");
  ok("var (a = 1; b, c = 2, 3)");
  ok("const K = 5; var function f(n) { return n ? f(n - 1) : 0 }");
  ok("var lambda sq(x) x * x; var class P { ctor(x = 1, y = 2) { this.x = x } y = 0 }");
  ok("t = {a = 1, b: 2, \"c\" = 3, 4: 5, [k] = 6, @ = mt, 7, 8, f()}");
  ok("t = [1, 2, x: 3, [4, 5]]");
  ok("f(a = 1, b = 2); f(1,, 3,)");
  ok("x = t@; t@ = {}; t[[1]] = 2; y = t[[k]]; z = t[1, 'a']; w = t[ [1, 2] ]");
  ok("..g = 1; x = ..g; x = ..LOGFONT; type = 1");
  ok("with obj { x = 1 } namespace a.b.c; y = 2");
  ok("try { x = 1 } catch (e) { print(e) }");
  ok("try { x = 1 }");
  ok("for (var i = 10; i >= 0; --i) { continue } for i = 1 to 5 step 2 { } for (i = 3; 0 < i; i -= 1) {}");
  ok("for (i = 0; i < 3; i = i + 2) {} for i = 0, 10, 2 { } for i = 0; 10 >= i; i++ { }");
  ok("while (1) { outer: while (1) { break outer } }");
  ok("for (i = 0; i < 3; i++) { loop2: for k in t { continue 2 } }");
  ok("while (true) { outer: x = 1; break }");
  ok("while (var a, b = f()) { } while (var i = 0; i++, j++; i < 10) { } while (; i++; i < 10) { }");
  ok("do x++ while (x < 10)");
  ok("select x { case 1, 2 { } case 3 to 5 { } case 6;7 { } case > 10, 20 { } case !y { } case else { } }");
  ok("select x { case 1 { } else { } }");
  ok("i++; i--; s ++= 'x'; n += 2; t.k ||= {}; t[1] **= 2; x ?= 1; x := 2; a.b.c -= 1");
  ok("a, b.c, d[1] = 1, 2, 3; a, b = b, a; a, , b = f()");
  ok("x = a ? b : c; y = a ?? b; z = !a && b || not c; w = #t + -x ** 2 + ~0");
  ok("x = ~1 & 2 | 3 ^ 4 << 1 >> 2 >>> 3; y = a === b !== c != d = e");
  ok("return f()");
  ok("import a.b.c; x = 1");
  ok("<html><?= x, y ?></html>");
  ok("x = function(...) { return ... }");
}

TEST_F(CompilerParser, ErrorLineIsTheCurrentLine) {
  EXPECT_EQ(error("x = 1\ny = 2\nz = )"), near("<unexpected symbol>", ")", 3));
}

}  // namespace
}  // namespace quevro
