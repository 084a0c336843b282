#include <cmath>
#include <map>
#include <set>
#include <string>

#include "vm_support.h"

namespace quevro::test {
namespace {

using TableTest = VmTest;

int hash_nodes(TableObject* t) { return has_hash_part(t) ? static_cast<int>(t->node_count()) : 0; }

TEST_F(TableTest, NewTableSizes) {
  TableObject* t = new_tab(0, 0);
  EXPECT_EQ(t->array_size, 0);
  EXPECT_FALSE(has_hash_part(t));
  EXPECT_EQ(t->array_flag, 0u);
  EXPECT_EQ(t->absent_events, 0xFF);

  TableObject* u = new_tab(3, 5);  // hash part rounded up to a power of two
  EXPECT_EQ(u->array_size, 3);
  EXPECT_EQ(hash_nodes(u), 8);
  EXPECT_TRUE(at(u, 1).is_null());

  TableObject* seq = new_tab(2, -1);  // negative hint: no hash part, sequence flag
  EXPECT_EQ(seq->array_flag, 1u);
  EXPECT_FALSE(has_hash_part(seq));
  EXPECT_EQ(hash_nodes(new_tab(0, 1)), 1);
  EXPECT_EQ(hash_nodes(new_tab(0, 16)), 16);
  EXPECT_EQ(hash_nodes(new_tab(0, 17)), 32);
}

TEST_F(TableTest, KeysOneToTenGiveArrayPartOfSixteen) {
  TableObject* t = new_tab();
  for (int k = 1; k <= 10; ++k) set_at(t, k, num(k * 10));
  EXPECT_EQ(t->array_size, 16);
  EXPECT_FALSE(has_hash_part(t));
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(at(t, k).number(), k * 10);
  EXPECT_TRUE(at(t, 11).is_null());
  EXPECT_EQ(table_border(t), 10u);
}

TEST_F(TableTest, KeysOneAndHundredLeaveHundredInHashPart) {
  TableObject* t = new_tab();
  set_at(t, 1, num(1));
  set_at(t, 100, num(2));
  EXPECT_EQ(t->array_size, 1);
  EXPECT_EQ(hash_nodes(t), 1);
  EXPECT_EQ(t->nodes[0].key_tag(), TAG_NUMBER);
  EXPECT_EQ(t->nodes[0].key.u.n, 100.0);
  EXPECT_EQ(at(t, 100).number(), 2);
  EXPECT_EQ(table_border(t), 1u);
}

TEST_F(TableTest, RehashMovesDenseIntegerKeysFromHashToArray) {
  // Keys inserted backwards start in the hash part; the rehash census moves them to the array.
  TableObject* t = new_tab();
  for (int k = 8; k >= 1; --k) set_at(t, k, num(k));
  EXPECT_EQ(t->array_size, 8);
  EXPECT_FALSE(has_hash_part(t));
  for (int k = 1; k <= 8; ++k) EXPECT_EQ(at(t, k).number(), k);
}

TEST_F(TableTest, MixedKeysSplitBetweenParts) {
  TableObject* t = new_tab();
  for (int k = 1; k <= 4; ++k) set_at(t, k, num(k));
  set_field(t, "a", num(100));
  set_field(t, "b", num(200));
  set_at(t, 1000, num(300));
  EXPECT_EQ(t->array_size, 4);
  EXPECT_EQ(hash_nodes(t), 4);  // three hash keys round up to four nodes
  EXPECT_EQ(field(t, "a").number(), 100);
  EXPECT_EQ(field(t, "b").number(), 200);
  EXPECT_EQ(at(t, 1000).number(), 300);
}

TEST_F(TableTest, IntegralFloatAndIntegerKeysShareOneSlot) {
  TableObject* t = new_tab();
  *table_set_slot(L, t, num(1.0)) = str("first");
  EXPECT_EQ(text_of(at(t, 1)), "first");
  set_at(t, 1, str("second"));
  EXPECT_EQ(text_of(*table_get(t, num(1.0))), "second");
  // Also in the hash part.
  *table_set_slot(L, t, num(1e6)) = str("big");
  EXPECT_EQ(text_of(at(t, 1000000)), "big");
  EXPECT_EQ(text_of(*table_get_number_key(t, 1e6)), "big");
  // A fractional key is its own key.
  *table_set_slot(L, t, num(1.5)) = str("frac");
  EXPECT_EQ(text_of(*table_get(t, num(1.5))), "frac");
  EXPECT_EQ(text_of(at(t, 1)), "second");
}

TEST_F(TableTest, NegativeZeroAndZeroAreOneKey) {
  TableObject* t = new_tab(0, 4);
  *table_set_slot(L, t, num(-0.0)) = str("zero");
  EXPECT_EQ(text_of(*table_get(t, num(0.0))), "zero");
  *table_set_slot(L, t, num(0.0)) = str("again");
  EXPECT_EQ(text_of(*table_get(t, num(-0.0))), "again");
  // Only one entry exists.
  int entries = 0;
  for (uint32_t i = 0; i < t->node_count(); ++i)
    if (!t->nodes[i].val.is_null()) entries++;
  EXPECT_EQ(entries, 1);
  // -1 + 1 == 0 takes the special position too and stays a distinct key.
  *table_set_slot(L, t, num(-1.0)) = str("minus one");
  EXPECT_EQ(text_of(*table_get(t, num(-1.0))), "minus one");
  EXPECT_EQ(text_of(*table_get(t, num(0.0))), "again");
}

TEST_F(TableTest, KeysOfEveryKindRoundTrip) {
  TableObject* t = new_tab();
  TableObject* other = new_tab();
  Value keys[] = {make_boolean(1), make_boolean(0), make_pointer(reinterpret_cast<void*>(0x1234)), num(-7.25),
                  num(1e300), str("s"), make_object(other), num(-3), num(0), num(4294967296.0)};
  int i = 0;
  for (const Value& k : keys) *table_set_slot(L, t, k) = num(i++);
  i = 0;
  for (const Value& k : keys) EXPECT_EQ(table_get(t, k)->number(), i++) << "key " << i;
}

TEST_F(TableTest, NullAndNanKeysReadAsAbsentButCannotBeStored) {
  TableObject* t = new_tab();
  EXPECT_TRUE(table_get(t, make_null())->is_null());
  EXPECT_TRUE(table_get(t, num(NAN))->is_null());
  int status = protect(L, [&](VmState* s) { table_set_slot(s, t, make_null()); });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "table index is null");
  status = protect(L, [&](VmState* s) { table_set_slot(s, t, make_number(NAN)); });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "table index is NaN");
  // NaN as a value is fine.
  set_field(t, "nan", num(NAN));
  EXPECT_TRUE(std::isnan(field(t, "nan").number()));
}

TEST_F(TableTest, ManyCollidingKeysStayReachable) {
  // Keys with the same main position force relinking of chains and of displaced occupants.
  TableObject* t = new_tab();
  std::map<double, int> expected;
  for (int i = 0; i < 300; ++i) {
    double key = (i % 3 == 0) ? i * 1024.0 + 0.5 : -(i * 7.0);
    *table_set_slot(L, t, num(key)) = num(i);
    expected[key] = i;
  }
  for (int i = 0; i < 100; ++i) {
    std::string s = "k" + std::to_string(i);
    set_field(t, s.c_str(), num(1000 + i));
  }
  for (auto& [key, value] : expected) EXPECT_EQ(table_get(t, num(key))->number(), value) << key;
  for (int i = 0; i < 100; ++i) {
    std::string s = "k" + std::to_string(i);
    EXPECT_EQ(field(t, s.c_str()).number(), 1000 + i);
  }
}

TEST_F(TableTest, InsertionIntoOccupiedMainPositionRelinksOccupant) {
  // A hash part of 4 nodes: keys are placed by hand into colliding positions and must all stay
  // findable, including after the displaced-occupant move.
  TableObject* t = new_tab(0, 4);
  std::vector<Value> keys;
  for (int i = 0; i < 4; ++i) keys.push_back(str("key" + std::to_string(i)));
  for (size_t i = 0; i < keys.size(); ++i) *table_set_slot(L, t, keys[i]) = num(static_cast<double>(i));
  EXPECT_EQ(hash_nodes(t), 4);  // four keys fit in four nodes without a rehash
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(table_get(t, keys[i])->number(), static_cast<double>(i));
  // The fifth key needs a rehash.
  *table_set_slot(L, t, str("key4")) = num(4);
  EXPECT_EQ(hash_nodes(t), 8);
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(table_get(t, keys[i])->number(), static_cast<double>(i));
  EXPECT_EQ(field(t, "key4").number(), 4);
}

TEST_F(TableTest, SettingClearsTheAbsenceCache) {
  TableObject* t = new_tab();
  EXPECT_EQ(t->absent_events, 0xFF);
  set_field(t, "x", num(1));
  EXPECT_EQ(t->absent_events, 0);
  t->absent_events = 0x3F;
  set_field(t, "x", num(2));  // an overwrite too
  EXPECT_EQ(t->absent_events, 0);
  t->absent_events = 0x3F;
  set_at(t, 1, num(3));
  EXPECT_EQ(t->absent_events, 0);
}

// ---- border ----

TEST_F(TableTest, BorderOfArrayWithNullHoleAtThirdOfFour) {
  TableObject* t = new_tab(4, 0);
  set_at(t, 1, num(1));
  set_at(t, 2, num(2));
  set_at(t, 4, num(4));
  EXPECT_EQ(t->array_size, 4);
  EXPECT_EQ(table_border(t), 4u);
}

TEST_F(TableTest, BorderBinarySearchWhenLastArraySlotIsNull) {
  TableObject* t = new_tab(8, 0);
  for (int k = 1; k <= 5; ++k) set_at(t, k, num(k));
  EXPECT_EQ(table_border(t), 5u);
  TableObject* empty = new_tab(8, 0);
  EXPECT_EQ(table_border(empty), 0u);
  TableObject* one = new_tab(8, 0);
  set_at(one, 1, num(1));
  EXPECT_EQ(table_border(one), 1u);
}

TEST_F(TableTest, BorderOfKeysOneToThreeInHashPart) {
  TableObject* t = new_tab(0, 4);
  for (int k = 1; k <= 3; ++k) set_at(t, k, num(k));
  EXPECT_EQ(t->array_size, 0);  // no rehash was needed
  EXPECT_EQ(hash_nodes(t), 4);
  EXPECT_EQ(table_border(t), 3u);
}

TEST_F(TableTest, BorderUnboundSearchContinuesFromArrayIntoHash) {
  TableObject* t = new_tab(2, 16);
  set_at(t, 1, num(1));
  set_at(t, 2, num(2));
  for (int k = 3; k <= 9; ++k) set_at(t, k, num(k));
  EXPECT_EQ(t->array_size, 2);
  EXPECT_EQ(table_border(t), 9u);
  EXPECT_EQ(new_tab(0, 4)->array_size, 0);
  EXPECT_EQ(table_border(new_tab(0, 4)), 0u);
  EXPECT_EQ(table_border(new_tab(0, 0)), 0u);
}

// The bisection the length rule fixes, over the array part only (its last slot is null).
uint32_t reference_bisection(TableObject* t) {
  uint32_t lo = 0, hi = static_cast<uint32_t>(t->array_size);
  while (hi - lo > 1) {
    uint32_t m = (lo + hi) / 2;
    if (!t->array[m - 1].is_null())
      lo = m;
    else
      hi = m;
  }
  return lo;
}

TEST_F(TableTest, BorderAfterHolesIsTheBisectionsNotTheLastAnswer) {
  // 7 was the answer and is still a border after slot 4 empties, but the bisection meets the
  // hole at 4 first and ends at 3.
  TableObject* t = new_tab(8, 0);
  for (int k = 1; k <= 7; ++k) set_at(t, k, num(k));
  EXPECT_EQ(table_border(t), 7u);
  set_at(t, 4, make_null());
  EXPECT_EQ(table_border(t), 3u);
  set_at(t, 4, num(4));
  EXPECT_EQ(table_border(t), 7u);
  set_at(t, 8 - 1, make_null());
  EXPECT_EQ(table_border(t), 6u);
}

TEST_F(TableTest, BorderMatchesBisectionUnderRandomWrites) {
  // Appends, removals at the end and holes anywhere, asked after every write, over array parts
  // of power-of-two and other sizes.
  uint32_t seed = 12345;
  auto next = [&]() {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) & 0xFFFF;
  };
  for (int size : {1, 2, 3, 5, 8, 13, 64, 100, 1024}) {
    TableObject* t = new_tab(size, 0);
    int filled = 0;
    for (int step = 0; step < 3000; ++step) {
      uint32_t r = next();
      if (r % 4 != 3 && filled < size - 1) {
        ++filled;
        set_at(t, filled, num(filled));  // append
      } else if (r % 8 == 3 && filled > 0) {
        set_at(t, filled--, make_null());  // pop
      } else {
        int k = static_cast<int>(r % static_cast<uint32_t>(size - 1 > 0 ? size - 1 : 1)) + 1;
        if (k < size) set_at(t, k, (r & 0x100) ? make_null() : num(k));  // hole or refill
      }
      ASSERT_EQ(t->array_size, size);
      ASSERT_TRUE(t->array[size - 1].is_null());
      ASSERT_EQ(table_border(t), reference_bisection(t)) << "size " << size << " step " << step;
      if (r % 5 == 0) {
        ASSERT_EQ(table_border(t), reference_bisection(t));  // asked twice
      }
    }
  }
}

TEST_F(TableTest, BorderIsANonNullFollowedByNull) {
  TableObject* t = new_tab();
  for (int k = 1; k <= 40; ++k) set_at(t, k, num(k));
  set_at(t, 20, make_null());
  uint32_t b = table_border(t);
  EXPECT_TRUE(b == 19 || b == 40) << b;
  EXPECT_FALSE(at(t, b).is_null());
  EXPECT_TRUE(at(t, b + 1).is_null());
}

// ---- traversal ----

std::vector<std::pair<Value, Value>> traverse(VmState* L, TableObject* t) {
  std::vector<std::pair<Value, Value>> out;
  Value kv[2] = {make_null(), make_null()};
  while (table_next(L, t, kv)) out.emplace_back(kv[0], kv[1]);
  return out;
}

TEST_F(TableTest, TraversalVisitsArrayInOrderThenHashNodesInStorageOrder) {
  TableObject* t = new_tab(4, 4);
  set_at(t, 1, num(10));
  set_at(t, 3, num(30));  // slot 2 and 4 stay null and are skipped
  set_field(t, "x", num(1));
  set_field(t, "y", num(2));
  auto items = traverse(L, t);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[0].first.number(), 1);
  EXPECT_EQ(items[0].second.number(), 10);
  EXPECT_EQ(items[1].first.number(), 3);
  // Hash entries follow in node order.
  std::vector<std::string> names;
  for (uint32_t i = 0; i < t->node_count(); ++i)
    if (!t->nodes[i].val.is_null()) names.push_back(text_of(t->nodes[i].key_value()));
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(text_of(items[2].first), names[0]);
  EXPECT_EQ(text_of(items[3].first), names[1]);
}

TEST_F(TableTest, RemovingCurrentKeyDuringTraversalWorks) {
  TableObject* t = new_tab();
  for (int i = 1; i <= 20; ++i) set_at(t, i, num(i));
  for (int i = 0; i < 30; ++i) set_field(t, ("f" + std::to_string(i)).c_str(), num(i));
  int seen = 0;
  Value kv[2] = {make_null(), make_null()};
  while (table_next(L, t, kv)) {
    seen++;
    *table_set_slot(L, t, kv[0]) = make_null();  // remove the current key, then continue from it
  }
  EXPECT_EQ(seen, 50);
  EXPECT_TRUE(traverse(L, t).empty());
}

TEST_F(TableTest, NextWithUnknownKeyRaises) {
  TableObject* t = new_tab();
  set_field(t, "a", num(1));
  set_at(t, 1, num(1));
  int status = protect(L, [&](VmState* s) {
    Value kv[2] = {make_string(intern_string(s, "never-there")), make_null()};
    table_next(s, t, kv);
  });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "invalid key to 'next'");
  // An integer beyond the array part that is not in the hash part is unknown too.
  status = protect(L, [&](VmState* s) {
    Value kv[2] = {make_number(77), make_null()};
    table_next(s, t, kv);
  });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "invalid key to 'next'");
  // On a table with no hash part at all as well.
  TableObject* bare = new_tab();
  status = protect(L, [&](VmState* s) {
    Value kv[2] = {make_boolean(1), make_null()};
    table_next(s, bare, kv);
  });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "invalid key to 'next'");
}

TEST_F(TableTest, TraversalOfEmptyTableEndsAtOnce) {
  EXPECT_TRUE(traverse(L, new_tab()).empty());
  EXPECT_TRUE(traverse(L, new_tab(8, 8)).empty());
}

TEST_F(TableTest, ResizeArrayKeepsEveryEntry) {
  TableObject* t = new_tab();
  for (int k = 1; k <= 8; ++k) set_at(t, k, num(k));
  set_field(t, "s", num(99));
  table_resize_array(L, t, 100);
  EXPECT_EQ(t->array_size, 100);
  for (int k = 1; k <= 8; ++k) EXPECT_EQ(at(t, k).number(), k);
  EXPECT_EQ(field(t, "s").number(), 99);
  // Shrinking moves the upper slots into the hash part.
  table_resize(L, t, 4, 8);
  EXPECT_EQ(t->array_size, 4);
  for (int k = 1; k <= 8; ++k) EXPECT_EQ(at(t, k).number(), k);
  EXPECT_EQ(field(t, "s").number(), 99);
}

// A small table keeps its array part in its own record; growing past that room moves the values
// to a separate block and shrinking back keeps using the record. The allocation total must follow
// the table's memory size through all of it, or the collector's pacing drifts.
TEST_F(TableTest, SmallArrayPartLivesInTheRecordUntilOutgrown) {
  size_t before = G(L)->total_bytes;
  TableObject* t = new_tab(1, 0);
  const Value* record_room = reinterpret_cast<const Value*>(t + 1);
  EXPECT_EQ(t->array, record_room);
  EXPECT_EQ(G(L)->total_bytes - before, table_memory(t));
  set_at(t, 1, num(10));
  set_at(t, 2, num(20));  // the one-item part has room for a second
  EXPECT_EQ(t->array, record_room);
  EXPECT_EQ(G(L)->total_bytes - before, table_memory(t));

  for (int k = 3; k <= 9; ++k) set_at(t, k, num(k * 10));
  EXPECT_NE(t->array, record_room);
  EXPECT_EQ(t->array_size, 16);
  for (int k = 1; k <= 9; ++k) EXPECT_EQ(at(t, k).number(), k * 10);
  EXPECT_EQ(G(L)->total_bytes - before, table_memory(t));

  table_resize(L, t, 0, 16);  // everything into the hash part
  EXPECT_EQ(t->array_size, 0);
  for (int k = 1; k <= 9; ++k) EXPECT_EQ(at(t, k).number(), k * 10);
  EXPECT_EQ(G(L)->total_bytes - before, table_memory(t));
}

TEST_F(TableTest, InlineArrayShrinksAndRegrowsInPlace) {
  size_t before = G(L)->total_bytes;
  TableObject* t = new_tab(3, 0);
  const Value* record_room = t->array;
  for (int k = 1; k <= 3; ++k) set_at(t, k, num(k));
  table_resize(L, t, 0, 4);
  EXPECT_EQ(t->array_size, 0);
  EXPECT_EQ(at(t, 3).number(), 3);
  table_resize(L, t, 3, 0);
  EXPECT_EQ(t->array, record_room);
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(at(t, k).number(), k);
  EXPECT_FALSE(has_hash_part(t));
  EXPECT_EQ(G(L)->total_bytes - before, table_memory(t));
}

TEST_F(TableTest, FreeingTablesOfEveryShapeReturnsTheirBytes) {
  size_t before = G(L)->total_bytes;
  {
    TableObject* a = new_tab(2, 0);
    TableObject* b = new_tab(40, 3);
    TableObject* c = new_tab(3, -1);
    for (int k = 1; k <= 20; ++k) set_at(a, k, num(k));  // outgrows its record room
    set_field(c, "x", num(1));
    (void)b;
  }
  gc_control(L, GC_COLLECT, 0);
  EXPECT_EQ(G(L)->total_bytes, before);
}

TEST_F(TableTest, ArrayVectorTooLargeRaisesBlockTooBig) {
  TableObject* t = new_tab();
  int status = protect(L, [&](VmState* s) { table_resize_array(s, t, 0x0FFFFFFF); });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "memory allocation error: block too big");
}

TEST_F(TableTest, HashPartBeyondTwoToTheTwentySixRaisesTableOverflow) {
  TableObject* t = new_tab();
  int status = protect(L, [&](VmState* s) { table_resize(s, t, 0, (1 << 26) + 1); });
  EXPECT_EQ(status, STATUS_RUNTIME);
  EXPECT_EQ(top_text(L), "table overflow");
}

TEST_F(TableTest, KeysAndChainsSurviveStoresCollectionAndReuseInALargePart) {
  // A node keeps its key's tag and chain link beside the value; storing values of every kind,
  // clearing them, collecting the dead keys and inserting again must never disturb a key or a
  // chain, also where chains link nodes hundreds of thousands of nodes apart.
  TableObject* t = new_tab();
  set_global("big", make_object(t));
  gc_control(L, GC_RESTART, 0);
  constexpr int COUNT = 150000;
  auto key_of = [&](int i) -> Value {
    switch (i % 4) {
      case 0: return str("s" + std::to_string(i));
      case 1: return num(i + 0.25);
      case 2: return num(-static_cast<double>(i));
      default: return str("t" + std::to_string(i));
    }
  };
  for (int i = 0; i < COUNT; ++i) *table_set_slot(L, t, key_of(i)) = num(i);
  *table_set_slot(L, t, make_boolean(1)) = num(-1);
  EXPECT_GE(hash_nodes(t), 1 << 17);
  // Values of every kind, stored over the existing ones.
  Value other = tab();
  for (int i = 0; i < COUNT; ++i) {
    Value* slot = const_cast<Value*>(table_get(t, key_of(i)));
    ASSERT_FALSE(slot->is_null()) << i;
    switch (i % 3) {
      case 0: *slot = str("v" + std::to_string(i)); break;
      case 1: *slot = other; break;
      default: *slot = make_boolean(1); break;
    }
  }
  // Every fifth entry removed; its string keys die in the collection.
  for (int i = 0; i < COUNT; i += 5) set_null(const_cast<Value*>(table_get(t, key_of(i))));
  gc_control(L, GC_COLLECT, 0);
  std::map<std::string, int> seen;
  for (auto& [k, v] : traverse(L, t)) {
    EXPECT_FALSE(v.is_null());
    std::string name = k.is_string() ? std::string(k.string()->data()) : std::to_string(k.number());
    EXPECT_TRUE(seen.emplace(name, 0).second) << name;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(COUNT - COUNT / 5 + 1));
  for (int i = 0; i < COUNT; ++i) {
    const Value* v = table_get(t, key_of(i));
    if (i % 5 == 0) {
      EXPECT_TRUE(v->is_null()) << i;
    } else {
      ASSERT_FALSE(v->is_null()) << i;
      if (i % 3 == 1) {
        EXPECT_EQ(v->u.gc, other.u.gc) << i;
      }
    }
  }
  // New keys land in the removed entries' nodes and chains; all old ones stay reachable.
  for (int i = 0; i < COUNT; i += 5) *table_set_slot(L, t, str("n" + std::to_string(i))) = num(i);
  for (int i = 0; i < COUNT; i += 5) EXPECT_EQ(field(t, ("n" + std::to_string(i)).c_str()).number(), i) << i;
  for (int i = 1; i < COUNT; i += 5) EXPECT_FALSE(table_get(t, key_of(i))->is_null()) << i;
  EXPECT_EQ(table_get(t, make_boolean(1))->number(), -1);
  gc_control(L, GC_STOP, 0);
}

TEST_F(TableTest, LargeRandomishWorkloadMatchesReference) {
  TableObject* t = new_tab();
  std::map<int, int> ref;
  uint32_t x = 12345;
  for (int i = 0; i < 5000; ++i) {
    x = x * 1103515245u + 12345u;
    int key = static_cast<int>((x >> 8) % 3000) - 500;
    if ((x >> 4) % 5 == 0) {
      set_at(t, key, make_null());
      ref.erase(key);
    } else {
      set_at(t, key, num(i));
      ref[key] = i;
    }
  }
  for (int key = -500; key < 2500; ++key) {
    auto it = ref.find(key);
    Value v = at(t, key);
    if (it == ref.end())
      EXPECT_TRUE(v.is_null()) << key;
    else
      EXPECT_EQ(v.number(), it->second) << key;
  }
  std::set<int> visited;
  for (auto& [k, v] : traverse(L, t)) {
    EXPECT_TRUE(visited.insert(static_cast<int>(k.number())).second);
    EXPECT_EQ(ref.at(static_cast<int>(k.number())), v.number());
  }
  EXPECT_EQ(visited.size(), ref.size());
}

}  // namespace
}  // namespace quevro::test
