// The metamethod events: the enum, the count and the field names looked up in metatables, all
// made from one list.
#pragma once

namespace quevro {

// X(event, field name). The order is the enum's; the first CACHED_EVENT_COUNT events are those a
// metatable remembers the absence of, so the events read on the fast paths come first.
#define QUEVRO_EVENTS(X)       \
  X(GET, "_get")               \
  X(SET, "_set")               \
  X(GC, "_gc")                 \
  X(WEAK, "_weak")             \
  X(READONLY, "_readonly")     \
  X(EQ, "_eq")                 \
  X(ADD, "_add")               \
  X(SUB, "_sub")               \
  X(MUL, "_mul")               \
  X(DIV, "_div")               \
  X(MOD, "_mod")               \
  X(POW, "_pow")               \
  X(UNM, "_unm")               \
  X(LEN, "_len")               \
  X(LT, "_lt")                 \
  X(LE, "_le")                 \
  X(CONCAT, "_concat")         \
  X(CALL, "_call")             \
  X(RSHIFT, "_rshift")         \
  X(LSHIFT, "_lshift")

enum Event {
#define QUEVRO_EVENT_ENUM(event, name) EVENT_##event,
  QUEVRO_EVENTS(QUEVRO_EVENT_ENUM)
#undef QUEVRO_EVENT_ENUM
};

#define QUEVRO_EVENT_ONE(event, name) +1
constexpr int EVENT_COUNT = 0 QUEVRO_EVENTS(QUEVRO_EVENT_ONE);
#undef QUEVRO_EVENT_ONE

inline constexpr const char* EVENT_NAMES[EVENT_COUNT] = {
#define QUEVRO_EVENT_NAME(event, name) name,
    QUEVRO_EVENTS(QUEVRO_EVENT_NAME)
#undef QUEVRO_EVENT_NAME
};

// Events GET..EQ keep a bit each in the metatable's absence byte.
constexpr int CACHED_EVENT_COUNT = EVENT_EQ + 1;
static_assert(CACHED_EVENT_COUNT <= 8, "the absence bits live in one byte");

}  // namespace quevro
