// Lexer: token codes, semantic values, string flags and the lexical error messages.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/lexer.h"
#include "vm/api.h"
#include "vm/error.h"
#include "vm/state.h"
#include "vm/string.h"

namespace quevro {
namespace {

struct Lexed {
  int code;
  std::string text;  // string value (narrow bytes; wide as raw UTF-16LE bytes)
  double number;
  uint8_t flags;
  bool has_str;
  int line;
};

struct LexJob {
  const std::string* src;
  std::vector<Lexed>* out;
};

void lex_body(VmState* L, void* ud) {
  auto* job = static_cast<LexJob*>(ud);
  StringObject* source = intern_string(L, "=lex");
  Lexer ls(L, job->src->data(), job->src->size(), source);
  for (int guard = 0; guard < 10000; guard++) {
    ls.next();
    Lexed t{ls.t.code, "", ls.t.number, 0, ls.t.str != nullptr, ls.t.line};
    if (ls.t.str) {
      t.text.assign(ls.t.str->data(), ls.t.str->length);
      t.flags = ls.t.str->flags;
    }
    job->out->push_back(t);
    if (ls.t.code == TK_EOS) break;
  }
}

class CompilerLexer : public ::testing::Test {
 protected:
  void SetUp() override { L = open_state(); }
  void TearDown() override { close_state(L); }

  std::vector<Lexed> lex(const std::string& src) {
    std::vector<Lexed> out;
    LexJob job{&src, &out};
    int status = run_protected(L, lex_body, &job);
    EXPECT_EQ(status, 0) << (status ? to_string(L, -1) : "");
    return out;
  }
  std::vector<int> codes(const std::string& src) {
    std::vector<int> out;
    for (const Lexed& t : lex(src)) out.push_back(t.code);
    return out;
  }
  std::string error(const std::string& src) {
    std::vector<Lexed> out;
    LexJob job{&src, &out};
    int top = get_top(L);
    int status = run_protected(L, lex_body, &job);
    EXPECT_EQ(status, STATUS_SYNTAX);
    std::string msg = status ? to_string(L, -1) : "";
    set_top(L, top);
    return msg;
  }
  static std::string near(const std::string& msg, const std::string& tok, int line = 1) {
    return "\n{Error}:\n{Line}:#" + std::to_string(line) + "\n{File}:lex\n{Error}:" + msg + "\n{Near}:'" + tok + "'";
  }
  VmState* L = nullptr;
};

TEST_F(CompilerLexer, TokenDisplayTexts) {
  EXPECT_EQ(token_display(TK_BREAK), "break");
  EXPECT_EQ(token_display(TK_WHILE), "while");
  EXPECT_EQ(token_display(TK_LAMBDA_SIGN), "\xCE\xBB");
  EXPECT_EQ(token_display(TK_SHR), ">>>");
  EXPECT_EQ(token_display(TK_CONSTANT), "<constant>");
  EXPECT_EQ(token_display(TK_READONLY), "<read-only field>");
  EXPECT_EQ(token_display(TK_EOS), "<eof>");
  EXPECT_EQ(token_display('+'), "+");
  EXPECT_EQ(token_display(7), "char(7)");
}

// Each reserved word lexes to its own token, which displays as the word; the aliases read as the
// word they stand for, and the lambda sign's own token is never produced.
TEST_F(CompilerLexer, EveryReservedWordIsItsOwnToken) {
  std::vector<int> seen;
  for (int mark = 1; mark <= RESERVED_WORD_COUNT; ++mark) {
    std::string word = RESERVED_WORDS[mark - 1];
    std::vector<int> got = codes(word);
    ASSERT_EQ(got.size(), 2u) << word;
    EXPECT_EQ(got[1], TK_EOS);
    EXPECT_EQ(intern_string(L, word.c_str())->marked & MARK_FIXED, MARK_FIXED) << word;
    if (word == "\xCE\xBB") {
      EXPECT_EQ(got[0], TK_LAMBDA);
      continue;
    }
    EXPECT_EQ(token_display(got[0]), word);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), got[0]), 0) << word << " shares a token";
    seen.push_back(got[0]);
    EXPECT_EQ(codes("x." + word)[2], TK_NAME) << word;  // a field name after '.'
  }
  EXPECT_EQ(codes("const")[0], TK_VAR);
  EXPECT_LT(*std::max_element(seen.begin(), seen.end()), TK_POW);
}

TEST_F(CompilerLexer, OperatorsAndKeywords) {
  EXPECT_EQ(codes("** ++ ... == >= <= != === !== << >> >>> && ||"),
            (std::vector<int>{TK_POW, TK_CONCAT, TK_DOTS3, TK_EQ, TK_GE, TK_LE, TK_NE, TK_EQS, TK_NES, TK_SHL, TK_SAR,
                              TK_SHR, TK_AND, TK_OR, TK_EOS}));
  EXPECT_EQ(codes("x const lambda \xCE\xBB null"), (std::vector<int>{TK_NAME, TK_VAR, TK_LAMBDA, TK_LAMBDA, TK_NULL, TK_EOS}));
  // After "." every word is a field name.
  EXPECT_EQ(codes("t.class t.null t.type"),
            (std::vector<int>{TK_NAME, '.', TK_NAME, TK_NAME, '.', TK_NAME, TK_NAME, '.', TK_NAME, TK_EOS}));
  EXPECT_EQ(codes("type tostring"), (std::vector<int>{TK_CONSTANT, TK_CONSTANT, TK_EOS}));
}

TEST_F(CompilerLexer, QuestionMarkForms) {
  EXPECT_EQ(codes("a ?? b"), (std::vector<int>{TK_NAME, ':', TK_NAME, TK_EOS}));
  EXPECT_EQ(codes("a ?: b"), (std::vector<int>{TK_NAME, ':', TK_NAME, TK_EOS}));
  EXPECT_EQ(codes("a ?::Max"), (std::vector<int>{TK_NAME, '?', TK_CONSTANT, TK_EOS}));
  EXPECT_EQ(codes("a ? b"), (std::vector<int>{TK_NAME, '?', TK_NAME, TK_EOS}));
}

TEST_F(CompilerLexer, PlusAndDotsNextToStrings) {
  EXPECT_EQ(codes("\"a\" + b"), (std::vector<int>{TK_STRING, TK_CONCAT, TK_NAME, TK_EOS}));
  EXPECT_EQ(codes("b + \"a\""), (std::vector<int>{TK_NAME, TK_CONCAT, TK_STRING, TK_EOS}));
  EXPECT_EQ(codes("a + b"), (std::vector<int>{TK_NAME, '+', TK_NAME, TK_EOS}));
  EXPECT_EQ(codes("\"a\".. b"), (std::vector<int>{TK_STRING, TK_CONCAT, TK_NAME, TK_EOS}));
  EXPECT_EQ(codes("a..b"), (std::vector<int>{TK_NAME, TK_DOTS2, TK_NAME, TK_EOS}));
  EXPECT_EQ(codes("a.. 'x'"), (std::vector<int>{TK_NAME, TK_CONCAT, TK_STRING, TK_EOS}));
}

TEST_F(CompilerLexer, Numerals) {
  auto num = [&](const std::string& s) {
    auto t = lex(s);
    EXPECT_EQ(t[0].code, TK_NUMBER) << s;
    return t[0].number;
  };
  EXPECT_EQ(num("1_000_000"), 1000000);
  EXPECT_EQ(num("0xFF"), 255);
  EXPECT_EQ(num("2#101"), 5);
  EXPECT_EQ(num("16#FF"), 255);
  EXPECT_EQ(num(".5"), 0.5);
  EXPECT_EQ(num("1e3"), 1000);
  EXPECT_EQ(num("2.5E-1"), 0.25);
  EXPECT_EQ(num("0x7FFFFFFFFFFFFFFFFF"), 9223372036854775807.0);  // saturates
  EXPECT_EQ(error("x = 3.14.15"), near("malformed number", "3.14.15"));
  EXPECT_EQ(error("x = 37#1"), near("malformed number", "37#1"));
  EXPECT_EQ(error("x = 1e"), near("malformed number", "1e"));
  EXPECT_EQ(error("x = 2#102"), near("malformed number", "2#102"));
  // A second underscore is not skipped: the numeral ends and the constant name _0 follows.
  EXPECT_EQ(codes("1__0"), (std::vector<int>{TK_NUMBER, TK_CONSTANT, TK_EOS}));
  EXPECT_EQ(lex("1__0")[0].number, 1);
}

TEST_F(CompilerLexer, UnderscoreNamesAndConstants) {
  auto t = lex("_MAX _1 __ _max _ _Max");
  ASSERT_EQ(t.size(), 7u);
  EXPECT_EQ(t[0].code, TK_CONSTANT);
  EXPECT_EQ(t[1].code, TK_CONSTANT);
  EXPECT_EQ(t[2].code, TK_CONSTANT);
  EXPECT_EQ(t[3].code, TK_NAME);
  EXPECT_EQ(t[4].code, TK_NAME);
  EXPECT_EQ(t[5].code, TK_NAME);
  EXPECT_EQ(intern_string(L, "_max")->reserved, MARK_READONLY_NAME);
  EXPECT_EQ(intern_string(L, "_MAX")->reserved, MARK_CONSTANT_NAME);
  EXPECT_EQ(intern_string(L, "_")->reserved, 0);
  EXPECT_EQ(t[0].flags, 0);
  // after "." the constant rule still marks the name
  EXPECT_EQ(codes("t._LIMIT"), (std::vector<int>{TK_NAME, '.', TK_CONSTANT, TK_EOS}));
  EXPECT_EQ(intern_string(L, "_LIMIT")->reserved, MARK_CONSTANT_NAME);
}

TEST_F(CompilerLexer, ReservedConstantMarksLaterBareName) {
  EXPECT_EQ(codes("Limit ::Limit Limit"), (std::vector<int>{TK_NAME, TK_CONSTANT, TK_CONSTANT, TK_EOS}));
  EXPECT_EQ(error("x = ::abc"),
            near("The first letter of the reserved constant name must be capitalized!", "::<constant>"));
  EXPECT_EQ(error("x = ::\xCE\xBB"), near("\n{Expected}: reserved constant name ", "lambda"));
}

TEST_F(CompilerLexer, RawStrings) {
  auto t = lex("\"a\"\"b\" `x``y` \"l1\r\nl2\"");
  EXPECT_EQ(t[0].text, "a\"b");
  EXPECT_EQ(t[0].flags, STR_UTF8);
  EXPECT_EQ(t[1].text, "x`y");
  EXPECT_EQ(t[2].text, "l1\nl2");
  EXPECT_EQ(error("x = \"abc"), near("unfinished string", "<eof>"));
}

TEST_F(CompilerLexer, EscapedStrings) {
  auto t = lex("'\\u0041' '\\x41' '\\255' '\\uD83D\\uDE00' '\\U01F600' 'a\\\nb' '\\q'");
  EXPECT_EQ(t[0].text, "A");
  EXPECT_EQ(t[0].flags, STR_UTF8);
  EXPECT_EQ(t[1].text, "A");
  EXPECT_EQ(t[1].flags, 0);
  EXPECT_EQ(t[2].text, "\xFF");
  EXPECT_EQ(t[3].text, "\xF0\x9F\x98\x80");
  EXPECT_EQ(t[4].text, "\xF0\x9F\x98\x80");
  EXPECT_EQ(t[5].text, "ab");
  EXPECT_EQ(t[6].text, "q");
  EXPECT_EQ(t[7].line, 2);  // the continued line was counted
  EXPECT_EQ(error("x = '\\256'"), near("escape sequence too large", ""));
  EXPECT_EQ(error("x = 'ab\\xZ'"), near("no hex digits given in hex escape sequence \\x?? ", "ab"));
  EXPECT_EQ(error("x = '\\uD83D'"), near("Illegal \\u Unicode escape sequence", ""));
  EXPECT_EQ(error("x = '\\u41'"), near("Illegal \\UFFFFFFFF Unicode escape sequence", ""));
  EXPECT_EQ(error("x = '\\U12345'"), near("Illegal \\UFFFFFFFF Unicode escape sequence", ""));
  EXPECT_EQ(error("x = 'abc"), near("unfinished string", "<eof>"));
}

TEST_F(CompilerLexer, CharacterCodeAndWideSuffixes) {
  auto t = lex("'A'# '\xE4\xB8\xAD'# ''# 'abc'u ''u");
  EXPECT_EQ(t[0].code, TK_NUMBER);
  EXPECT_EQ(t[0].number, 65);
  EXPECT_EQ(t[1].number, 0x4E2D);
  EXPECT_EQ(t[2].number, 0);
  EXPECT_EQ(t[3].code, TK_STRING);
  EXPECT_EQ(t[3].flags, STR_WIDE);
  EXPECT_EQ(t[3].text, std::string("a\0b\0c\0", 6));
  EXPECT_EQ(t[4].flags & STR_WIDE, 0);  // empty: a normal string, suffix consumed
  EXPECT_EQ(t[5].code, TK_EOS);
}

TEST_F(CompilerLexer, CommentsAndCommentStrings) {
  EXPECT_EQ(codes("a /* x */ b // c\n d"), (std::vector<int>{TK_NAME, TK_NAME, TK_NAME, TK_EOS}));
  EXPECT_EQ(codes("a /** x */ y **/ b"), (std::vector<int>{TK_NAME, TK_NAME, TK_EOS}));
  auto t = lex("x = /*a\nb*/");
  EXPECT_EQ(t[2].code, TK_STRING);
  EXPECT_EQ(t[2].text, "a\r\nb");
  t = lex("x = /*\nab\n*/");
  EXPECT_EQ(t[2].text, "ab");  // leading line end dropped, final CR LF dropped
  t = lex("x = //rest of line");
  EXPECT_EQ(t[2].text, "rest of line");
  EXPECT_EQ(error("/* never closed"), near("unfinished long comment", "<eof>"));
  EXPECT_EQ(error("x = /* never closed"), near("unfinished long string", "<eof>"));
}

TEST_F(CompilerLexer, Templates) {
  auto t = lex("Hello <?=x?>!");
  // Not a template: the chunk does not start with "<".
  EXPECT_EQ(t[0].code, TK_NAME);
  t = lex("<b>Hello <?=x?>!");
  ASSERT_GE(t.size(), 5u);
  EXPECT_EQ(t[0].code, TK_PRINT);
  EXPECT_EQ(t[0].text, "<b>Hello ");
  EXPECT_EQ(t[1].code, TK_PRINT);
  EXPECT_FALSE(t[1].has_str);
  EXPECT_EQ(t[2].code, TK_NAME);
  EXPECT_EQ(t[3].code, TK_PRINT);
  EXPECT_EQ(t[3].text, "!");
  EXPECT_EQ(t[4].code, TK_EOS);
  EXPECT_EQ(codes("<? x"), (std::vector<int>{TK_NAME, TK_EOS}));
  EXPECT_EQ(lex("<?xml ?>")[0].code, TK_PRINT);
  EXPECT_EQ(codes("<= x"), (std::vector<int>{TK_LE, TK_NAME, TK_EOS}));
}

TEST_F(CompilerLexer, CountedLiteralAndChunkEnd) {
  std::string src("a ", 2);
  src += std::string("\0\x08" "3:xyz b", 9);
  auto t = lex(src);
  EXPECT_EQ(t[1].code, TK_NAME);
  EXPECT_EQ(t[1].text, "xyz");
  EXPECT_EQ(t[1].flags, 0x08);
  EXPECT_EQ(t[2].code, TK_NAME);
  std::string ends("a ", 2);
  ends += std::string("\0\x08z b", 5);
  EXPECT_EQ(codes(ends), (std::vector<int>{TK_NAME, TK_EOS}));
}

TEST_F(CompilerLexer, IncludeMissingFile) {
  EXPECT_EQ(codes("x = $\"?/no/such/file.txt\""), (std::vector<int>{TK_NAME, '=', TK_NULL, TK_EOS}));
  std::string msg = error("x = $\"/no/such/file.txt\"");
  EXPECT_EQ(msg, "\n{Error}:\n{Line}:#1\n{File}:lex\n{Error}:Cannot include file:/no/such/file.txt\n{Near}:'$'");
  EXPECT_EQ(codes("$abc $"), (std::vector<int>{TK_NAME, TK_NAME, TK_EOS}));
}

TEST_F(CompilerLexer, IncludeReadsFileBytes) {
  char path[] = "/tmp/quevro_include_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const char content[] = "line1\r\nline2";
  ASSERT_EQ(write(fd, content, sizeof content - 1), static_cast<ssize_t>(sizeof content - 1));
  close(fd);
  auto t = lex(std::string("x = $'") + path + "'");
  unlink(path);
  EXPECT_EQ(t[2].code, TK_STRING);
  EXPECT_EQ(t[2].text, "line1\r\nline2");
  EXPECT_EQ(t[2].flags, 0);
}

TEST_F(CompilerLexer, LineCounting) {
  auto t = lex("a\nb\r\nc\n\rd\re");
  EXPECT_EQ(t[0].line, 1);
  EXPECT_EQ(t[1].line, 2);
  EXPECT_EQ(t[2].line, 3);
  EXPECT_EQ(t[3].line, 4);
  EXPECT_EQ(t[4].line, 5);
}

TEST_F(CompilerLexer, ChunkIds) {
  EXPECT_EQ(chunk_id("=name", 5), "name");
  EXPECT_EQ(chunk_id("@file.quevro", 12), "file.quevro");
  std::string longname = "@" + std::string(100, 'a');
  EXPECT_EQ(chunk_id(longname.data(), longname.size()), "..." + std::string(72, 'a'));
  EXPECT_EQ(chunk_id("x = 1\ny = 2", 11), "[string \"x = 1...\"]");
  EXPECT_EQ(chunk_id("x = 1", 5), "[string \"x = 1\"]");
  // A cut never leaves half a character.
  std::string wide = std::string(62, 'a') + "\xE4\xB8\xAD";
  EXPECT_EQ(chunk_id(wide.data(), wide.size()), "[string \"" + std::string(62, 'a') + "...\"]");
}

TEST_F(CompilerLexer, UnescapeDoesNotRaise) {
  EXPECT_TRUE(unescape_text(L, "a\\tb\\u0041", 10));
  EXPECT_STREQ(to_string(L, -1), "a\tbA");
  EXPECT_FALSE(unescape_text(L, "x\\999", 5));
  std::string msg = to_string(L, -1);
  EXPECT_NE(msg.find("escape sequence too large"), std::string::npos);
}

}  // namespace
}  // namespace quevro
