#include <gtest/gtest.h>

#include <cmath>

#include "vm/value.h"

namespace quevro {
namespace {

TEST(ValueLayout, IsSixteenBytesWithTagAfterPayload) {
  EXPECT_EQ(sizeof(Value), 16u);
  EXPECT_EQ(offsetof(Value, tag), 8u);
}

TEST(ToInt32, RoundsHalfToEvenAndWraps) {
  EXPECT_EQ(to_int32(2.5), 2);
  EXPECT_EQ(to_int32(3.5), 4);
  EXPECT_EQ(to_int32(-2.5), -2);
  EXPECT_EQ(to_int32(4294967296.0 + 5), 5);
  EXPECT_EQ(to_int32(4294967295.0), -1);
  EXPECT_EQ(to_int32(2147483648.0), INT32_MIN);
}

TEST(Falsiness, ZeroNullAndFalseOnly) {
  EXPECT_TRUE(is_falsy(make_null()));
  EXPECT_TRUE(is_falsy(make_boolean(0)));
  EXPECT_TRUE(is_falsy(make_number(0)));
  EXPECT_TRUE(is_falsy(make_number(-0.0)));
  EXPECT_FALSE(is_falsy(make_number(NAN)));
  EXPECT_FALSE(is_falsy(make_boolean(7)));  // any non-zero word is true
  EXPECT_FALSE(is_falsy(make_pointer(nullptr)));
}

}  // namespace
}  // namespace quevro
