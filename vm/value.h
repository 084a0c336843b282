// The tagged value every script datum lives in, and the header shared by heap objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

namespace quevro {

// Type tags as stored in a Value. 0..8 are visible to scripts; 9 and 10 exist only inside the
// runtime; 11 marks a hash key whose value was removed and whose node was swept.
enum Tag : uint32_t {
  TAG_NULL = 0,
  TAG_BOOLEAN = 1,
  TAG_POINTER = 2,
  TAG_NUMBER = 3,
  TAG_STRING = 4,
  TAG_TABLE = 5,
  TAG_FUNCTION = 6,
  TAG_CDATA = 7,
  TAG_FIBER = 8,
  TAG_PROTO = 9,
  TAG_UPVAL = 10,
  TAG_DEADKEY = 11,
};
constexpr int BASIC_TYPE_COUNT = 9;  // tags 0..8, one per-type metatable each

struct GcObject;
struct StringObject;
struct TableObject;
struct ClosureObject;
struct CdataObject;
struct UpvalueObject;
struct Prototype;
struct VmState;
struct SharedState;

// Mark bits of GcHeader::marked.
constexpr uint8_t MARK_WHITE0 = 1 << 0;
constexpr uint8_t MARK_WHITE1 = 1 << 1;
constexpr uint8_t MARK_BLACK = 1 << 2;
constexpr uint8_t MARK_FINALIZED = 1 << 3;
constexpr uint8_t MARK_FIXED = 1 << 5;
constexpr uint8_t MARK_WHITES = MARK_WHITE0 | MARK_WHITE1;

// Every heap object starts with this header: the link of the collector's list it is on, its
// tag and its colour bits. Derived object types inherit it so the header stays at offset 0.
// The six bytes after the colour bits would be padding; each object type keeps its small fields
// there (a table its array size, a string its hash), which keeps the hot objects compact.
struct GcObject {
  GcObject* next;
  uint8_t tag;
  uint8_t marked;
  union {
    struct {  // tables
      uint8_t absent_events;  // bit e: known to have no field for metamethod event e (0..5)
      uint8_t log2_nodes : 5;
      uint8_t inline_slots : 2;  // array slots allocated inside the table record (0, 2 or 3)
      uint8_t array_flag : 1;    // created as a sequence (library and marshalling hint)
    };
    struct {  // strings
      uint8_t reserved;  // keyword number, or the constant / read-only name marks
      uint8_t flags;     // encoding flags
    };
    struct {  // functions
      uint8_t is_script;
      uint8_t is_class;
    };
  };
  union {
    int32_t array_size;  // tables
    uint32_t hash;       // strings
    int32_t nupvalues;   // functions
  };
};
static_assert(sizeof(GcObject) == 16, "the object header is 16 bytes");

// 8-byte payload followed by a 32-bit tag; 16 bytes in all. Copying copies both; a boolean's word
// is kept as given (any non-zero word is true).
struct Value {
  union {
    double n;
    uint32_t b;
    void* p;
    GcObject* gc;
    uint64_t bits;
  } u;
  uint32_t tag;
  uint32_t spare;  // keeps the size at 16; a table keeps a hint in its first array slot's (see table_border)

  // Copies move the payload and the tag separately. Values are written that way (a number's
  // payload and tag are two stores), and a copy read as one 16-byte load could not take its data
  // from two pending smaller stores: the processor would wait for them to reach the cache.
  Value() = default;
  Value(const Value& o) : tag(o.tag), spare(0) { u.bits = o.u.bits; }
  Value& operator=(const Value& o) {
    u.bits = o.u.bits;
    tag = o.tag;
    return *this;
  }

  bool is_null() const { return tag == TAG_NULL; }
  bool is_number() const { return tag == TAG_NUMBER; }
  bool is_string() const { return tag == TAG_STRING; }
  bool is_table() const { return tag == TAG_TABLE; }
  bool is_function() const { return tag == TAG_FUNCTION; }
  bool is_collectable() const { return tag >= TAG_STRING; }

  double number() const { return u.n; }
  StringObject* string() const { return reinterpret_cast<StringObject*>(u.gc); }
  TableObject* table() const { return reinterpret_cast<TableObject*>(u.gc); }
  ClosureObject* closure() const { return reinterpret_cast<ClosureObject*>(u.gc); }
  CdataObject* cdata() const { return reinterpret_cast<CdataObject*>(u.gc); }
  VmState* fiber() const { return reinterpret_cast<VmState*>(u.gc); }
  GcObject* object() const { return u.gc; }
};
static_assert(sizeof(Value) == 16, "a Value is 16 bytes");

inline Value make_null() {
  Value v;
  v.u.bits = 0;
  v.tag = TAG_NULL;
  v.spare = 0;
  return v;
}
inline Value make_number(double n) {
  Value v;
  v.u.n = n;
  v.tag = TAG_NUMBER;
  v.spare = 0;
  return v;
}
inline Value make_boolean(uint32_t word) {
  Value v;
  v.u.bits = 0;
  v.u.b = word;
  v.tag = TAG_BOOLEAN;
  v.spare = 0;
  return v;
}
inline Value make_pointer(void* p) {
  Value v;
  v.u.p = p;
  v.tag = TAG_POINTER;
  v.spare = 0;
  return v;
}
inline Value make_object(GcObject* o, uint32_t tag) {
  Value v;
  v.u.gc = o;
  v.tag = tag;
  v.spare = 0;
  return v;
}
template <class T>
inline Value make_object(T* o) {
  return make_object(reinterpret_cast<GcObject*>(o), reinterpret_cast<GcObject*>(o)->tag);
}

inline void set_null(Value* v) { v->tag = TAG_NULL; }
inline void set_number(Value* v, double n) {
  v->u.n = n;
  v->tag = TAG_NUMBER;
}

// Falsy values: null, false, and a number equal to zero (so -0 too; NaN is truthy).
inline bool is_falsy(const Value& v) {
  switch (v.tag) {
    case TAG_NULL: return true;
    case TAG_BOOLEAN: return v.u.b == 0;
    case TAG_NUMBER: return v.u.n == 0;
    default: return false;
  }
}

// Raw equality: same tag and same payload, numbers compared by value.
inline bool raw_equal_values(const Value& a, const Value& b) {
  if (a.tag != b.tag) return false;
  switch (a.tag) {
    case TAG_NULL: return true;
    case TAG_NUMBER: return a.u.n == b.u.n;
    case TAG_BOOLEAN: return a.u.b == b.u.b;
    default: return a.u.p == b.u.p;
  }
}

// Rounds to the nearest 32-bit integer (ties to even) and wraps modulo 2^32: adding 2^52 + 2^51
// puts the integer part in the low word of the double's bit pattern.
inline int32_t to_int32(double x) {
  double shifted = x + 6755399441055744.0;
  uint64_t bits;
  std::memcpy(&bits, &shifted, sizeof bits);
  return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

// True when n holds an integral value that fits 32 bits; *out receives it. The truncating
// conversion is one instruction on the table-key path; out of range (and NaN) it yields INT32_MIN,
// whose round trip then fails unless n is exactly -2^31.
inline bool number_is_int32(double n, int32_t* out) {
  int32_t k = _mm_cvttsd_si32(_mm_set_sd(n));
  *out = k;
  return static_cast<double>(k) == n;
}

}  // namespace quevro
