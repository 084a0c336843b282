#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compiler/chunk_entry.h"
#include "vm_support.h"
#include "vm/cdata.h"

namespace quevro::test {
namespace {

using ApiTest = VmTest;

// ---- stack indices ----

TEST_F(ApiTest, PositiveIndicesCountFromTheWindowAndAbsentAboveTop) {
  push_number(L, 10);
  push_number(L, 20);
  push_number(L, 30);
  EXPECT_EQ(get_top(L), 3);
  EXPECT_EQ(to_number(L, 1), 10);
  EXPECT_EQ(to_number(L, 3), 30);
  EXPECT_EQ(type_of(L, 4), TYPE_NONE);
  EXPECT_STREQ(type_name(L, 4), "no value");
  EXPECT_TRUE(is_absent(stack_address(L, 4)));
  EXPECT_EQ(to_number(L, -1), 30);
  EXPECT_EQ(to_number(L, -3), 10);
  EXPECT_EQ(type_of(L, -4), TYPE_NONE);  // below the window
  EXPECT_EQ(type_of(L, 0), TYPE_NONE);
}

TEST_F(ApiTest, NullOnStackIsNullNotNoValue) {
  push_null(L);
  EXPECT_EQ(type_of(L, 1), static_cast<int>(TAG_NULL));
  EXPECT_STREQ(type_name(L, 1), "null");
  EXPECT_STREQ(type_name(L, 2), "no value");
}

TEST_F(ApiTest, PseudoIndicesAtBaseLevel) {
  EXPECT_EQ(stack_address(L, REGISTRY_INDEX), &G(L)->registry);
  EXPECT_EQ(type_of(L, REGISTRY_INDEX), static_cast<int>(TAG_TABLE));
  EXPECT_EQ(stack_address(L, GLOBALS_INDEX)->table(), globals());
  // The environment at base level is the global table.
  EXPECT_EQ(stack_address(L, ENVIRON_INDEX)->table(), globals());
  EXPECT_TRUE(is_absent(stack_address(L, upvalue_index(1))));
}

struct UpvalueProbe {
  std::string kinds[4];
  double first;
  TableObject* env;
  int top;
};
UpvalueProbe probe;

int probe_upvalues(VmState* L) {
  for (int n = 1; n <= 3; ++n) probe.kinds[n] = type_name(L, upvalue_index(n));
  probe.first = to_number(L, upvalue_index(1));
  probe.env = stack_address(L, ENVIRON_INDEX)->table();
  probe.top = get_top(L);
  // Writing through an upvalue index changes the function's upvalue.
  push_number(L, 77);
  replace(L, upvalue_index(1));
  return 0;
}

TEST_F(ApiTest, UpvaluePseudoIndicesOfRunningNative) {
  push_number(L, 5);
  push_string(L, "two");
  push_closure(L, probe_upvalues, 2);
  EXPECT_EQ(get_top(L), 1);  // the upvalues were popped
  Value fn = L->top[-1];
  push_null(L);  // owner
  push_number(L, 1);
  call(L, 2, 0);
  EXPECT_EQ(probe.kinds[1], "number");
  EXPECT_EQ(probe.kinds[2], "string");
  EXPECT_EQ(probe.kinds[3], "no value");  // -10002 - 3 with two upvalues
  EXPECT_EQ(probe.first, 5);
  EXPECT_EQ(probe.top, 2);  // owner and one argument
  EXPECT_EQ(probe.env, globals());
  EXPECT_EQ(fn.closure()->native_upvalues()[0].number(), 77);
}

int replace_environment(VmState* L) {
  // Slot 2 holds the new environment table.
  push_value(L, 2);
  replace(L, ENVIRON_INDEX);
  return 0;
}

TEST_F(ApiTest, WritingTheEnvironmentIndexReplacesTheFunctionsEnvironment) {
  push_function(L, replace_environment);
  Value fn = L->top[-1];
  TableObject* env = new_tab();
  push_null(L);
  push(L, make_object(env));
  call(L, 2, 0);
  EXPECT_EQ(fn.closure()->env, env);
}

TEST_F(ApiTest, SetTopGrowsWithNullsAndShrinks) {
  push_number(L, 1);
  set_top(L, 4);
  EXPECT_EQ(get_top(L), 4);
  EXPECT_EQ(type_of(L, 4), static_cast<int>(TAG_NULL));
  EXPECT_EQ(to_number(L, 1), 1);
  set_top(L, -3);  // drop two
  EXPECT_EQ(get_top(L), 2);
  pop(L, 2);
  EXPECT_EQ(get_top(L), 0);
}

TEST_F(ApiTest, RemoveInsertReplacePushValue) {
  for (int i = 1; i <= 4; ++i) push_number(L, i);
  remove(L, 2);  // 1 3 4
  EXPECT_EQ(get_top(L), 3);
  EXPECT_EQ(to_number(L, 2), 3);
  push_number(L, 9);
  insert(L, 1);  // 9 1 3 4
  EXPECT_EQ(to_number(L, 1), 9);
  EXPECT_EQ(to_number(L, 2), 1);
  EXPECT_EQ(to_number(L, 4), 4);
  push_number(L, 8);
  replace(L, -2);  // 9 1 3 8
  EXPECT_EQ(get_top(L), 4);
  EXPECT_EQ(to_number(L, 4), 8);
  push_value(L, 1);
  EXPECT_EQ(to_number(L, -1), 9);
  EXPECT_EQ(get_top(L), 5);
}

// ---- check_stack ----

TEST_F(ApiTest, CheckStackHonoursTheWindowLimit) {
  EXPECT_EQ(check_stack(L, 50001), 0);
  EXPECT_EQ(check_stack(L, 50000), 1);
  EXPECT_GE(L->stack_last - L->top, 50000);
  for (int i = 0; i < 10; ++i) push_number(L, i);
  EXPECT_EQ(check_stack(L, 49991), 0);
  EXPECT_EQ(check_stack(L, 49990), 1);
  // The reserved room is usable.
  for (int i = 0; i < 49990; ++i) push_number(L, i);
  EXPECT_EQ(get_top(L), 50000);
  EXPECT_EQ(to_number(L, -1), 49989);
  EXPECT_EQ(check_stack(L, 1), 0);
}

TEST_F(ApiTest, CheckStackGrowthKeepsValues) {
  push_string(L, "bottom");
  Value* before = L->stack;
  ASSERT_EQ(check_stack(L, 1000), 1);
  EXPECT_NE(L->stack, before);  // 45 slots cannot hold 1000 more
  EXPECT_EQ(std::string(to_string(L, 1)), "bottom");
  EXPECT_GE(L->stack_size, 1000);
  EXPECT_GE(L->frame->top, L->top + 1000);
}

// ---- type names ----

int noop(VmState*) { return 0; }

TEST_F(ApiTest, TypeNamesIncludingClassAndBuffer) {
  push_null(L);
  push_boolean(L, false);
  push_pointer(L, reinterpret_cast<void*>(0x10000));
  push_number(L, 1);
  push_string(L, "s");
  new_table(L, 0, 0);
  push_function(L, noop);
  push_closure(L, noop, 0, true);
  new_cdata(L, 8);
  push(L, make_object(new_fiber(L)));
  const char* expected[] = {"null", "boolean", "pointer", "number", "string", "table", "function", "class", "buffer", "fiber"};
  for (int i = 0; i < 10; ++i) EXPECT_STREQ(type_name(L, i + 1), expected[i]) << i;
  EXPECT_EQ(type_of(L, 8), static_cast<int>(TAG_FUNCTION));
  EXPECT_EQ(type_of(L, 9), static_cast<int>(TAG_CDATA));
  // A buffer with a metatable is cdata.
  new_table(L, 0, 0);
  set_metatable(L, 9);
  EXPECT_STREQ(type_name(L, 9), "cdata");
}

TEST_F(ApiTest, ClassGetsAFreshStaticTable) {
  push_closure(L, noop, 0, true);
  ClosureObject* c = L->top[-1].closure();
  EXPECT_TRUE(c->is_class);
  ASSERT_NE(c->env, nullptr);
  EXPECT_NE(c->env, globals());
  EXPECT_EQ(c->env->array_size, 0);
  EXPECT_EQ(c->env->node_count(), 16u);  // a hash part for 10 entries, rounded up
  // Its environment cannot be replaced.
  new_table(L, 0, 0);
  EXPECT_EQ(set_env(L, -2), 0);
  push_function(L, noop);
  new_table(L, 0, 0);
  EXPECT_EQ(set_env(L, -2), 1);
}

// ---- predicates ----

TEST_F(ApiTest, Predicates) {
  push_string(L, "0x10");
  push_string(L, "abc");
  push_number(L, 3);
  push_pointer(L, reinterpret_cast<void*>(0x20000));
  new_cdata(L, 4);
  new_table(L, 0, 0);
  EXPECT_TRUE(is_number(L, 1));
  EXPECT_FALSE(is_number(L, 2));
  EXPECT_TRUE(is_number(L, 3));
  EXPECT_TRUE(is_string(L, 3));  // numbers count as strings
  EXPECT_TRUE(is_string(L, 1));
  EXPECT_FALSE(is_string(L, 6));
  EXPECT_TRUE(is_cdata(L, 4));  // pointers count as cdata
  EXPECT_TRUE(is_cdata(L, 5));
  EXPECT_FALSE(is_cdata(L, 6));
  EXPECT_FALSE(is_number(L, 7));  // absent
}

TEST_F(ApiTest, RawEqualComparesTagAndPayload) {
  push_number(L, 0.0);
  push_number(L, -0.0);
  push_string(L, "x");
  push_string(L, "x");
  push_number(L, 1);
  push_boolean(L, true);
  new_table(L, 0, 0);
  new_table(L, 0, 0);
  EXPECT_TRUE(raw_equal(L, 1, 2));  // numbers by value
  EXPECT_TRUE(raw_equal(L, 3, 4));  // interned
  EXPECT_FALSE(raw_equal(L, 5, 6));  // no coercion
  EXPECT_FALSE(raw_equal(L, 7, 8));
  EXPECT_TRUE(raw_equal(L, 7, 7));
  EXPECT_FALSE(raw_equal(L, 1, 20));  // absent
}

TEST_F(ApiTest, ToBooleanFollowsTheFalsyRule) {
  push_null(L);
  push_boolean(L, false);
  push_number(L, 0);
  push_number(L, -0.0);
  push_number(L, NAN);
  push_string(L, "");
  push_number(L, 2);
  bool expected[] = {false, false, false, false, true, true, true};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(to_boolean(L, i + 1), expected[i]) << i;
  EXPECT_FALSE(to_boolean(L, 9));  // absent is null
}

// ---- pushes ----

TEST_F(ApiTest, PushStringPointerRule) {
  push_string(L, reinterpret_cast<const char*>(5));
  EXPECT_EQ(type_of(L, -1), static_cast<int>(TAG_POINTER));
  EXPECT_EQ(L->top[-1].u.p, reinterpret_cast<void*>(5));
  push_string(L, reinterpret_cast<const char*>(65534));
  EXPECT_EQ(type_of(L, -1), static_cast<int>(TAG_POINTER));
  push_string(L, reinterpret_cast<const char*>(~static_cast<uintptr_t>(0)));
  EXPECT_EQ(type_of(L, -1), static_cast<int>(TAG_POINTER));
  push_string(L, nullptr);
  EXPECT_EQ(type_of(L, -1), static_cast<int>(TAG_NULL));
  push_string(L, "real");
  EXPECT_EQ(type_of(L, -1), static_cast<int>(TAG_STRING));
  push_pointer(L, nullptr);
  EXPECT_EQ(type_of(L, -1), static_cast<int>(TAG_NULL));
  push_wide_as_utf8(L, reinterpret_cast<const char16_t*>(7));
  EXPECT_EQ(type_of(L, -1), static_cast<int>(TAG_POINTER));
  push_wide_as_utf8(L, nullptr);
  EXPECT_EQ(type_of(L, -1), static_cast<int>(TAG_NULL));
}

TEST_F(ApiTest, PushWideAsUtf8ConvertsAndFlags) {
  const char16_t text[] = {0x48, 0xE9, 0x20AC, 0};  // H, e-acute, euro sign
  push_wide_as_utf8(L, text);
  size_t len = 0;
  const char* s = to_lstring(L, -1, &len);
  EXPECT_EQ(std::string(s, len), "H\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(string_flags(L, -1), STR_UTF8);
}

TEST_F(ApiTest, PushStringWithFlags) {
  push_string_flags(L, "ansi", 4, STR_ANSI);
  EXPECT_EQ(string_flags(L, -1), STR_ANSI);
  const char wide_bytes[] = {'h', 0, 'i', 0};
  push_string_flags(L, wide_bytes, 4, STR_WIDE);
  EXPECT_NE(string_flags(L, -1) & STR_WIDE, 0);
  EXPECT_EQ(length_of(L, -1), 4u);
  const char16_t hi[] = {u'h', u'i'};
  push_wstring(L, hi, 2);
  EXPECT_TRUE(raw_equal(L, -1, -2));
}

TEST_F(ApiTest, SetStringFlagsRejectsWide) {
  push_string(L, "some text");
  set_string_flags(L, -1, STR_UTF8);
  EXPECT_EQ(string_flags(L, -1), STR_UTF8);
  int status = protect(L, [](VmState* s) { set_string_flags(s, -1, STR_WIDE | STR_UTF8); });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "Invalid UTF");
  pop(L, 1);
  const char16_t w[] = {u'w'};
  push_wstring(L, w, 1);
  status = protect(L, [](VmState* s) { set_string_flags(s, -1, STR_UTF8); });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "Invalid UTF");
}

TEST_F(ApiTest, PushFstringDirectives) {
  push_fstring(L, "%d|%s|%c|%%|%s", 42, "txt", 'Z', static_cast<const char*>(nullptr));
  EXPECT_EQ(top_text(L), "42|txt|Z|%|(null)");
  push_fstring(L, "a %q b %x", 1);  // unknown directives are copied literally
  EXPECT_EQ(top_text(L), "a %q b %x");
  push_fstring(L, "-%d-", -7);
  EXPECT_EQ(top_text(L), "--7-");
  int local = 0;
  push_fstring(L, "%p", static_cast<const void*>(&local));
  EXPECT_FALSE(top_text(L).empty());
  EXPECT_EQ(top_text(L).find('%'), std::string::npos);
  EXPECT_EQ(type_of(L, -1), static_cast<int>(TAG_STRING));
}

// ---- tables through the interface ----

TEST_F(ApiTest, RawGetAndSetThroughTheStack) {
  new_table(L, 0, 0);
  push_string(L, "k");
  push_number(L, 5);
  raw_set(L, 1);
  EXPECT_EQ(get_top(L), 1);
  push_number(L, 6);
  raw_set_index(L, 1, 3);
  raw_get_field(L, 1, "k");
  EXPECT_EQ(to_number(L, -1), 5);
  raw_get_index(L, 1, 3);
  EXPECT_EQ(to_number(L, -1), 6);
  push_number(L, 3.0);
  raw_get(L, 1);
  EXPECT_EQ(to_number(L, -1), 6);
  push_string(L, "missing");
  raw_get(L, 1);
  EXPECT_EQ(type_of(L, -1), static_cast<int>(TAG_NULL));
}

TEST_F(ApiTest, RawSetErrorTexts) {
  new_table(L, 0, 0);
  int status = protect(L, [](VmState* s) {
    push_null(s);
    push_number(s, 1);
    raw_set(s, 1);
  });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "table index is null");
  set_top(L, 1);
  status = protect(L, [](VmState* s) {
    push_number(s, NAN);
    push_number(s, 1);
    raw_set(s, 1);
  });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "table index is NaN");
}

TEST_F(ApiTest, NextWalksAllPairs) {
  new_table(L, 0, 0);
  for (int i = 1; i <= 3; ++i) {
    push_number(L, i * 100);
    raw_set_index(L, 1, i);
  }
  push_string(L, "name");
  push_string(L, "value");
  raw_set(L, 1);
  int count = 0;
  double sum = 0;
  push_null(L);
  while (next(L, 1)) {
    count++;
    if (type_of(L, -1) == static_cast<int>(TAG_NUMBER)) sum += to_number(L, -1);
    pop(L, 1);  // keep the key
  }
  EXPECT_EQ(count, 4);
  EXPECT_EQ(sum, 600);
  EXPECT_EQ(get_top(L), 1);  // the final call popped the key
}

TEST_F(ApiTest, AppendValuesStoresAfterTheBorder) {
  new_table(L, 0, 0);
  push_number(L, 1);
  raw_set_index(L, 1, 1);
  push_number(L, 2);
  raw_set_index(L, 1, 2);
  push_string(L, "a");
  push_string(L, "b");
  push_string(L, "c");
  int64_t last = append_values(L, 1, 2);
  EXPECT_EQ(last, 5);
  EXPECT_EQ(get_top(L), 1);  // removed from the stack
  raw_get_index(L, 1, 3);
  EXPECT_EQ(std::string(to_string(L, -1)), "a");
  raw_get_index(L, 1, 5);
  EXPECT_EQ(std::string(to_string(L, -1)), "c");
  pop(L, 2);
  EXPECT_EQ(append_values(L, 1, 2), 5);  // nothing to append
  EXPECT_EQ(length_of(L, 1), 5u);
}

TEST_F(ApiTest, RegistrySubtableIsCreatedOnceAndReused) {
  registry_subtable(L, "lib.one");
  registry_subtable(L, "lib.one");
  registry_subtable(L, "lib.two");
  EXPECT_EQ(type_of(L, 1), static_cast<int>(TAG_TABLE));
  EXPECT_TRUE(raw_equal(L, 1, 2));
  EXPECT_FALSE(raw_equal(L, 1, 3));
  raw_get_field(L, REGISTRY_INDEX, "lib.one");
  EXPECT_TRUE(raw_equal(L, 1, -1));
}

TEST_F(ApiTest, MetatablesPerObjectAndPerType) {
  new_table(L, 0, 0);  // 1: object
  new_table(L, 0, 0);  // 2: its metatable
  push_value(L, 2);
  set_metatable(L, 1);
  ASSERT_TRUE(get_metatable(L, 1));
  EXPECT_TRUE(raw_equal(L, -1, 2));
  pop(L, 1);
  // Numbers share one per-type metatable.
  push_number(L, 1);  // 3
  push_number(L, 2);  // 4
  EXPECT_FALSE(get_metatable(L, 3));
  new_table(L, 0, 0);  // 5
  push_value(L, 5);
  set_metatable(L, 3);
  ASSERT_TRUE(get_metatable(L, 4));
  EXPECT_TRUE(raw_equal(L, -1, 5));
  pop(L, 1);
  // A class counts as a function for the per-type metatable.
  push_closure(L, noop, 0, true);  // 6
  push_value(L, 2);
  set_metatable(L, 6);
  push_function(L, noop);  // 7
  ASSERT_TRUE(get_metatable(L, 7));
  EXPECT_TRUE(raw_equal(L, -1, 2));
  pop(L, 1);
  // Null removes it.
  push_null(L);
  set_metatable(L, 1);
  EXPECT_FALSE(get_metatable(L, 1));
}

TEST_F(ApiTest, CdataBuffersAndHandles) {
  auto* data = static_cast<unsigned char*>(new_cdata(L, 16));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % 8, 0u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(data[i], 0);
  EXPECT_EQ(data[16], 0);
  EXPECT_EQ(data[17], 0);
  EXPECT_EQ(to_cdata(L, 1), data);
  EXPECT_EQ(length_of(L, 1), 16u);
  EXPECT_EQ(cdata_handle(L, 1), nullptr);
  void* handle = reinterpret_cast<void*>(0xABCDEF);
  std::memcpy(data, &handle, sizeof handle);
  EXPECT_EQ(cdata_handle(L, 1), handle);
  std::memcpy(data, "bytes", 5);
  size_t len = 0;
  const char* s = to_lstring(L, 1, &len);
  EXPECT_EQ(len, 16u);
  EXPECT_EQ(std::memcmp(s, "bytes", 5), 0);
  // With a metatable it is no longer a byte string.
  new_table(L, 0, 0);
  set_metatable(L, 1);
  EXPECT_EQ(to_lstring(L, 1, &len), nullptr);
  get_env(L, 1);
  EXPECT_EQ(stack_address(L, -1)->table(), globals());
}

TEST_F(ApiTest, ConcatOfTopValues) {
  concat(L, 0);
  EXPECT_EQ(top_text(L), "");
  pop(L, 1);
  push_number(L, 7);
  concat(L, 1);
  EXPECT_EQ(type_of(L, -1), static_cast<int>(TAG_NUMBER));  // a single value is left alone
  pop(L, 1);
  push_string(L, "a");
  push_number(L, 1.5);
  push_string(L, "-");
  push_number(L, 100000000000000.0);
  concat(L, 4);
  EXPECT_EQ(get_top(L), 1);
  EXPECT_EQ(top_text(L), "a1.5-1e+14");
}

TEST_F(ApiTest, ConcatWideWithWideStaysWideOtherwiseNarrow) {
  const char16_t ab[] = {u'a', u'b'};
  const char16_t c[] = {u'c'};
  push_wstring(L, ab, 2);
  push_wstring(L, c, 1);
  concat(L, 2);
  EXPECT_NE(string_flags(L, -1) & STR_WIDE, 0);
  EXPECT_EQ(length_of(L, -1), 6u);
  const char16_t abc[] = {u'a', u'b', u'c'};
  push_wstring(L, abc, 3);
  EXPECT_TRUE(raw_equal(L, -1, -2));
  pop(L, 2);
  push_wstring(L, ab, 2);
  push_string(L, "x");
  concat(L, 2);
  EXPECT_EQ(string_flags(L, -1) & STR_WIDE, 0);
  size_t len = 0;
  const char* s = to_lstring(L, -1, &len);
  EXPECT_EQ(std::string(s, len), std::string("a\0b\0x", 5));
}

TEST_F(ApiTest, ConcatOfNonStringRaises) {
  int status = protect(L, [](VmState* s) {
    push_string(s, "a");
    new_table(s, 0, 0);
    concat(s, 2);
  });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "\n{Attempt to}:concatenate\n{Type}:table");
}

TEST_F(ApiTest, CloseStateFreesEveryByte) {
  // Build a little of everything, then check the byte accounting of a second state at close.
  size_t baseline = G(L)->total_bytes;
  VmState* other = open_state();
  ASSERT_NE(other, nullptr);
  size_t fresh = G(other)->total_bytes;
  EXPECT_GT(fresh, 0u);
  new_table(other, 10, 10);
  push_string(other, "text");
  new_cdata(other, 100);
  push(other, make_object(new_fiber(other)));
  EXPECT_GT(G(other)->total_bytes, fresh);
  close_state(other);
  EXPECT_EQ(G(L)->total_bytes, baseline);
}

struct CountingAllocator {
  size_t live = 0;
  size_t blocks = 0;
  static void* alloc(void* ud, void* block, size_t old_size, size_t new_size) {
    auto* self = static_cast<CountingAllocator*>(ud);
    if (new_size == 0) {
      if (block) {
        self->live -= old_size;
        self->blocks--;
      }
      std::free(block);
      return nullptr;
    }
    void* p = std::realloc(block, new_size);
    if (p) {
      if (!block) self->blocks++;
      self->live += new_size - (block ? old_size : 0);
    }
    return p;
  }
};

TEST_F(ApiTest, AllocationFunctionSeesEveryBlockFreedAtClose) {
  CountingAllocator counter;
  VmState* s = open_state(CountingAllocator::alloc, &counter);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(G(s)->total_bytes, counter.live);
  new_table(s, 100, 100);
  for (int i = 0; i < 200; ++i) push_fstring(s, "s%d", i), pop(s, 1);
  check_stack(s, 2000);
  EXPECT_EQ(G(s)->total_bytes, counter.live);
  close_state(s);
  EXPECT_EQ(counter.live, 0u);
  EXPECT_EQ(counter.blocks, 0u);
}

// ---- sequences, raw table handles, fields and metatables ----

TEST_F(ApiTest, NewArrayIsFlaggedAndHasItsArrayPart) {
  new_array(L, 5);
  new_table(L, 5, 0);
  push_number(L, 1);
  EXPECT_TRUE(is_array(L, 1));
  EXPECT_FALSE(is_array(L, 2));
  EXPECT_FALSE(is_array(L, 3));
  EXPECT_FALSE(is_array(L, 4));  // no value
  EXPECT_EQ(stack_address(L, 1)->table()->array_size, 5);
  EXPECT_EQ(length_of(L, 1), 0u);
}

TEST_F(ApiTest, NewTableLikeTakesTheShapeButNoContents) {
  new_array(L, 0);  // 1: a sequence whose array part grows as it fills
  for (int i = 1; i <= 6; ++i) {
    push_number(L, i);
    raw_set_index(L, 1, i);
  }
  new_table(L, 3, 4);    // 2: a plain table
  new_table_like(L, 1);  // 3
  new_table_like(L, 2);  // 4
  int model_size = stack_address(L, 1)->table()->array_size;
  EXPECT_GE(model_size, 6);
  EXPECT_EQ(stack_address(L, 3)->table()->array_size, model_size);
  EXPECT_TRUE(is_array(L, 3));
  EXPECT_EQ(stack_address(L, 4)->table()->array_size, 3);
  EXPECT_FALSE(is_array(L, 4));
  EXPECT_EQ(length_of(L, 3), 0u);
  push_null(L);
  EXPECT_FALSE(next(L, 3));
  push_string(L, "not a table");
  EXPECT_EQ(protect(L, [](VmState* s) { new_table_like(s, -1); }), STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "\n{Attempt to}:index\n{Type}:string");
}

int set_handler_calls = 0;
int count_set_handler_calls(VmState*) {
  ++set_handler_calls;
  return 0;
}

TEST_F(ApiTest, RawSetFieldStoresWithoutMetamethodsAndPops) {
  new_table(L, 0, 0);  // 1
  new_table(L, 0, 0);  // 2: its metatable, with a `_set` handler
  push_function(L, count_set_handler_calls);
  raw_set_field(L, 2, "_set");
  push_value(L, 2);
  set_metatable(L, 1);
  set_handler_calls = 0;
  push_string(L, "raw");
  raw_set_field(L, 1, "k");
  EXPECT_EQ(get_top(L), 2);
  EXPECT_EQ(set_handler_calls, 0);
  raw_get_field(L, 1, "k");
  EXPECT_EQ(top_text(L), "raw");
  pop(L, 1);
  // The same store through the full path reaches the handler.
  push_string(L, "full");
  quevro::set_field(L, 1, "other");
  EXPECT_EQ(set_handler_calls, 1);
  // The pseudo-index of the globals works as a target.
  push_number(L, 12);
  raw_set_field(L, GLOBALS_INDEX, "from_api");
  EXPECT_EQ(field(globals(), "from_api").number(), 12);
}

TEST_F(ApiTest, GetMetafieldReadsTheMetatableRaw) {
  new_table(L, 0, 0);  // 1
  EXPECT_FALSE(get_metafield(L, 1, "_type"));  // no metatable
  EXPECT_EQ(get_top(L), 1);
  new_table(L, 0, 0);  // 2
  push_string(L, "Point");
  raw_set_field(L, 2, "_type");
  push_value(L, 2);
  set_metatable(L, 1);
  ASSERT_TRUE(get_metafield(L, 1, "_type"));
  EXPECT_EQ(get_top(L), 3);
  EXPECT_EQ(top_text(L), "Point");
  pop(L, 1);
  EXPECT_FALSE(get_metafield(L, 1, "_missing"));
  EXPECT_EQ(get_top(L), 2);
  // Other values consult the metatable of their type.
  push_string(L, "text");  // 3
  EXPECT_FALSE(get_metafield(L, 3, "_type"));
  push_value(L, 2);
  set_metatable(L, 3);
  ASSERT_TRUE(get_metafield(L, 3, "_type"));
  EXPECT_EQ(top_text(L), "Point");
  EXPECT_FALSE(get_metafield(L, 9, "_type"));  // no value
}

TEST_F(ApiTest, ScriptPrototypeOnlyForScriptFunctions) {
  const char code[] = "return 1;";
  ASSERT_EQ(load_buffer(L, code, sizeof code - 1, "=test"), STATUS_OK);  // 1
  push_function(L, noop);                                                // 2
  push_number(L, 3);                                                     // 3
  const Prototype* p = script_prototype(L, 1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p, stack_address(L, 1)->closure()->proto);
  EXPECT_EQ(script_prototype(L, 2), nullptr);
  EXPECT_EQ(script_prototype(L, 3), nullptr);
  EXPECT_EQ(script_prototype(L, 4), nullptr);
}

TEST_F(ApiTest, RawTableReadsAndWritesElementsInBothParts) {
  new_table(L, 4, 0);  // an array part of four
  RawTable t(L, 1);
  for (int i = 1; i <= 4; ++i) t.set(i, num(i * 10));
  t.set(7, num(70));  // beyond the array part
  EXPECT_EQ(t.length(), 4);
  EXPECT_EQ(t.get(2).number(), 20);
  EXPECT_EQ(t.get(7).number(), 70);
  EXPECT_TRUE(t.get(5).is_null());
  EXPECT_TRUE(t.get(0).is_null());
  raw_get_index(L, 1, 7);
  EXPECT_EQ(to_number(L, -1), 70);
  pop(L, 1);
  t.set(5, num(50));
  EXPECT_EQ(t.length(), 5);
  EXPECT_EQ(static_cast<int64_t>(length_of(L, 1)), t.length());
  push_number(L, 1);
  EXPECT_EQ(protect(L, [](VmState* s) { RawTable(s, -1); }), STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "\n{Attempt to}:index\n{Type}:number");
}

TEST_F(ApiTest, RawTableStoringNullUnderAMissingKeyCreatesNothing) {
  new_table(L, 2, 0);
  RawTable t(L, 1);
  TableObject* raw = stack_address(L, 1)->table();
  t.set(9, make_null());
  EXPECT_FALSE(has_hash_part(raw));
  t.set(9, str("nine"));
  EXPECT_TRUE(has_hash_part(raw));
  t.set(9, make_null());  // an existing key is cleared
  EXPECT_TRUE(t.get(9).is_null());
  t.set(1, str("one"));
  t.set(1, make_null());
  EXPECT_TRUE(t.get(1).is_null());
  push_null(L);
  EXPECT_FALSE(next(L, 1));
}

TEST_F(ApiTest, RawTableSwapsInsideAndAcrossParts) {
  new_table(L, 3, 0);
  RawTable t(L, 1);
  t.set(1, str("a"));
  t.set(2, str("b"));
  t.set(3, str("c"));
  t.swap(1, 3);
  EXPECT_EQ(text_of(t.get(1)), "c");
  EXPECT_EQ(text_of(t.get(3)), "a");
  t.set(10, str("far"));
  t.swap(2, 10);
  EXPECT_EQ(text_of(t.get(2)), "far");
  EXPECT_EQ(text_of(t.get(10)), "b");
  t.swap(2, 11);  // with a missing element: the value moves and a null is left behind
  EXPECT_TRUE(t.get(2).is_null());
  EXPECT_EQ(text_of(t.get(11)), "far");
}

TEST_F(ApiTest, RawTableWalksPairsAndStoresAnyKey) {
  new_table(L, 0, 0);
  RawTable t(L, 1);
  t.store(str("name"), num(5));
  t.store(num(1), num(10));
  t.store(make_boolean(1), num(20));
  t.store(num(1.5), num(30));
  int count = 0;
  double sum = 0;
  Value kv[2];
  kv[0] = make_null();
  while (t.next(kv)) {
    ++count;
    sum += kv[1].number();
  }
  EXPECT_EQ(count, 4);
  EXPECT_EQ(sum, 65);
  raw_get_field(L, 1, "name");
  EXPECT_EQ(to_number(L, -1), 5);
  EXPECT_EQ(protect(L, [](VmState* s) { RawTable(s, 1).store(make_null(), make_number(1)); }), STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "table index is null");
  EXPECT_EQ(protect(L, [](VmState* s) { RawTable(s, 1).store(make_number(NAN), make_number(1)); }), STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "table index is NaN");
}

// Stores through the interface into a table the collector has already marked black, with a value
// created after that: the store's barrier must keep the value alive through the cycle.
class ApiBarrierTest : public ApiTest {
 protected:
  // Steps the collector, one object at a time, until the table in slot 1 is black while the
  // marking still goes on.
  bool mark_table_black() {
    const TableObject* t = stack_address(L, 1)->table();
    gc_control(L, GC_SETSTEPMUL, 1);
    for (int i = 0; i < 100000; ++i) {
      if (G(L)->gc_phase == PHASE_PROPAGATE && is_black(t)) return true;
      collector_step(L);
    }
    return false;
  }

  void finish_cycle() {
    for (int i = 0; i < 1000000 && G(L)->gc_phase == PHASE_PROPAGATE; ++i) collector_step(L);
    for (int i = 0; i < 1000000 && G(L)->gc_phase != PHASE_PAUSE; ++i) collector_step(L);
  }

  // A string the sweep freed has left the string table; only the address is compared.
  bool still_interned(const StringObject* s, const std::string& text) {
    const StringTable& strings = G(L)->strings;
    for (GcObject* o = strings.buckets[hash_bytes(text.data(), text.size()) & (strings.size - 1)]; o; o = o->next)
      if (o == reinterpret_cast<const GcObject*>(s)) return true;
    return false;
  }
};

TEST_F(ApiBarrierTest, ElementStoredIntoTheArrayPartSurvives) {
  new_table(L, 4, 0);
  ASSERT_TRUE(mark_table_black());
  const std::string text = "made after the table was marked (array part)";
  Value v = str(text);  // referenced from nowhere else: not even from the stack
  RawTable(L, 1).set(2, v);
  finish_cycle();
  ASSERT_EQ(G(L)->gc_phase, PHASE_PAUSE);
  ASSERT_TRUE(still_interned(v.string(), text));
  EXPECT_EQ(text_of(RawTable(L, 1).get(2)), text);
}

TEST_F(ApiBarrierTest, ElementStoredBeyondTheArrayPartSurvives) {
  new_table(L, 4, 0);
  ASSERT_TRUE(mark_table_black());
  const std::string text = "made after the table was marked (hash part)";
  Value v = str(text);
  RawTable(L, 1).set(40, v);
  finish_cycle();
  ASSERT_EQ(G(L)->gc_phase, PHASE_PAUSE);
  ASSERT_TRUE(still_interned(v.string(), text));
  EXPECT_EQ(text_of(RawTable(L, 1).get(40)), text);
}

TEST_F(ApiBarrierTest, PairStoredUnderANewKeySurvives) {
  new_table(L, 0, 4);
  ASSERT_TRUE(mark_table_black());
  const std::string key_text = "a key made after marking", value_text = "a value made after marking";
  Value key = str(key_text), v = str(value_text);
  RawTable(L, 1).store(key, v);
  finish_cycle();
  ASSERT_EQ(G(L)->gc_phase, PHASE_PAUSE);
  ASSERT_TRUE(still_interned(key.string(), key_text));
  ASSERT_TRUE(still_interned(v.string(), value_text));
  raw_get_field(L, 1, key_text.c_str());
  EXPECT_EQ(top_text(L), value_text);
}

TEST_F(ApiBarrierTest, FieldSetFromTheStackSurvives) {
  new_table(L, 0, 4);
  ASSERT_TRUE(mark_table_black());
  const std::string text = "a field value made after marking";
  Value v = str(text);
  push(L, v);
  raw_set_field(L, 1, "late");
  // Leave no copy in the stack slot just above the top either.
  push_null(L);
  pop(L, 1);
  finish_cycle();
  ASSERT_EQ(G(L)->gc_phase, PHASE_PAUSE);
  ASSERT_TRUE(still_interned(v.string(), text));
  raw_get_field(L, 1, "late");
  EXPECT_EQ(top_text(L), text);
}

}  // namespace
}  // namespace quevro::test
