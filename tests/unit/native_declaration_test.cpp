// Type keywords, declaration strings and convention strings of native calls.
#include <gtest/gtest.h>

#include <string>

#include "native/declaration.h"
#include "native/type_codes.h"

namespace quevro::test {
namespace {

TEST(NativeTypeCode, FirstLetterDecidesAndCaseGivesSignedness) {
  EXPECT_EQ(type_code("int"), 'i');
  EXPECT_EQ(type_code("INT"), 'I');
  // Addresses are pointer-sized: 64 bits here.
  EXPECT_EQ(type_code("addr"), 'l');
  EXPECT_EQ(type_code("ADDR"), 'L');
  EXPECT_EQ(type_code("DWORD"), 'I');
  EXPECT_EQ(type_code("DOUBLE"), 'd');
  EXPECT_EQ(type_code("double"), 'd');
  EXPECT_EQ(type_code("long"), 'l');
  EXPECT_EQ(type_code("LONG"), 'L');
  EXPECT_EQ(type_code("word"), 'w');
  EXPECT_EQ(type_code("WORD"), 'W');
  EXPECT_EQ(type_code("byte"), 'b');
  EXPECT_EQ(type_code("BYTE"), 'B');
  EXPECT_EQ(type_code("bool"), 'y');
  EXPECT_EQ(type_code("float"), 'f');
  EXPECT_EQ(type_code("float64"), 'd');
  EXPECT_EQ(type_code("pointer"), 'p');
  EXPECT_EQ(type_code("POINTER"), 'p');
  EXPECT_EQ(type_code("string"), 's');
  EXPECT_EQ(type_code("STRING"), 's');
  EXPECT_EQ(type_code("struct"), 't');
  EXPECT_EQ(type_code("void"), 'v');
}

TEST(NativeTypeCode, SizedIntegersLookAtTheLastCharacters) {
  EXPECT_EQ(type_code("int64"), 'l');
  EXPECT_EQ(type_code("INT64"), 'L');
  EXPECT_EQ(type_code("int16"), 'w');
  EXPECT_EQ(type_code("INT16"), 'W');
  EXPECT_EQ(type_code("int8"), 'b');
  EXPECT_EQ(type_code("INT8"), 'B');
  // Only an 8 after a letter narrows to a byte; int128 and int32 stay 32-bit.
  EXPECT_EQ(type_code("int128"), 'i');
  EXPECT_EQ(type_code("int32"), 'i');
}

TEST(NativeTypeCode, UnsignedSpellings) {
  EXPECT_EQ(type_code("uint"), 'I');
  EXPECT_EQ(type_code("uint8"), 'B');
  EXPECT_EQ(type_code("uint64"), 'L');
  EXPECT_EQ(type_code("ulong"), 'L');
  EXPECT_EQ(type_code("UWORD"), 'W');
  EXPECT_EQ(type_code("ubyte"), 'B');
  EXPECT_EQ(type_code("ustring"), 'g');
  EXPECT_EQ(type_code("USTRING"), 'g');
  EXPECT_EQ(type_code("union"), 'u');
  EXPECT_FALSE(is_value_code(type_code("uxyz")));
  EXPECT_FALSE(is_value_code(type_code("quux")));
  EXPECT_FALSE(is_value_code(type_code("D")));
}

TEST(NativeTypeCode, PointerSizedWidthsAreEightBytes) {
  EXPECT_EQ(type_width('p'), 8u);
  EXPECT_EQ(type_width('s'), 8u);
  EXPECT_EQ(type_width('g'), 8u);
  EXPECT_EQ(type_width('i'), 4u);
  EXPECT_EQ(type_width('L'), 8u);
  EXPECT_EQ(type_width('W'), 2u);
  EXPECT_EQ(type_width('B'), 1u);
  EXPECT_EQ(type_width('t'), 0u);
}

Signature parsed(const char* text, bool unicode = false) {
  Signature s;
  std::string rest;
  EXPECT_TRUE(parse_declaration(text, unicode, &s, &rest)) << text << " rejected at " << rest;
  return s;
}

std::string rejected(const char* text) {
  Signature s;
  std::string rest;
  EXPECT_FALSE(parse_declaration(text, false, &s, &rest)) << text;
  return rest;
}

TEST(NativeDeclaration, SignatureMarksByReferenceParameters) {
  Signature s = parsed("INT(INT dwFlags,pointer source,INT id,INT lang,ustring& buf,INT size,pointer &arg )");
  EXPECT_EQ(s.call_signature(), "IIpII&I&");
  EXPECT_EQ(s.type_string(), "IIpIIgIp");
  EXPECT_EQ(s.parameters[4].flags, PARAM_BY_REFERENCE | PARAM_NULL_ACCEPTED | PARAM_STRING);
}

TEST(NativeDeclaration, CapitalPointerAndStringRejectNull) {
  Signature s = parsed("ptr(PTR hMem,ADDR,INT)");
  EXPECT_EQ(s.result, 'p');
  EXPECT_EQ(s.parameters[0].flags, 0);
  EXPECT_EQ(s.parameters[1].flags, PARAM_NULL_ACCEPTED);
  Signature ansi = parsed("void(STRING s)");
  EXPECT_EQ(ansi.parameters[0].code, 's');
  EXPECT_EQ(ansi.parameters[0].flags, PARAM_STRING | PARAM_ANSI_STRING);
  Signature wide = parsed("void(STRING s)", true);
  EXPECT_EQ(wide.parameters[0].code, 'g');
  EXPECT_EQ(wide.parameters[0].flags, PARAM_STRING);
}

TEST(NativeDeclaration, EmptyReturnTypeIsVoidAndVoidParametersAreSkipped) {
  Signature s = parsed("  ( POINTER dst , pointer src, INT size )  ");
  EXPECT_EQ(s.result, 'v');
  EXPECT_EQ(s.parameters.size(), 3u);
  EXPECT_EQ(parsed("int(void)").parameters.size(), 0u);
  EXPECT_EQ(parsed("int()").parameters.size(), 0u);
  EXPECT_EQ(parsed("int( )").parameters.size(), 0u);
}

TEST(NativeDeclaration, RejectedTypesReportTheRestOfTheText) {
  EXPECT_EQ(rejected("POINTER(int)"), "POINTER(int)");
  EXPECT_EQ(rejected("STRING()"), "STRING()");
  EXPECT_EQ(rejected("int(int a, quux b)"), "quux b)");
  EXPECT_EQ(rejected("int(union u)"), "union u)");
  EXPECT_EQ(rejected("int({int a})"), "{int a})");
  EXPECT_EQ(rejected("int(vex)"), "vex)");
  EXPECT_EQ(rejected("int(int, )"), ")");
  rejected("int");
  rejected("int(int");
  rejected("");
  rejected("(");
}

TEST(NativeConvention, FlagsFromTheConventionString) {
  EXPECT_EQ(convention_flags(nullptr), CONV_STDCALL);
  EXPECT_EQ(convention_flags("s"), CONV_STDCALL);
  EXPECT_EQ(convention_flags("c"), CONV_CDECL);
  EXPECT_EQ(convention_flags("cdecl,unicode"), CONV_CDECL | CONV_UNICODE);
  EXPECT_EQ(convention_flags("thiscall"), 0x402);
  EXPECT_EQ(convention_flags("fastcall"), 0x802);
  EXPECT_EQ(convention_flags("fastcall,bo"), 0xC20 | CONV_BO);
  EXPECT_EQ(convention_flags("fastcall regparm(1)"), 0x400);
  EXPECT_EQ(convention_flags("cdecl regparm(2)"), CONV_CDECL | 0x800);
  EXPECT_EQ(convention_flags(""), 0);
}

}  // namespace
}  // namespace quevro::test
