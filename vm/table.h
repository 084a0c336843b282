// Tables: an array part for the keys 1..n plus a hash part with chained scatter nodes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vm/string.h"
#include "vm/value.h"

namespace quevro {

// A hash-part node: the value, then the payload of its key. The key's tag and the offset (in
// nodes, relative to this node) of the next node of its collision chain share the value's spare
// word: the tag in the low 4 bits, the offset in the 28 above it (a hash part has at most 2^26
// nodes); offset 0 ends the chain. A value stored into the node is assigned, and assignment
// leaves the spare word alone, so a node is 24 bytes.
struct NodeKey {
  union {
    double n;
    uint32_t b;
    void* p;
    GcObject* gc;
    uint64_t bits;
  } u;
};

struct HashNode {
  static constexpr uint32_t KEY_TAG_BITS = 4;
  static constexpr uint32_t KEY_TAG_MASK = (1u << KEY_TAG_BITS) - 1;

  Value val;
  NodeKey key;

  uint32_t key_tag() const { return val.spare & KEY_TAG_MASK; }
  void set_key_tag(uint32_t tag) { val.spare = (val.spare & ~KEY_TAG_MASK) | tag; }
  HashNode* next_node() {
    int32_t offset = static_cast<int32_t>(val.spare) >> KEY_TAG_BITS;
    return offset ? this + offset : nullptr;
  }
  void link_to(HashNode* target) {
    auto offset = static_cast<uint32_t>(target ? static_cast<int32_t>(target - this) : 0);
    val.spare = (offset << KEY_TAG_BITS) | key_tag();
  }
  // Key and link together, for a fresh or cleared node.
  void reset(uint32_t tag) { val.spare = tag; }
  Value key_value() const {
    Value v;
    v.u.bits = key.u.bits;
    v.tag = key_tag();
    v.spare = 0;
    return v;
  }
};
static_assert(sizeof(HashNode) == 24, "hash nodes are 24 bytes");
static_assert(TAG_DEADKEY <= HashNode::KEY_TAG_MASK, "every key tag fits the node's tag bits");

// The array size, the hash-part size, the metamethod-absence byte and the sequence flag live in
// the header (see GcObject). A table created with room for one to three items keeps that array
// part right after the record, so the small tables programs make by the million take a single
// block; a larger part lives in its own block (the record's room then stays unused).
struct TableObject : GcObject {
  TableObject* metatable;
  Value* array;
  HashNode* nodes;  // preceded by a HashPartHeader, even for the shared empty part

  uint32_t node_count() const { return 1u << log2_nodes; }
  uint32_t node_mask() const { return (1u << log2_nodes) - 1; }
};

// Limits: a hash part of at most 2^26 nodes; integer keys up to 2^26 count for the array part.
constexpr int MAX_LOG2_NODES = 26;
constexpr int MAX_ARRAY_BITS = 26;
constexpr uint32_t MAX_VALUE_VECTOR = 0x0FFFFFFF;  // count + 1 must not exceed this

extern const Value ABSENT_VALUE;
static_assert(sizeof(TableObject) == 40, "a table record is 40 bytes");

// Sits in front of the nodes of a hash part. Insertions take free nodes from the top down; the
// nodes at and above last_free are all in use.
struct HashPartHeader {
  uint32_t last_free;
  uint32_t unused;  // keeps the nodes after it 8-byte aligned
};

// The shared, always-empty hash part of tables without one: its single node never holds a key
// and it has no free node, so the first insertion rehashes.
struct EmptyHashPart {
  HashPartHeader header;
  HashNode node;
};
static_assert(offsetof(EmptyHashPart, node) == sizeof(HashPartHeader), "the header sits right before the nodes");
extern EmptyHashPart EMPTY_HASH_PART;

inline bool has_hash_part(const TableObject* t) { return t->nodes != &EMPTY_HASH_PART.node; }
inline HashPartHeader* hash_part_header(TableObject* t) { return reinterpret_cast<HashPartHeader*>(t->nodes) - 1; }

// A new table with narray null array slots and a hash part for nhash entries (rounded up to a
// power of two); a negative nhash means no hash part and marks the table as a sequence.
TableObject* table_create(VmState* L, int narray, int nhash);
void free_table(SharedState* g, TableObject* t);
size_t table_memory(const TableObject* t);
// Bytes an array part of n slots occupies (a one-slot part keeps room for a second).
size_t array_bytes(int n);

// Lookups return the stored value or ABSENT_VALUE; they never raise.
const Value* table_get_generic(TableObject* t, const Value& key);
const Value* table_get_number_key(TableObject* t, double key);

inline const Value* table_get_str(TableObject* t, const StringObject* s) {
  HashNode* n = &t->nodes[s->hash & t->node_mask()];
  do {
    if (n->key.u.gc == reinterpret_cast<const GcObject*>(s) && n->key_tag() == TAG_STRING) return &n->val;
    n = n->next_node();
  } while (n);
  return &ABSENT_VALUE;
}

inline const Value* table_get_int(TableObject* t, int64_t k) {
  if (static_cast<uint64_t>(k) - 1 < static_cast<uint64_t>(t->array_size)) return &t->array[k - 1];
  return table_get_number_key(t, static_cast<double>(k));
}

inline const Value* table_get(TableObject* t, const Value& key) {
  switch (key.tag) {
    case TAG_STRING: return table_get_str(t, key.string());
    case TAG_NUMBER: {
      int32_t k;
      if (number_is_int32(key.u.n, &k)) return table_get_int(t, k);
      return table_get_number_key(t, key.u.n);
    }
    case TAG_NULL: return &ABSENT_VALUE;
    default: return table_get_generic(t, key);
  }
}

// Slot lookups for storing: return the value slot for the key, creating the key (with a null
// value) when absent. They clear the metamethod-absence cache. A null key raises
// "table index is null" and a NaN key "table index is NaN". The caller stores the value.
Value* table_set_slot(VmState* L, TableObject* t, const Value& key);
Value* table_set_int(VmState* L, TableObject* t, int64_t k);
Value* table_set_str(VmState* L, TableObject* t, StringObject* s);

// Traversal step: *key is the previous key (null to start); on success writes the next key to
// key[0] and its value to key[1] and returns true; false at the end. An unknown key raises
// "invalid key to 'next'".
bool table_next(VmState* L, TableObject* t, Value* key);

// The length operator: a border of the table (a non-null index followed by a null one).
uint32_t table_border(TableObject* t);

void table_resize_array(VmState* L, TableObject* t, int n);
void table_resize(VmState* L, TableObject* t, int narray, int nhash);

}  // namespace quevro
