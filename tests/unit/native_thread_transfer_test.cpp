// Copying values from one state to another, as threads and the shared state receive them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "compiler/chunk_entry.h"
#include "lib/size64.h"
#include "native/thread_transfer.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/cdata.h"

namespace quevro::test {
namespace {

class ThreadTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    from = open_state();
    to = open_state();
  }
  void TearDown() override {
    close_state(from);
    close_state(to);
  }

  // Runs code in the source state and leaves its first result on the stack.
  void push_result_of(const char* code) {
    ASSERT_EQ(load_buffer(from, code, std::strlen(code), "=source"), STATUS_OK);
    push_null(from);
    ASSERT_EQ(pcall(from, 1, 1, 0), STATUS_OK);
  }

  VmState* from = nullptr;
  VmState* to = nullptr;
};

TEST_F(ThreadTransfer, ScalarsKeepTheirValues) {
  push_null(from);
  push_boolean(from, true);
  push_number(from, -2.5);
  int x = 0;
  push_pointer(from, &x);
  push_pointer(from, nullptr);
  for (int i = 1; i <= 5; ++i) ASSERT_TRUE(transfer_value(from, i, to));
  ASSERT_EQ(get_top(to), 5);
  EXPECT_EQ(type_of(to, 1), TAG_NULL);
  EXPECT_EQ(type_of(to, 2), TAG_BOOLEAN);
  EXPECT_TRUE(to_boolean(to, 2));
  EXPECT_EQ(to_number(to, 3), -2.5);
  EXPECT_EQ(type_of(to, 4), TAG_POINTER);
  EXPECT_EQ(stack_address(to, 4)->u.p, &x);
  // A null pointer arrives as null.
  EXPECT_EQ(type_of(to, 5), TAG_NULL);
}

TEST_F(ThreadTransfer, StringsKeepBytesAndEncodingFlags) {
  const char bytes[] = "a\0b\xff";
  push_lstring(from, bytes, sizeof bytes - 1);
  set_string_flags(from, -1, 1);
  ASSERT_TRUE(transfer_value(from, -1, to));
  size_t len = 0;
  const char* s = to_lstring(to, -1, &len);
  ASSERT_EQ(len, sizeof bytes - 1);
  EXPECT_EQ(std::memcmp(s, bytes, len), 0);
  EXPECT_EQ(string_flags(to, -1), string_flags(from, -1));
  EXPECT_NE(string_flags(to, -1), 0);
}

TEST_F(ThreadTransfer, TablesArriveEqualButDistinct) {
  push_result_of("return {1, 2, name = \"n\"; inner = {flag = true}}");
  ASSERT_TRUE(transfer_value(from, -1, to));
  ASSERT_EQ(type_of(to, -1), TAG_TABLE);
  raw_get_index(to, -1, 2);
  EXPECT_EQ(to_number(to, -1), 2);
  pop(to, 1);
  raw_get_field(to, -1, "name");
  EXPECT_STREQ(to_string(to, -1), "n");
  pop(to, 1);
  raw_get_field(to, -1, "inner");
  ASSERT_EQ(type_of(to, -1), TAG_TABLE);
  raw_get_field(to, -1, "flag");
  EXPECT_TRUE(to_boolean(to, -1));
}

TEST_F(ThreadTransfer, ScriptFunctionsRunInTheTarget) {
  push_result_of("return function(a, b) { return a * b + 1 }");
  ASSERT_TRUE(transfer_value(from, -1, to));
  ASSERT_EQ(type_of(to, -1), TAG_FUNCTION);
  push_null(to);
  push_number(to, 6);
  push_number(to, 7);
  ASSERT_EQ(pcall(to, 3, 1, 0), STATUS_OK);
  EXPECT_EQ(to_number(to, -1), 43);
}

int native_function(VmState*) { return 0; }

TEST_F(ThreadTransfer, NativeFunctionsDoNotCross) {
  push_function(from, native_function);
  int before = get_top(to);
  EXPECT_FALSE(transfer_value(from, -1, to));
  EXPECT_EQ(get_top(to), before);
}

TEST_F(ThreadTransfer, BuffersArriveAsCopies) {
  auto* block = static_cast<unsigned char*>(new_cdata(from, 3));
  block[0] = 1;
  block[1] = 0;
  block[2] = 255;
  ASSERT_TRUE(transfer_value(from, -1, to));
  ASSERT_EQ(type_of(to, -1), TAG_CDATA);
  auto* copy = static_cast<unsigned char*>(to_cdata(to, -1));
  ASSERT_NE(copy, block);
  EXPECT_EQ(stack_address(to, -1)->cdata()->size, 3u);
  EXPECT_EQ(copy[0], 1);
  EXPECT_EQ(copy[1], 0);
  EXPECT_EQ(copy[2], 255);
  block[0] = 9;
  EXPECT_EQ(copy[0], 1);
}

TEST_F(ThreadTransfer, Size64KeepsItsTypeAndValue) {
  push_size64(from, 0xFEDCBA9876543210ull);
  ASSERT_TRUE(transfer_value(from, -1, to));
  EXPECT_TRUE(is_size64(to, -1));
  uint64_t v = 0;
  ASSERT_TRUE(to_size64(to, -1, &v));
  EXPECT_EQ(v, 0xFEDCBA9876543210ull);
}

TEST_F(ThreadTransfer, FibersDoNotCross) {
  push(from, make_object(new_fiber(from)));
  ASSERT_EQ(type_of(from, -1), TAG_FIBER);
  int before = get_top(to);
  EXPECT_FALSE(transfer_value(from, -1, to));
  EXPECT_EQ(get_top(to), before);
}

}  // namespace
}  // namespace quevro::test
