// Structure declarations and their layout on this platform.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "native/structures.h"
#include "vm/api.h"
#include "vm_support.h"

namespace quevro::test {
namespace {

TEST(NativeStructureDeclaration, FieldsNamesAndCounts) {
  std::vector<FieldDeclaration> f;
  DeclarationResult r = parse_structure(" BYTE  data[4] ; int v[] ;POINTER p; STRING s;", &f);
  ASSERT_EQ(r.fault, DeclarationFault::NONE);
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0].code, 'B');
  EXPECT_EQ(f[0].name, "data");
  EXPECT_EQ(f[0].count, 4);
  EXPECT_EQ(f[1].count, DYNAMIC_COUNT);
  EXPECT_EQ(f[2].code, 'P');
  EXPECT_EQ(f[3].code, 'S');
  EXPECT_EQ(f[3].count, 0);
}

TEST(NativeStructureDeclaration, Faults) {
  std::vector<FieldDeclaration> f;
  EXPECT_EQ(parse_structure("int a; int", &f).fault, DeclarationFault::MISSING_NAME);
  f.clear();
  DeclarationResult bad = parse_structure("int a; quux b", &f);
  EXPECT_EQ(bad.fault, DeclarationFault::BAD_TYPE);
  EXPECT_EQ(bad.code, 'q');
  EXPECT_EQ(bad.field, "b");
  f.clear();
  EXPECT_EQ(parse_structure(" ; ", &f).fault, DeclarationFault::NO_FIELDS);
  f.clear();
  EXPECT_EQ(parse_structure("int a[0]", &f).fault, DeclarationFault::BAD_TYPE);
}

class NativeLayout : public VmTest {
 protected:
  // Size of a structure table built from a declaration and optional packing limit.
  size_t size_of(const char* declaration, int pack = 0) {
    size_t size = 0;
    int status = protect(L, [&](VmState* S) {
      new_table(S, 0, 2);
      push_string(S, declaration);
      quevro::set_field(S, -2, "_struct");
      if (pack) {
        push_number(S, pack);
        quevro::set_field(S, -2, "_struct_aligned");
      }
      size = structure_size(S, get_top(S));
      pop(S, 1);
    });
    EXPECT_EQ(status, 0) << declaration;
    return size;
  }
};

struct CharDouble { char c; double d; };
struct ShortIntChar { short s; int i; char c; };
struct Pointers { char a; void* p; int b; const char* s; };
struct Arrays { unsigned char b[3]; int i[2]; unsigned short w[3]; double d; };

TEST_F(NativeLayout, MatchesTheCompiler) {
  EXPECT_EQ(size_of("byte c; double d"), sizeof(CharDouble));
  EXPECT_EQ(size_of("word s; int i; byte c"), sizeof(ShortIntChar));
  EXPECT_EQ(size_of("byte a; pointer p; int b; string s"), sizeof(Pointers));
  EXPECT_EQ(size_of("BYTE b[3]; int i[2]; WORD w[3]; double d"), sizeof(Arrays));
}

TEST_F(NativeLayout, PackingLimits) {
  EXPECT_EQ(size_of("BYTE a; INT b"), 8u);
  EXPECT_EQ(size_of("BYTE a; INT b", 1), 5u);
  EXPECT_EQ(size_of("BYTE a; LONG b"), 16u);
  EXPECT_EQ(size_of("BYTE a; LONG b", 4), 12u);
  EXPECT_EQ(size_of("WORD year;WORD month;WORD dayofweek;WORD day;WORD hour;WORD minute;WORD second;WORD milliseconds"), 16u);
}

TEST_F(NativeLayout, PackedValuesLandAtTheCompilersOffsets) {
  ShortIntChar expected{-2, 100000, 'z'};
  unsigned char block[sizeof(ShortIntChar)] = {};
  std::memcpy(block, &expected, sizeof expected);
  ShortIntChar packed{};
  int status = protect(L, [&](VmState* S) {
    new_table(S, 0, 4);
    push_string(S, "word s; int i; byte c");
    quevro::set_field(S, -2, "_struct");
    push_number(S, -2);
    quevro::set_field(S, -2, "s");
    push_number(S, 100000);
    quevro::set_field(S, -2, "i");
    push_number(S, 'z');
    quevro::set_field(S, -2, "c");
    pack_structure(S, get_top(S), reinterpret_cast<unsigned char*>(&packed), 0);
  });
  ASSERT_EQ(status, 0);
  EXPECT_EQ(packed.s, expected.s);
  EXPECT_EQ(packed.i, expected.i);
  EXPECT_EQ(packed.c, expected.c);
}

}  // namespace
}  // namespace quevro::test
