#include "vm/table.h"

#include <cmath>
#include <cstring>

#include "vm/collector.h"
#include "vm/error.h"
#include "vm/memory.h"
#include "vm/state.h"

namespace quevro {

const Value ABSENT_VALUE = make_null();
EmptyHashPart EMPTY_HASH_PART = {{0, 0}, {make_null(), {{0}}}};

namespace {

// ceil(log2(x)) for x >= 1.
int ceil_log2(uint32_t x) {
  int log = 0;
  uint32_t v = 1;
  while (v < x) {
    v <<= 1;
    ++log;
  }
  return log;
}

bool node_key_is(const HashNode* n, const Value& key) {
  if (n->key_tag() != key.tag) return false;
  switch (key.tag) {
    case TAG_NUMBER: return n->key.u.n == key.u.n;
    case TAG_BOOLEAN: return n->key.u.b == key.u.b;
    default: return n->key.u.p == key.u.p;
  }
}

HashNode* main_position_number(const TableObject* t, double x) {
  double y = x + 1;  // so that -0 and 0 land on the same node
  if (y == 0) return &t->nodes[0];
  uint64_t bits;
  std::memcpy(&bits, &y, sizeof bits);
  uint32_t folded = static_cast<uint32_t>(bits) + static_cast<uint32_t>(bits >> 32);
  return &t->nodes[folded % (t->node_mask() | 1)];
}

HashNode* main_position_address(const TableObject* t, const void* p) {
  return &t->nodes[reinterpret_cast<uintptr_t>(p) % (t->node_mask() | 1)];
}

HashNode* main_position(const TableObject* t, uint32_t tag, const NodeKey& key) {
  switch (tag) {
    case TAG_BOOLEAN: return &t->nodes[key.u.b & t->node_mask()];
    case TAG_STRING: return &t->nodes[reinterpret_cast<const StringObject*>(key.u.gc)->hash & t->node_mask()];
    case TAG_NUMBER: return main_position_number(t, key.u.n);
    default: return main_position_address(t, key.u.p);
  }
}

HashNode* main_position(const TableObject* t, const Value& key) {
  NodeKey k;
  k.u.bits = key.u.bits;
  return main_position(t, key.tag, k);
}

// Integer keys that count for the array part: integral values from 1 to 2^26.
bool array_candidate(const Value& key, uint32_t* k) {
  if (key.tag != TAG_NUMBER) return false;
  int32_t i;
  if (!number_is_int32(key.u.n, &i) || i < 1 || i > (1 << MAX_ARRAY_BITS)) return false;
  *k = static_cast<uint32_t>(i);
  return true;
}

}  // namespace

// Bytes held by an array part of n slots. A single slot is given room for two: constructors size
// the array without a trailing call's values, so [x, f()] grows from one slot to two at once,
// and with the room already there the growth costs nothing.
size_t array_bytes(int n) { return sizeof(Value) * static_cast<size_t>(n == 1 ? 2 : n); }

namespace {

constexpr int MAX_INLINE_SLOTS = 3;

size_t record_bytes(const TableObject* t) { return sizeof(TableObject) + sizeof(Value) * t->inline_slots; }
Value* inline_array(TableObject* t) { return reinterpret_cast<Value*>(t + 1); }
bool array_is_inline(const TableObject* t) {
  return t->inline_slots != 0 && t->array == reinterpret_cast<const Value*>(t + 1);
}
size_t hash_part_bytes(uint32_t count) {
  return sizeof(HashPartHeader) + sizeof(HashNode) * count;
}

// The block of an array part that lives outside the record (none for an inline one).
size_t separate_array_bytes(const TableObject* t) { return array_is_inline(t) ? 0 : array_bytes(t->array_size); }

// nums[i] counts the integer keys in (2^(i-1), 2^i].
using KeyCensus = uint32_t[MAX_ARRAY_BITS + 1];

int count_int_key(const Value& key, KeyCensus nums) {
  uint32_t k;
  if (!array_candidate(key, &k)) return 0;
  nums[ceil_log2(k)]++;
  return 1;
}

uint32_t census_array(const TableObject* t, KeyCensus nums) {
  uint32_t total = 0;
  uint32_t i = 1;  // 1-based index walking the array part
  for (int lg = 0, two_to_lg = 1; lg <= MAX_ARRAY_BITS; ++lg, two_to_lg *= 2) {
    uint32_t in_slice = 0;
    uint32_t limit = static_cast<uint32_t>(two_to_lg);
    if (limit > static_cast<uint32_t>(t->array_size)) {
      limit = static_cast<uint32_t>(t->array_size);
      if (i > limit) break;
    }
    for (; i <= limit; ++i)
      if (!t->array[i - 1].is_null()) in_slice++;
    nums[lg] += in_slice;
    total += in_slice;
  }
  return total;
}

uint32_t census_hash(const TableObject* t, KeyCensus nums, uint32_t* total_used) {
  uint32_t total = 0;
  uint32_t array_keys = 0;
  for (uint32_t i = t->node_count(); i-- > 0;) {
    const HashNode& n = t->nodes[i];
    if (n.val.is_null()) continue;
    array_keys += count_int_key(n.key_value(), nums);
    total++;
  }
  *total_used += total;
  return array_keys;
}

// Picks the largest power of two n such that more than half of 1..n would be in use; returns
// the number of keys that then go to the array part and stores n in *array_size.
uint32_t optimal_array_size(const KeyCensus nums, uint32_t* array_size) {
  uint32_t sum = 0, in_array = 0, size = 0;
  uint64_t two_to_i = 1;
  for (int i = 0; i <= MAX_ARRAY_BITS && two_to_i / 2 < *array_size; ++i, two_to_i *= 2) {
    if (nums[i] == 0) continue;
    sum += nums[i];
    if (sum > two_to_i / 2) {
      size = static_cast<uint32_t>(two_to_i);
      in_array = sum;
    }
  }
  *array_size = size;
  return in_array;
}

// Gives the array part `size` slots, keeping the first min(old, size) values. Slots above the
// old size are set to null.
void set_array_vector(VmState* L, TableObject* t, int size) {
  if (static_cast<uint32_t>(size) + 1 > MAX_VALUE_VECTOR) block_too_big(L);
  if (array_is_inline(t)) {
    if (array_bytes(size) > sizeof(Value) * t->inline_slots) {
      // Outgrown: move to a block of its own; the record's room stays with the record.
      auto* fresh = static_cast<Value*>(mem_realloc(L, nullptr, 0, array_bytes(size)));
      int keep = t->array_size < size ? t->array_size : size;
      std::memcpy(static_cast<void*>(fresh), t->array, sizeof(Value) * static_cast<size_t>(keep));
      t->array = fresh;
    }
  } else {
    t->array = static_cast<Value*>(mem_realloc(L, t->array, array_bytes(t->array_size), array_bytes(size)));
  }
  for (int i = t->array_size; i < size; ++i) set_null(&t->array[i]);
  if (t->array_size == 0 && size > 0) t->array[0].spare = 0;  // the border hint (see table_border)
  t->array_size = size;
}

void set_node_vector(VmState* L, TableObject* t, uint32_t size) {
  if (size == 0) {
    t->nodes = &EMPTY_HASH_PART.node;
    t->log2_nodes = 0;
    return;
  }
  int lsize = ceil_log2(size);
  if (lsize > MAX_LOG2_NODES) runtime_error(L, "table overflow");
  uint32_t count = 1u << lsize;
  auto* header = static_cast<HashPartHeader*>(mem_realloc(L, nullptr, 0, hash_part_bytes(count)));
  auto* nodes = reinterpret_cast<HashNode*>(header + 1);
  header->last_free = count;
  for (uint32_t i = 0; i < count; ++i) {
    set_null(&nodes[i].val);
    nodes[i].key.u.bits = 0;
    nodes[i].reset(TAG_NULL);
  }
  t->nodes = nodes;
  t->log2_nodes = static_cast<uint8_t>(lsize);
}

// Frees a hash part of `count` nodes (with the header in front of them).
void free_hash_part(SharedState* g, HashNode* nodes, uint32_t count) {
  mem_free(g, reinterpret_cast<HashPartHeader*>(nodes) - 1, hash_part_bytes(count));
}

HashNode* find_free_node(TableObject* t) {
  uint32_t& last_free = hash_part_header(t)->last_free;
  while (last_free > 0) {
    HashNode* n = &t->nodes[--last_free];
    if (n->key_tag() == TAG_NULL) return n;
  }
  return nullptr;
}

void rehash(VmState* L, TableObject* t, const Value& pending) {
  KeyCensus nums = {};
  uint32_t array_keys = census_array(t, nums);
  uint32_t total = array_keys;
  array_keys += census_hash(t, nums, &total);
  array_keys += count_int_key(pending, nums);
  total++;
  uint32_t array_size = array_keys;
  uint32_t in_array = optimal_array_size(nums, &array_size);
  table_resize(L, t, static_cast<int>(array_size), static_cast<int>(total - in_array));
}

void check_key(VmState* L, const Value& key) {
  if (key.tag == TAG_NULL) runtime_error(L, "table index is null");
  if (key.tag == TAG_NUMBER && std::isnan(key.u.n)) runtime_error(L, "table index is NaN");
}

Value* slot_for_new_key(VmState* L, TableObject* t, const Value& key);

Value* insert_key(VmState* L, TableObject* t, const Value& key) {
  HashNode* mp = main_position(t, key);
  if (!mp->val.is_null() || !has_hash_part(t)) {
    HashNode* free = find_free_node(t);
    if (free == nullptr) {
      rehash(L, t, key);
      return slot_for_new_key(L, t, key);
    }
    HashNode* other = main_position(t, mp->key_tag(), mp->key);
    if (other != mp) {
      // The occupant is not in its main position: move it to the free node.
      while (other->next_node() != mp) other = other->next_node();
      other->link_to(free);
      free->val = mp->val;
      free->key.u.bits = mp->key.u.bits;
      free->reset(mp->key_tag());
      free->link_to(mp->next_node());
      mp->link_to(nullptr);
      set_null(&mp->val);
    } else {
      // The occupant owns this position: the new key goes to the free node, linked after it.
      free->link_to(mp->next_node());
      mp->link_to(free);
      mp = free;
    }
  }
  mp->key.u.bits = key.u.bits;
  mp->set_key_tag(key.tag);
  return &mp->val;
}

// After a rehash the key is inserted again from scratch; the array part may now hold it.
Value* slot_for_new_key(VmState* L, TableObject* t, const Value& key) {
  int32_t k;
  if (key.tag == TAG_NUMBER && number_is_int32(key.u.n, &k) && static_cast<uint32_t>(k) - 1 < static_cast<uint32_t>(t->array_size))
    return &t->array[k - 1];
  const Value* existing = table_get(t, key);
  if (existing != &ABSENT_VALUE) return const_cast<Value*>(existing);
  return insert_key(L, t, key);
}

}  // namespace

TableObject* table_create(VmState* L, int narray, int nhash) {
  SharedState* g = G(L);
  int slots = narray > 0 && narray <= MAX_INLINE_SLOTS ? static_cast<int>(array_bytes(narray) / sizeof(Value)) : 0;
  auto* t = mem_new_object<TableObject>(L, sizeof(TableObject) + sizeof(Value) * static_cast<size_t>(slots));
  t->absent_events = 0xFF;
  t->log2_nodes = 0;
  t->inline_slots = static_cast<uint8_t>(slots);
  t->metatable = nullptr;
  t->array_size = 0;
  t->nodes = &EMPTY_HASH_PART.node;
  t->array_flag = nhash < 0 ? 1 : 0;
  if (slots > 0) {
    t->array = inline_array(t);
    for (int i = 0; i < narray; ++i) set_null(&t->array[i]);
    t->array_size = narray;
  } else {
    t->array = nullptr;
  }
  link_object(g, t, TAG_TABLE);
  // The table is linked before its vectors exist, so a failure below leaves a valid empty table.
  if (narray > t->array_size) set_array_vector(L, t, narray);
  if (nhash > 0) set_node_vector(L, t, static_cast<uint32_t>(nhash));
  return t;
}

void free_table(SharedState* g, TableObject* t) {
  if (has_hash_part(t)) free_hash_part(g, t->nodes, t->node_count());
  if (!array_is_inline(t)) mem_free(g, t->array, array_bytes(t->array_size));
  mem_free(g, t, record_bytes(t));
}

size_t table_memory(const TableObject* t) {
  return record_bytes(t) + separate_array_bytes(t) + (has_hash_part(t) ? hash_part_bytes(t->node_count()) : 0);
}

const Value* table_get_number_key(TableObject* t, double key) {
  if (!has_hash_part(t)) return &ABSENT_VALUE;  // e.g. reading past the end of a sequence
  HashNode* n = main_position_number(t, key);
  do {
    if (n->key_tag() == TAG_NUMBER && n->key.u.n == key) return &n->val;
    n = n->next_node();
  } while (n);
  return &ABSENT_VALUE;
}

const Value* table_get_generic(TableObject* t, const Value& key) {
  HashNode* n = main_position(t, key);
  do {
    if (node_key_is(n, key)) return &n->val;
    n = n->next_node();
  } while (n);
  return &ABSENT_VALUE;
}

Value* table_set_slot(VmState* L, TableObject* t, const Value& key) {
  t->absent_events = 0;
  barrier_back(L, t);  // the caller stores a value next
  const Value* existing = table_get(t, key);
  if (existing != &ABSENT_VALUE) return const_cast<Value*>(existing);
  check_key(L, key);
  return insert_key(L, t, key);
}

Value* table_set_int(VmState* L, TableObject* t, int64_t k) {
  t->absent_events = 0;
  barrier_back(L, t);  // the caller stores a value next
  const Value* existing = table_get_int(t, k);
  if (existing != &ABSENT_VALUE) return const_cast<Value*>(existing);
  return insert_key(L, t, make_number(static_cast<double>(k)));
}

Value* table_set_str(VmState* L, TableObject* t, StringObject* s) {
  t->absent_events = 0;
  barrier_back(L, t);  // the caller stores a value next
  const Value* existing = table_get_str(t, s);
  if (existing != &ABSENT_VALUE) return const_cast<Value*>(existing);
  return insert_key(L, t, make_string(s));
}

namespace {

// Position of a key in traversal order: -1 before the start, 0..array_size-1 in the array part,
// array_size + node index in the hash part.
int64_t traversal_index(VmState* L, TableObject* t, const Value& key) {
  if (key.is_null()) return -1;
  int32_t k;
  if (key.tag == TAG_NUMBER && number_is_int32(key.u.n, &k) && k >= 1 && k <= t->array_size) return k - 1;
  HashNode* n = main_position(t, key);
  do {
    bool dead_match = n->key_tag() == TAG_DEADKEY && key.is_collectable() && n->key.u.gc == key.u.gc;
    if (node_key_is(n, key) || dead_match) return t->array_size + (n - t->nodes);
    n = n->next_node();
  } while (n);
  runtime_error(L, "invalid key to 'next'");
}

}  // namespace

bool table_next(VmState* L, TableObject* t, Value* key) {
  int64_t i = traversal_index(L, t, *key) + 1;
  for (; i < t->array_size; ++i) {
    if (!t->array[i].is_null()) {
      key[0] = make_number(static_cast<double>(i + 1));
      key[1] = t->array[i];
      return true;
    }
  }
  if (!has_hash_part(t)) return false;
  for (i -= t->array_size; i < static_cast<int64_t>(t->node_count()); ++i) {
    HashNode& n = t->nodes[i];
    if (!n.val.is_null()) {
      key[0] = n.key_value();
      key[1] = n.val;
      return true;
    }
  }
  return false;
}

namespace {

bool present(TableObject* t, int64_t k) { return !table_get_int(t, k)->is_null(); }

uint32_t unbound_search(TableObject* t, uint32_t j) {
  int64_t i = j;
  int64_t hi = static_cast<int64_t>(j) + 1;
  while (present(t, hi)) {
    int64_t d = hi * 2;
    if (d > 0x7FFFFFFD) {
      // Built to defeat the doubling: fall back to a linear scan.
      int64_t k = 1;
      while (present(t, k)) ++k;
      return static_cast<uint32_t>(k - 1);
    }
    i = hi;
    hi = d;
  }
  while (hi - i > 1) {
    int64_t m = (i + hi) / 2;
    if (present(t, m))
      i = m;
    else
      hi = m;
  }
  return static_cast<uint32_t>(i);
}

// The border of an array part whose last slot is null, by the bisection the length rule fixes.
uint32_t bisect_array(const Value* array, uint32_t j) {
  uint32_t lo = 0, hi = j;
  while (hi - lo > 1) {
    uint32_t m = (lo + hi) / 2;
    if (!array[m - 1].is_null())
      lo = m;
    else
      hi = m;
  }
  return lo;
}

// True when the bisection over j slots ends at c (c < j): every slot it would probe on the way
// to c is non-null at or below c and null above it. The probe positions follow from c alone, so
// the loads do not wait for each other the way the bisection's do.
bool bisection_ends_at(const Value* array, uint32_t j, uint32_t c) {
  if ((j & (j - 1)) == 0) {
    // Over 2^k slots the probe for each bit of c, from the highest, is c with the lower bits
    // cleared and that bit set; the bisection goes up there exactly when c has the bit.
    uint32_t disagreements = 0;
    for (uint32_t bit = j >> 1; bit != 0; bit >>= 1) {
      uint32_t m = (c & ~(2 * bit - 1)) | bit;
      disagreements |= static_cast<uint32_t>(array[m - 1].tag == TAG_NULL) ^ static_cast<uint32_t>((c & bit) == 0);
    }
    return disagreements == 0;
  }
  uint32_t lo = 0, hi = j;
  while (hi - lo > 1) {
    uint32_t m = (lo + hi) / 2;
    bool below = m <= c;
    if (array[m - 1].is_null() == below) return false;
    if (below)
      lo = m;
    else
      hi = m;
  }
  return true;
}

}  // namespace

uint32_t table_border(TableObject* t) {
  uint32_t j = static_cast<uint32_t>(t->array_size);
  if (j > 0 && t->array[j - 1].is_null()) {
    // The spare word of the first slot remembers the last answer. Programs mostly ask again after
    // appending one element (or after nothing changed), so that answer or the next one is
    // confirmed along the bisection's own path; the result is the bisection's in every case.
    Value* array = t->array;
    uint32_t hint = array[0].spare;
    uint32_t border;
    if (hint < j && hint + 1 < j && !array[hint].is_null() && bisection_ends_at(array, j, hint + 1))
      border = hint + 1;
    else if (hint < j && bisection_ends_at(array, j, hint))
      border = hint;
    else
      border = bisect_array(array, j);
    array[0].spare = border;
    return border;
  }
  if (!has_hash_part(t)) return j;
  return unbound_search(t, j);
}

void table_resize(VmState* L, TableObject* t, int narray, int nhash) {
  int old_array = t->array_size;
  HashNode* old_nodes = t->nodes;
  uint32_t old_count = has_hash_part(t) ? t->node_count() : 0;
  if (narray > old_array) set_array_vector(L, t, narray);
  set_node_vector(L, t, static_cast<uint32_t>(nhash));
  if (narray < old_array) {
    // Slots above the new size move to the hash part before the vector shrinks.
    t->array_size = narray;
    for (int i = narray; i < old_array; ++i)
      if (!t->array[i].is_null()) *table_set_int(L, t, i + 1) = t->array[i];
    if (!array_is_inline(t))
      t->array = static_cast<Value*>(mem_realloc(L, t->array, array_bytes(old_array), array_bytes(narray)));
  }
  for (uint32_t i = old_count; i-- > 0;) {
    HashNode& old = old_nodes[i];
    if (!old.val.is_null()) *table_set_slot(L, t, old.key_value()) = old.val;
  }
  if (old_count) free_hash_part(G(L), old_nodes, old_count);
}

void table_resize_array(VmState* L, TableObject* t, int n) {
  if (n >= t->array_size && !has_hash_part(t)) {
    // Nothing can move between the parts: only the array part grows.
    set_array_vector(L, t, n);
    return;
  }
  int nhash = has_hash_part(t) ? static_cast<int>(t->node_count()) : 0;
  table_resize(L, t, n, nhash);
}

}  // namespace quevro
