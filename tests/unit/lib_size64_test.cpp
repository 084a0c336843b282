// Unsigned 64-bit values: conversions at the edges of doubles and of 64 bits, text parsing
// limits, shifts, byte sizes, and the script type's conversions through the native interface.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "vm_support.h"
#include "lib/math_library.h"
#include "lib/size64.h"
#include "lib/unsigned64.h"

namespace quevro::test {
namespace {

constexpr uint64_t MAX = UINT64_MAX;
constexpr double TWO_53 = 9007199254740992.0;
constexpr double TWO_63 = 9223372036854775808.0;
constexpr double TWO_64 = 18446744073709551616.0;

// ---- numbers to 64 bits ----

TEST(Unsigned64FromNumber, TruncatesTowardZero) {
  EXPECT_EQ(u64_from_number(0), 0u);
  EXPECT_EQ(u64_from_number(1.9), 1u);
  EXPECT_EQ(u64_from_number(-0.9), 0u);
  EXPECT_EQ(u64_from_number(-0.0), 0u);
  EXPECT_EQ(u64_from_number(4294967296.0), uint64_t{1} << 32);
}

TEST(Unsigned64FromNumber, NegativeNumbersWrapModulo2To64) {
  EXPECT_EQ(u64_from_number(-1), MAX);
  EXPECT_EQ(u64_from_number(-1.5), MAX);
  EXPECT_EQ(u64_from_number(-TWO_63), uint64_t{1} << 63);
  // Between -2^64 and -2^63 a signed 64-bit conversion would overflow.
  EXPECT_EQ(u64_from_number(-(TWO_63 + 4096)), (uint64_t{1} << 63) - 4096);
  EXPECT_EQ(u64_from_number(-(TWO_64 - 2048)), 2048u);
  EXPECT_EQ(u64_from_number(-TWO_64), 0u);
}

TEST(Unsigned64FromNumber, DoublesAbove2To53AreExactUpTo2To64) {
  EXPECT_EQ(u64_from_number(TWO_53 + 2), (uint64_t{1} << 53) + 2);
  EXPECT_EQ(u64_from_number(TWO_63), uint64_t{1} << 63);
  EXPECT_EQ(u64_from_number(TWO_63 + 2048), (uint64_t{1} << 63) + 2048);
  // The largest double below 2^64.
  EXPECT_EQ(u64_from_number(TWO_64 - 2048), 0xFFFFFFFFFFFFF800u);
}

TEST(Unsigned64FromNumber, NumbersFrom2To64OnWrap) {
  EXPECT_EQ(u64_from_number(TWO_64), 0u);
  EXPECT_EQ(u64_from_number(TWO_64 + 4096), 4096u);
  EXPECT_EQ(u64_from_number(TWO_64 * 3 + 8192), 8192u);
  // 2^70 + 2^64 + 2^20 leaves only 2^20.
  EXPECT_EQ(u64_from_number(std::ldexp(1.0, 70) + TWO_64 + 1048576.0), 1048576u);
}

TEST(Unsigned64FromNumber, NoIntegerValueGivesZero) {
  EXPECT_EQ(u64_from_number(std::nan("")), 0u);
  EXPECT_EQ(u64_from_number(HUGE_VAL), 0u);
  EXPECT_EQ(u64_from_number(-HUGE_VAL), 0u);
}

TEST(Unsigned64ToNumber, ExactUpTo2To53ThenNearest) {
  EXPECT_EQ(u64_to_number(uint64_t{1} << 53), TWO_53);
  // 2^53 + 1 lies halfway between two doubles and goes to the even one.
  EXPECT_EQ(u64_to_number((uint64_t{1} << 53) + 1), TWO_53);
  EXPECT_EQ(u64_to_number((uint64_t{1} << 53) + 3), TWO_53 + 4);
  EXPECT_EQ(u64_to_number(MAX), TWO_64);
  // So the largest value does not survive the way through a number: 2^64 wraps to 0.
  EXPECT_EQ(u64_from_number(u64_to_number(MAX)), 0u);
  EXPECT_EQ(u64_from_number(u64_to_number(0xFFFFFFFFFFFFF800u)), 0xFFFFFFFFFFFFF800u);
}

// ---- two halves ----

TEST(Unsigned64FromHalves, LowAndHighHalves) {
  EXPECT_EQ(u64_from_halves(0, 0), 0u);
  EXPECT_EQ(u64_from_halves(1, 1), (uint64_t{1} << 32) + 1);
  EXPECT_EQ(u64_from_halves(4294967295.0, 4294967295.0), MAX);
  // Bits of the low number above 32 are added to the high half.
  EXPECT_EQ(u64_from_halves(1099511627776.0, 1), uint64_t{257} << 32);
  EXPECT_EQ(u64_from_halves(4294967296.0 + 5, 4294967295.0), 5u);
}

TEST(Unsigned64FromHalves, SignedHalvesAreThirtyTwoBitPatterns) {
  EXPECT_EQ(u64_from_halves(-1, 0), 0xFFFFFFFFu);
  EXPECT_EQ(u64_from_halves(-2147483648.0, 0), 0x80000000u);
  EXPECT_EQ(u64_from_halves(-1, -1), MAX);
  EXPECT_EQ(u64_from_halves(0, -2147483648.0), uint64_t{1} << 63);
  // Below -2^31 the low number is a 64-bit value again, and its high bits carry.
  EXPECT_EQ(u64_from_halves(-2147483649.0, 0), 0xFFFFFFFF7FFFFFFFu);
}

TEST(Unsigned64FromHalves, SignedHalvesRoundTrip) {
  const uint64_t values[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, uint64_t{1} << 32, uint64_t{1} << 63,
                             0x8000000080000000u, 0x123456789ABCDEF0u, MAX - 1, MAX};
  for (uint64_t v : values) {
    double low = static_cast<int32_t>(u64_low(v));
    double high = static_cast<int32_t>(u64_high(v));
    EXPECT_EQ(u64_from_halves(low, high), v) << v;
  }
}

// ---- text ----

uint64_t parsed(const std::string& text) {
  uint64_t v = 0xDEADBEEF;
  EXPECT_TRUE(u64_parse(text.data(), text.size(), &v)) << text;
  return v;
}

bool overflows(const std::string& text) {
  uint64_t v = 0xDEADBEEF;
  bool ok = u64_parse(text.data(), text.size(), &v);
  EXPECT_EQ(v, 0xDEADBEEFu) << "an overflow leaves the result untouched: " << text;
  return !ok;
}

TEST(Unsigned64Parse, DecimalLimits) {
  EXPECT_EQ(parsed("18446744073709551615"), MAX);
  EXPECT_EQ(parsed("18446744073709551614"), MAX - 1);
  EXPECT_TRUE(overflows("18446744073709551616"));
  EXPECT_TRUE(overflows("18446744073709551620"));
  EXPECT_TRUE(overflows("99999999999999999999999"));
  EXPECT_EQ(parsed("9007199254740993"), (uint64_t{1} << 53) + 1);
}

TEST(Unsigned64Parse, HexadecimalNeedsThePrefix) {
  EXPECT_EQ(parsed("0xffffffffffffffff"), MAX);
  EXPECT_EQ(parsed("0XFFFFFFFFFFFFFFFF"), MAX);
  EXPECT_EQ(parsed("0x0000000000000000ff"), 255u);  // leading zeros are no overflow
  EXPECT_TRUE(overflows("0x10000000000000000"));
  EXPECT_EQ(parsed("0x1F"), 31u);
  // Without the prefix hexadecimal digits are no number at all.
  EXPECT_EQ(parsed("ff"), 0u);
  EXPECT_EQ(parsed("1f"), 1u);
  // "0x" without a hexadecimal digit after it is the number 0 followed by text.
  EXPECT_EQ(parsed("0x"), 0u);
  EXPECT_EQ(parsed("0xg1"), 0u);
}

TEST(Unsigned64Parse, LeadingZeroMeansOctal) {
  EXPECT_EQ(parsed("010"), 8u);
  EXPECT_EQ(parsed("0777"), 511u);
  EXPECT_EQ(parsed("08"), 0u);  // 8 is no octal digit
  EXPECT_EQ(parsed("01777777777777777777777"), MAX);
  EXPECT_TRUE(overflows("02000000000000000000000"));
  EXPECT_EQ(parsed("0"), 0u);
}

TEST(Unsigned64Parse, BlanksSignsAndTrailingText) {
  EXPECT_EQ(parsed(""), 0u);
  EXPECT_EQ(parsed("   "), 0u);
  EXPECT_EQ(parsed("abc"), 0u);
  EXPECT_EQ(parsed(" \t\n12"), 12u);
  EXPECT_EQ(parsed("12abc"), 12u);
  EXPECT_EQ(parsed("12 34"), 12u);
  EXPECT_EQ(parsed("+7"), 7u);
  EXPECT_EQ(parsed("-1"), MAX);
  EXPECT_EQ(parsed("-0x10"), MAX - 15);
  EXPECT_EQ(parsed("-18446744073709551615"), 1u);
  EXPECT_TRUE(overflows("-18446744073709551616"));
  EXPECT_EQ(parsed("--1"), 0u);
  EXPECT_EQ(parsed("- 1"), 0u);
  EXPECT_EQ(parsed(std::string("1\0" "2", 3)), 1u);
}

TEST(Unsigned64Digits, EveryBase) {
  EXPECT_EQ(u64_digits(0, 2), "0");
  EXPECT_EQ(u64_digits(0, 16), "0");
  EXPECT_EQ(u64_digits(5, 2), "101");
  EXPECT_EQ(u64_digits(MAX, 16), "ffffffffffffffff");
  EXPECT_EQ(u64_digits(MAX, 10), "18446744073709551615");
  EXPECT_EQ(u64_digits(MAX, 8), "1777777777777777777777");
  EXPECT_EQ(u64_digits(MAX, 2), std::string(64, '1'));
  EXPECT_EQ(u64_digits(35, 36), "z");
  EXPECT_EQ(u64_digits(36, 36), "10");
  for (int base = 2; base <= 36; ++base) {
    std::string text = u64_digits(MAX, base);
    EXPECT_EQ(std::strtoull(text.c_str(), nullptr, base), MAX) << base;
  }
}

// ---- operations ----

TEST(Unsigned64Shift, CountsOf64AndMoreClearEveryBit) {
  EXPECT_EQ(u64_shift_left(1, 63), uint64_t{1} << 63);
  EXPECT_EQ(u64_shift_left(1, 64), 0u);
  EXPECT_EQ(u64_shift_left(MAX, 100), 0u);
  EXPECT_EQ(u64_shift_left(MAX, MAX), 0u);
  EXPECT_EQ(u64_shift_right(MAX, 63), 1u);
  EXPECT_EQ(u64_shift_right(MAX, 64), 0u);
  EXPECT_EQ(u64_shift_right(MAX, 0), MAX);
  // Logical, not arithmetic: the top bit does not spread.
  EXPECT_EQ(u64_shift_right(uint64_t{1} << 63, 1), uint64_t{1} << 62);
}

TEST(Unsigned64ByteSwap, ReversesTheEightBytes) {
  EXPECT_EQ(u64_byte_swap(0x0102030405060708u), 0x0807060504030201u);
  EXPECT_EQ(u64_byte_swap(0xFF), 0xFF00000000000000u);
}

TEST(Unsigned64ByteSize, BytesBelowOneKilobyte) {
  EXPECT_EQ(u64_byte_size_text(0), "0 bytes");
  EXPECT_EQ(u64_byte_size_text(532), "532 bytes");
  EXPECT_EQ(u64_byte_size_text(1023), "1023 bytes");
}

TEST(Unsigned64ByteSize, ThreeSignificantDigitsTruncated) {
  EXPECT_EQ(u64_byte_size_text(1024), "1.00 KB");
  EXPECT_EQ(u64_byte_size_text(1536), "1.50 KB");
  EXPECT_EQ(u64_byte_size_text(1340), "1.30 KB");    // 1.308..., not rounded up
  EXPECT_EQ(u64_byte_size_text(10239), "9.99 KB");
  EXPECT_EQ(u64_byte_size_text(10240), "10.0 KB");
  EXPECT_EQ(u64_byte_size_text(23506), "22.9 KB");   // 22.95...
  EXPECT_EQ(u64_byte_size_text(102400), "100 KB");
  EXPECT_EQ(u64_byte_size_text(1048575), "1023 KB");
  EXPECT_EQ(u64_byte_size_text(1048576), "1.00 MB");
  EXPECT_EQ(u64_byte_size_text(2400016), "2.28 MB");
  EXPECT_EQ(u64_byte_size_text(2400000000u), "2.23 GB");
}

TEST(Unsigned64ByteSize, LargestUnitsWithoutOverflow) {
  EXPECT_EQ(u64_byte_size_text(uint64_t{1} << 40), "1.00 TB");
  EXPECT_EQ(u64_byte_size_text(uint64_t{1} << 50), "1.00 PB");
  EXPECT_EQ(u64_byte_size_text((uint64_t{1} << 60) - 1), "1023 PB");
  EXPECT_EQ(u64_byte_size_text(uint64_t{1} << 60), "1.00 EB");
  EXPECT_EQ(u64_byte_size_text(MAX), "15.9 EB");
}

// ---- the script type through the native interface ----

class Size64Test : public VmTest {
 protected:
  // Runs f at base level under a recovery point; the error text, or "" when it succeeded.
  template <class F>
  std::string error_of(F f) {
    int status = protect(L, f);
    if (status == STATUS_OK) return "";
    std::string text = top_text(L);
    L->top--;
    return text;
  }

  uint64_t construct(std::initializer_list<Value> args) {
    uint64_t v = 0;
    std::string error = error_of([&](VmState* S) {
      int first = get_top(S) + 1;
      for (const Value& a : args) push(S, a);
      v = size64_from_arguments(S, first);
      set_top(S, first - 1);
    });
    EXPECT_EQ(error, "");
    return v;
  }
};

TEST_F(Size64Test, PushedValuesReadBackExactly) {
  const uint64_t values[] = {0, 1, (uint64_t{1} << 53) + 1, uint64_t{1} << 63, MAX};
  for (uint64_t v : values) {
    push_size64(L, v);
    EXPECT_TRUE(is_size64(L, -1));
    uint64_t back = 0;
    EXPECT_TRUE(to_size64(L, -1, &back));
    EXPECT_EQ(back, v);
    // Stored low half first.
    uint32_t half[2];
    std::memcpy(half, to_cdata(L, -1), 8);
    EXPECT_EQ(half[0], u64_low(v));
    EXPECT_EQ(half[1], u64_high(v));
    pop(L, 1);
  }
  EXPECT_EQ(get_top(L), 0);
}

TEST_F(Size64Test, NumbersConvertButOtherValuesDoNot) {
  uint64_t v = 0;
  push_number(L, -1);
  EXPECT_TRUE(to_size64(L, -1, &v));
  EXPECT_EQ(v, MAX);
  EXPECT_FALSE(is_size64(L, -1));
  push_string(L, "42");
  EXPECT_TRUE(to_size64(L, -1, &v));
  EXPECT_EQ(v, 42u);
  push_string(L, "x");
  EXPECT_FALSE(to_size64(L, -1, &v));
  // An 8-byte buffer is no math.size64, nor is a cdata with another metatable.
  std::memset(new_cdata(L, 8), 0, 8);
  EXPECT_FALSE(is_size64(L, -1));
  std::memset(new_cdata(L, 8), 0, 8);
  new_table(L, 0, 0);
  set_metatable(L, -2);
  EXPECT_FALSE(is_size64(L, -1));
  EXPECT_FALSE(is_size64(L, 99));
  // The checks leave the stack as they found it.
  EXPECT_EQ(get_top(L), 5);
}

TEST_F(Size64Test, CheckRaisesTheOperandError) {
  std::string error = error_of([](VmState* S) {
    new_table(S, 0, 0);
    check_size64(S, -1);
  });
  EXPECT_NE(error.find("\n{Expected}:math.size64|number\n{Got}:table"), std::string::npos) << error;
}

TEST_F(Size64Test, MetatableIsMadeOnceWithOrWithoutTheNamespace) {
  push_size64(L, 7);
  get_metatable(L, -1);
  TableObject* first = L->top[-1].table();
  EXPECT_EQ(field(first, "_get").tag, TAG_TABLE);
  EXPECT_EQ(field(first, "_get").table(), first);
  EXPECT_EQ(text_of(field(first, "_type")), "math.size64");
  pop(L, 2);
  EXPECT_EQ(error_of([](VmState* S) { open_math_library(S); }), "");
  Value math = field(globals(), "math");
  ASSERT_EQ(math.tag, TAG_TABLE);
  Value published = field(math.table(), "_size64_meta");
  ASSERT_EQ(published.tag, TAG_TABLE);
  EXPECT_EQ(published.table(), first);
}

TEST_F(Size64Test, ConstructionFromArguments) {
  EXPECT_EQ(construct({}), 0u);
  EXPECT_EQ(construct({num(4294967296.0)}), uint64_t{1} << 32);
  EXPECT_EQ(construct({num(-1)}), MAX);
  EXPECT_EQ(construct({num(-1), num(0)}), 0xFFFFFFFFu);
  EXPECT_EQ(construct({num(5), make_null()}), 5u);
  EXPECT_EQ(construct({str("0xFFFFFFFFFFFFFFFF")}), MAX);
  EXPECT_EQ(construct({str("18446744073709551615")}), MAX);
  EXPECT_EQ(construct({str("")}), 0u);
  // A numeric string as the high half is a number.
  EXPECT_EQ(construct({num(0), str("1")}), uint64_t{1} << 32);
  push_size64(L, 12345);
  Value object = L->top[-1];
  L->top--;
  EXPECT_EQ(construct({object}), 12345u);
}

TEST_F(Size64Test, ConstructionRefusesOverflowAndOtherValues) {
  auto refused = [&](std::initializer_list<Value> args) {
    return error_of([&](VmState* S) {
      int first = get_top(S) + 1;
      for (const Value& a : args) push(S, a);
      size64_from_arguments(S, first);
    });
  };
  EXPECT_NE(refused({str("18446744073709551616")}).find("number too large for math.size64"), std::string::npos);
  EXPECT_NE(refused({tab()}).find("\n{Expected}:number\n{Got}:table"), std::string::npos);
  EXPECT_NE(refused({make_boolean(true)}).find("\n{Got}:boolean"), std::string::npos);
  EXPECT_NE(refused({num(1), str("x")}).find("\n{Got}:string"), std::string::npos);
}

}  // namespace
}  // namespace quevro::test
