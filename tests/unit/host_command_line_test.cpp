#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/command_line.h"
#include "vm/api.h"

namespace quevro {
namespace {

TEST(CommandLine, PlainArgumentsAreJoinedByBlanks) {
  EXPECT_EQ(join_command_line({}), "");
  EXPECT_EQ(join_command_line({"a", "b.docx", "-x"}), "a b.docx -x");
}

TEST(CommandLine, ArgumentsWithBlanksQuotesOrNothingAreQuoted) {
  EXPECT_EQ(join_command_line({""}), "\"\"");
  EXPECT_EQ(join_command_line({"two words"}), "\"two words\"");
  EXPECT_EQ(join_command_line({"tab\there"}), "\"tab\there\"");
  // An inner quote is escaped, and so are the backslashes right before it.
  EXPECT_EQ(join_command_line({"say \"hi\""}), "\"say \\\"hi\\\"\"");
  EXPECT_EQ(join_command_line({"a\\\"b"}), "\"a\\\\\\\"b\"");
  // Backslashes elsewhere stay as they are; before the closing quote they are doubled.
  EXPECT_EQ(join_command_line({"a\\b c"}), "\"a\\b c\"");
  EXPECT_EQ(join_command_line({"dir with space\\"}), "\"dir with space\\\\\"");
}

class ArgvTest : public ::testing::Test {
 protected:
  void SetUp() override { L = open_state(); }
  void TearDown() override { close_state(L); }

  // The field's text, or "<none>" when the table has no such field.
  std::string field(const char* key) {
    const Value* v = table_get_str(L->top[-1].table(), intern_string(L, key));
    return v->tag == TAG_STRING ? std::string(v->string()->data(), v->string()->length) : "<none>";
  }
  std::string at(int i) {
    const Value* v = table_get_int(L->top[-1].table(), i);
    return v->tag == TAG_STRING ? std::string(v->string()->data(), v->string()->length) : "<none>";
  }
  VmState* L = nullptr;
};

TEST_F(ArgvTest, SwitchesTakeTheNextArgumentUnlessItLooksLikeASwitch) {
  push_argv_table(L, {"-out", "out.docx", "-a", "-b", "/c", "-d", "-e", "has blank", "-last"});
  EXPECT_EQ(field("out"), "out.docx");
  EXPECT_EQ(field("a"), "");    // -b starts with the same character
  EXPECT_EQ(field("b"), "/c");  // /c starts with a different one: it is the value
  EXPECT_EQ(field("c"), "<none>");
  EXPECT_EQ(field("d"), "");
  EXPECT_EQ(field("e"), "has blank");
  EXPECT_EQ(field("last"), "");
  // Every argument keeps its position, values included.
  EXPECT_EQ(at(1), "-out");
  EXPECT_EQ(at(2), "out.docx");
  EXPECT_EQ(at(5), "/c");
  EXPECT_EQ(at(8), "has blank");
  EXPECT_EQ(at(9), "-last");
}

TEST_F(ArgvTest, ASlashSwitchTakesAFollowingDashArgument) {
  push_argv_table(L, {"/a", "-b"});
  EXPECT_EQ(field("a"), "-b");
  EXPECT_EQ(field("b"), "<none>");
  EXPECT_EQ(at(2), "-b");
}

TEST_F(ArgvTest, NamesSkipTheLeadingRunAndEqualsGivesTheValue) {
  push_argv_table(L, {"--name=value", "---x=1=2", "-/y", "-"});
  EXPECT_EQ(field("name"), "value");
  EXPECT_EQ(field("x"), "1=2");  // the first '=' splits
  EXPECT_EQ(field("/y"), "");    // a dash followed by /y names /y
  EXPECT_EQ(field(""), "");      // a lone dash names the empty string
  EXPECT_EQ(at(1), "--name=value");
}

}  // namespace
}  // namespace quevro
