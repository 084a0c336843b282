// The backtracking pattern matcher (bytes, with UTF-8 aware items) and find, match, gmatch and
// replace. Items are read straight from the pattern text; nothing is compiled ahead.
#include "lib/pattern.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "lib/library_support.h"
#include "lib/string_buffer.h"
#include "lib/thread_cache.h"
#include "vm/utf.h"
#include "vm/calls.h"

namespace quevro {

namespace {

constexpr int MAX_CAPTURES = 32;
constexpr ptrdiff_t CAP_UNFINISHED = -1;
constexpr ptrdiff_t CAP_POSITION = -2;
constexpr int UNBOUNDED = -1;

const char* const SPECIALS = "^$*+?.:([\\-{<%";

struct Capture {
  const char* init;
  ptrdiff_t len;
};

struct MatchState {
  const char* src_init;
  const char* src_end;
  const char* p_end;
  VmState* L;
  int level = 0;
  int depth = 0;
  Capture capture[MAX_CAPTURES];
};

class DepthGuard {
 public:
  explicit DepthGuard(MatchState* ms) : ms_(ms) {
    if (++ms_->depth > MAX_MATCH_DEPTH) library_error(ms_->L, "overflow error");
  }
  ~DepthGuard() { --ms_->depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  MatchState* ms_;
};

inline unsigned char uc(char c) { return static_cast<unsigned char>(c); }


// The classes a byte belongs to, one bit per class letter (bit 0 'a' ... bit 25 'z'), and the
// letters that name a class. Matching runs once per byte of the subject, so it is a lookup.
constexpr uint32_t letter_bit(char letter) { return 1u << (letter - 'a'); }
constexpr uint32_t CLASS_LETTERS = letter_bit('a') | letter_bit('c') | letter_bit('d') | letter_bit('f') |
                                   letter_bit('i') | letter_bit('l') | letter_bit('n') | letter_bit('p') |
                                   letter_bit('r') | letter_bit('s') | letter_bit('t') | letter_bit('u') |
                                   letter_bit('v') | letter_bit('w') | letter_bit('x') | letter_bit('z');

constexpr uint32_t classes_of(int c) {
  bool alpha = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
  bool digit = c >= '0' && c <= '9';
  uint32_t r = 0;
  if (alpha) r |= letter_bit('a');
  if (c < 32 || c == 127) r |= letter_bit('c');
  if (digit) r |= letter_bit('d');
  if (c == '\f') r |= letter_bit('f');
  if (c < 128) r |= letter_bit('i');
  if (c >= 'a' && c <= 'z') r |= letter_bit('l');
  if (c == '\n') r |= letter_bit('n');
  if (c > 32 && c < 127 && !alpha && !digit) r |= letter_bit('p');
  if (c == '\r') r |= letter_bit('r');
  if (c == ' ' || (c >= '\t' && c <= '\r')) r |= letter_bit('s');
  if (c == '\t') r |= letter_bit('t');
  if (c >= 'A' && c <= 'Z') r |= letter_bit('u');
  if (c == '\v') r |= letter_bit('v');
  if (alpha || digit || c == '_') r |= letter_bit('w');
  if (digit || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')) r |= letter_bit('x');
  if (c == 0) r |= letter_bit('z');
  return r;
}

struct ByteClasses {
  uint32_t of[256];
  constexpr ByteClasses() : of() {
    for (int c = 0; c < 256; ++c) of[c] = classes_of(c);
  }
};
constexpr ByteClasses BYTE_CLASSES;

// What a byte after a backslash names: NOT_A_CLASS, or the class's bit number with
// COMPLEMENT added for an upper-case letter.
constexpr uint8_t NOT_A_CLASS = 0xFF;
constexpr uint8_t COMPLEMENT = 0x20;
struct ClassCodes {
  uint8_t of[256];
  constexpr ClassCodes() : of() {
    for (int cl = 0; cl < 256; ++cl) {
      int lower = cl | 0x20;
      bool letter = lower >= 'a' && lower <= 'z' && (CLASS_LETTERS & letter_bit(static_cast<char>(lower)));
      of[cl] = letter ? static_cast<uint8_t>((lower - 'a') | (lower != cl ? COMPLEMENT : 0)) : NOT_A_CLASS;
    }
  }
};
constexpr ClassCodes CLASS_CODES;

// Does byte c match the class a class code (not NOT_A_CLASS) names?
inline bool class_code_match(int c, uint8_t code) {
  bool in_class = (BYTE_CLASSES.of[c & 0xFF] >> (code & (COMPLEMENT - 1))) & 1;
  return in_class != ((code & COMPLEMENT) != 0);
}

// Does byte c match the class letter cl (upper case: the complement)? Any other cl matches
// itself.
inline bool class_match(int c, int cl) {
  uint8_t code = CLASS_CODES.of[cl & 0xFF];
  return code == NOT_A_CLASS ? cl == c : class_code_match(c, code);
}

// A complete multi-byte UTF-8 character at s: its length, or 0.
size_t utf8_item(const char* s, const char* end) {
  unsigned char c = uc(*s);
  if (c < 0xC0) return 0;
  size_t n = utf8_sequence_length(c);
  if (n < 2 || static_cast<size_t>(end - s) < n) return 0;
  for (size_t k = 1; k < n; ++k)
    if (!is_continuation(uc(s[k]))) return 0;
  return n;
}

// The end of the literal group starting at p ("<@"); sets where its text lies and its mode.
const char* literal_group(MatchState* ms, const char* p, const char* limit, const char** text, bool* nocase) {
  const char* q = p + 2;
  *nocase = false;
  if (q < limit && *q == '@') {
    *nocase = true;
    ++q;
  } else if (q < limit && *q == '=') {
    ++q;
  }
  *text = q;
  for (const char* r = q; r + 1 < limit; ++r)
    if (r[0] == '@' && r[1] == '>') return r;
  library_error(ms->L, "malformed pattern (missing '@>')");
}

const char* atom_end(MatchState* ms, const char* p, const char* limit);

// The matching '>' of a sub-pattern group starting at p, skipping nested groups, sets and escapes.
const char* group_close(MatchState* ms, const char* p, const char* limit) {
  DepthGuard guard(ms);  // nested groups recurse here
  const char* q = p + 1;
  while (q < limit) {
    if (*q == '>') return q;
    if (*q == '\\' || *q == '[' || *q == '<') {
      q = atom_end(ms, q, limit);
      continue;
    }
    ++q;
  }
  library_error(ms->L, "malformed pattern (missing '>')");
}

const char* atom_end(MatchState* ms, const char* p, const char* limit) {
  switch (*p) {
    case '\\':
      if (p + 1 >= limit) library_error(ms->L, "malformed pattern (ends with '\\')");
      return p + 2;
    case '[': {
      const char* q = p + 1;
      while (q < limit && *q != ']') {
        if (*q == '\\') ++q;
        ++q;
      }
      if (q >= limit) library_error(ms->L, "malformed pattern (missing ']')");
      return q + 1;
    }
    case '<': {
      if (p + 1 < limit && p[1] == '@') {
        const char* text;
        bool nocase;
        return literal_group(ms, p, limit, &text, &nocase) + 2;
      }
      return group_close(ms, p, limit) + 1;
    }
    default: {
      // A written multi-byte character is one item; so is a range of two bytes around '-'.
      size_t n = utf8_item(p, limit);
      if (n) return p + n;
      if (p + 2 < limit && p[1] == '-' && !std::strchr(SPECIALS, p[0]) && !std::strchr(SPECIALS, p[2]) &&
          uc(p[0]) < 0x80 && uc(p[2]) < 0x80 && p[2] != '&' && p[2] != '|')
        return p + 3;
      return p + 1;
    }
  }
}

// A compound item: atoms joined by '&' (intersection) or '|' (alternation).
const char* compound_end(MatchState* ms, const char* p, const char* limit) {
  const char* ep = atom_end(ms, p, limit);
  while (ep + 1 < limit && (*ep == '&' || *ep == '|')) ep = atom_end(ms, ep + 1, limit);
  return ep;
}

bool set_match(const char* s, const char* end, const char* p, const char* ep, size_t* len) {
  const char* q = p + 1;
  const char* close = ep - 1;
  bool negated = q < close && *q == '^';
  if (negated) ++q;
  int c = uc(*s);
  size_t multi = utf8_item(s, end);
  bool found = false;
  size_t found_len = 1;
  while (q < close && !found) {
    if (*q == '\\') {
      ++q;
      if (q >= close) break;
      found = class_match(c, uc(*q));
      ++q;
    } else if (q + 2 < close && q[1] == '-') {
      found = uc(q[0]) <= c && c <= uc(q[2]);
      q += 3;
    } else if (*q == ':') {
      if (multi) {
        found = true;
        found_len = multi;
      }
      ++q;
    } else if (uc(*q) >= 0xC0) {
      size_t n = utf8_item(q, close);
      if (n == 0) n = 1;
      if (static_cast<size_t>(end - s) >= n && std::memcmp(s, q, n) == 0) {
        found = true;
        found_len = n;
      }
      q += n;
    } else {
      found = uc(*q) == c;
      ++q;
    }
  }
  if (negated) {
    *len = 1;
    return !found;
  }
  *len = found_len;
  return found;
}

const char* group_sequence(MatchState* ms, const char* s, const char* p, const char* limit);

// Does the atom p..ep match at s? *len receives the bytes it takes.
bool atom_match(MatchState* ms, const char* s, const char* p, const char* ep, size_t* len) {
  if (s >= ms->src_end) return false;
  int c = uc(*s);
  switch (*p) {
    case '.': *len = 1; return true;
    case ':': *len = utf8_item(s, ms->src_end); return *len != 0;
    case '\\': *len = 1; return class_match(c, uc(p[1]));
    case '[': return set_match(s, ms->src_end, p, ep, len);
    case '<': {
      if (p[1] == '@') {
        const char* text;
        bool nocase;
        const char* close = literal_group(ms, p, ep, &text, &nocase);
        size_t n = static_cast<size_t>(close - text);
        if (static_cast<size_t>(ms->src_end - s) < n) return false;
        if (nocase) {
          for (size_t k = 0; k < n; ++k)
            if (std::tolower(uc(s[k])) != std::tolower(uc(text[k]))) return false;
        } else if (std::memcmp(s, text, n) != 0) {
          return false;
        }
        *len = n;
        return true;
      }
      bool negated = p[1] == '^';
      const char* r = group_sequence(ms, s, p + (negated ? 2 : 1), ep - 1);
      if (negated) {
        if (r) return false;
        *len = utf8_char_at(s, static_cast<size_t>(ms->src_end - s), 0);
        return true;
      }
      if (r == nullptr) return false;
      *len = static_cast<size_t>(r - s);
      return true;
    }
    default: {
      size_t n = static_cast<size_t>(ep - p);
      if (n == 3 && p[1] == '-') {
        *len = 1;
        return uc(p[0]) <= c && c <= uc(p[2]);
      }
      if (static_cast<size_t>(ms->src_end - s) < n || std::memcmp(s, p, n) != 0) return false;
      *len = n;
      return true;
    }
  }
}

// One alternative: atoms joined by '&' all match at s; the extent is the first one's.
bool chain_match(MatchState* ms, const char* s, const char* p, const char* ep, size_t* len) {
  const char* a = p;
  bool first = true;
  while (a < ep) {
    const char* ae = atom_end(ms, a, ep);
    size_t n;
    if (!atom_match(ms, s, a, ae, &n)) return false;
    if (first) *len = n;
    first = false;
    if (ae < ep && *ae == '&') {
      a = ae + 1;
    } else {
      break;
    }
  }
  return true;
}

// The end of the alternative starting at a within the compound ending at ep.
const char* alternative_end(MatchState* ms, const char* a, const char* ep) {
  const char* q = atom_end(ms, a, ep);
  while (q < ep && *q == '&') q = atom_end(ms, q + 1, ep);
  return q;
}

bool compound_match(MatchState* ms, const char* s, const char* p, const char* ep, size_t* len) {
  const char* a = p;
  while (a < ep) {
    const char* ae = alternative_end(ms, a, ep);
    if (chain_match(ms, s, a, ae, len)) return true;
    if (ae < ep && *ae == '|')
      a = ae + 1;
    else
      break;
  }
  return false;
}

// Matches the compound p..ep; simple tells that it is one atom (no '&' or '|').
inline bool item_match(MatchState* ms, const char* s, const char* p, const char* ep, bool simple, size_t* len) {
  return simple ? atom_match(ms, s, p, ep, len) : compound_match(ms, s, p, ep, len);
}

// Items that always take exactly one byte, tested without the general machinery: which test
// the item is and its operands, read once for runs over many bytes.
struct ByteTest {
  enum Kind : uint8_t { ANY, BYTE, CLASS, RANGE } kind = ANY;
  uint8_t low = 0, high = 0;  // BYTE: low; CLASS: the class code; RANGE: low..high

  // False when p..ep is not an item that always takes exactly one byte.
  bool read(const char* p, const char* ep) {
    switch (ep - p) {
      case 1:
        if (*p == '.') return kind = ANY, true;
        if (*p == ':' || *p == '[' || *p == '<') return false;
        return kind = BYTE, low = uc(*p), true;
      case 2:
        if (*p != '\\') return false;
        low = CLASS_CODES.of[uc(p[1])];
        if (low == NOT_A_CLASS) return kind = BYTE, low = uc(p[1]), true;
        return kind = CLASS, true;
      case 3:
        if (p[1] != '-' || *p == '[' || *p == '<' || *p == '\\') return false;
        return kind = RANGE, low = uc(p[0]), high = uc(p[2]), true;
      default: return false;
    }
  }

  bool matches(int c) const {
    switch (kind) {
      case ANY: return true;
      case BYTE: return c == low;
      case CLASS: return class_code_match(c, low);
      case RANGE: return low <= c && c <= high;
    }
    return false;
  }
};

struct Suffix {
  enum Kind { NONE, STAR, PLUS, OPTIONAL, LOOK, NOT_LOOK, COUNT } kind = NONE;
  bool lazy = false;
  int min = 0;
  int max = UNBOUNDED;
  const char* next = nullptr;
};

Suffix read_suffix(MatchState* ms, const char* ep, const char* limit) {
  Suffix r;
  r.next = ep;
  if (ep >= limit) return r;
  auto lazy_mark = [&](const char* q) {
    if (q < limit && *q == '?') {
      r.lazy = true;
      return q + 1;
    }
    return q;
  };
  switch (*ep) {
    case '*': r.kind = Suffix::STAR; r.next = lazy_mark(ep + 1); break;
    case '+': r.kind = Suffix::PLUS; r.next = lazy_mark(ep + 1); break;
    case '?':
      if (ep + 1 < limit && ep[1] == '=') {
        r.kind = Suffix::LOOK;
        r.next = ep + 2;
      } else if (ep + 1 < limit && ep[1] == '!') {
        r.kind = Suffix::NOT_LOOK;
        r.next = ep + 2;
      } else {
        r.kind = Suffix::OPTIONAL;
        r.next = ep + 1;
      }
      break;
    case '{': {
      const char* q = ep + 1;
      if (q >= limit || !std::isdigit(uc(*q))) break;
      int m = 0;
      while (q < limit && std::isdigit(uc(*q))) m = m * 10 + (*q++ - '0');
      int n = m;
      if (q < limit && *q == ',') {
        ++q;
        while (q < limit && *q == ' ') ++q;
        if (q < limit && std::isdigit(uc(*q))) {
          n = 0;
          while (q < limit && std::isdigit(uc(*q))) n = n * 10 + (*q++ - '0');
        } else {
          n = UNBOUNDED;
        }
      }
      while (q < limit && *q == ' ') ++q;
      if (q >= limit || *q != '}') library_error(ms->L, "malformed pattern (missing '}')");
      r.kind = Suffix::COUNT;
      r.min = m;
      r.max = n;
      r.next = lazy_mark(q + 1);
      break;
    }
    default: break;
  }
  return r;
}

// True when the item p..ep matches text that ends exactly at s.
bool matches_ending_at(MatchState* ms, const char* s, const char* p, const char* ep) {
  if (s <= ms->src_init) return false;
  size_t n;
  const char* one = s - 1;
  if (compound_match(ms, one, p, ep, &n) && one + n == s) return true;
  const char* start = one;
  while (start > ms->src_init && is_continuation(uc(*start)) && s - start < 4) --start;
  return start != one && compound_match(ms, start, p, ep, &n) && start + n == s;
}

bool boundary_holds(MatchState* ms, const char* s, const char* p, const char* ep) {
  size_t n;
  if (s < ms->src_end) return compound_match(ms, s, p, ep, &n) && !matches_ending_at(ms, s, p, ep);
  return ms->src_end > ms->src_init && !matches_ending_at(ms, s, p, ep);
}

// Balanced text from item1 to the matching item2 ('?' after them: no nesting).
const char* balance(MatchState* ms, const char* s, const char* p1, const char* e1, const char* p2, const char* e2,
                    bool flat) {
  size_t n1, n2;
  if (!compound_match(ms, s, p1, e1, &n1)) return nullptr;
  bool equal = compound_match(ms, s, p2, e2, &n2);
  int depth = 1;
  const char* q = s + n1;
  while (q < ms->src_end) {
    size_t n;
    if (compound_match(ms, q, p1, e1, &n)) {
      if (equal) return q + n;
      if (flat) return nullptr;
      ++depth;
      q += n;
    } else if (compound_match(ms, q, p2, e2, &n)) {
      if (--depth == 0) return q + n;
      q += n;
    } else {
      ++q;
    }
  }
  return nullptr;
}

// The balanced item at *p ("%" open close, with an optional "?"): matches it at s and moves *p
// past the item; null when it does not match.
const char* match_balanced(MatchState* ms, const char* s, const char** p, const char* limit) {
  if (*p + 1 >= limit) library_error(ms->L, "unbalanced pattern");
  const char* e1 = atom_end(ms, *p + 1, limit);
  if (e1 >= limit) library_error(ms->L, "unbalanced pattern");
  const char* e2 = atom_end(ms, e1, limit);
  bool flat = e2 < limit && *e2 == '?';
  const char* r = balance(ms, s, *p + 1, e1, e1, e2, flat);
  *p = flat ? e2 + 1 : e2;
  return r;
}

const char* back_reference(MatchState* ms, const char* s, int l) {
  l -= 1;
  if (l < 0 || l >= ms->level || ms->capture[l].len == CAP_UNFINISHED) library_error(ms->L, "invalid capture index");
  size_t n = ms->capture[l].len == CAP_POSITION ? 0 : static_cast<size_t>(ms->capture[l].len);
  if (static_cast<size_t>(ms->src_end - s) >= n && std::memcmp(ms->capture[l].init, s, n) == 0) return s + n;
  return nullptr;
}

// The items of a sub-pattern group in sequence; repetitions are greedy and never give back.
const char* group_sequence(MatchState* ms, const char* s, const char* p, const char* limit) {
  DepthGuard guard(ms);
  while (p < limit) {
    if (*p == '!') {
      if (p + 1 >= limit) library_error(ms->L, "missing pattern after '!'");
      const char* ep = compound_end(ms, p + 1, limit);
      if (!boundary_holds(ms, s, p + 1, ep)) return nullptr;
      p = ep;
      continue;
    }
    if (*p == '%') {
      s = match_balanced(ms, s, &p, limit);
      if (s == nullptr) return nullptr;
      continue;
    }
    if (*p == '\\' && p + 1 < limit && std::isdigit(uc(p[1]))) {
      s = back_reference(ms, s, p[1] - '0');
      if (s == nullptr) return nullptr;
      p += 2;
      continue;
    }
    const char* ep = compound_end(ms, p, limit);
    Suffix suf = read_suffix(ms, ep, limit);
    size_t n;
    switch (suf.kind) {
      case Suffix::NONE:
        if (!compound_match(ms, s, p, ep, &n)) return nullptr;
        s += n;
        break;
      case Suffix::OPTIONAL:
        if (compound_match(ms, s, p, ep, &n)) s += n;
        break;
      case Suffix::LOOK:
        if (!compound_match(ms, s, p, ep, &n)) return nullptr;
        break;
      case Suffix::NOT_LOOK:
        if (compound_match(ms, s, p, ep, &n)) return nullptr;
        break;
      default: {
        int min = suf.kind == Suffix::PLUS ? 1 : suf.kind == Suffix::STAR ? 0 : suf.min;
        int max = suf.kind == Suffix::COUNT ? suf.max : UNBOUNDED;
        if (suf.lazy) max = min;
        int count = 0;
        while ((max == UNBOUNDED || count < max) && compound_match(ms, s, p, ep, &n) && n > 0) {
          s += n;
          ++count;
        }
        if (count < min) return nullptr;
        break;
      }
    }
    p = suf.next;
  }
  return s;
}

const char* do_match(MatchState* ms, const char* s, const char* p);

// Greedy repetition: the longest run first, then one match fewer at a time.
const char* greedy(MatchState* ms, const char* s, const char* p, const char* ep, const Suffix& suf, int min, int max) {
  std::vector<const char*> ends;  // filled only once a match takes other than one byte
  bool uniform = true;
  int count = 0;
  const char* q = s;
  size_t n;
  bool simple = atom_end(ms, p, ep) == ep;
  ByteTest test;
  bool one_byte = simple && q < ms->src_end && test.read(p, ep);
  if (one_byte) {
    // Whether such an item is of the one-byte kind depends on the item alone, and it answers as
    // the general match does, so the run ends where the general match would stop too.
    const char* limit = ms->src_end;
    if (max != UNBOUNDED && limit - q > max) limit = q + max;
    while (q < limit && test.matches(uc(*q))) ++q;
    count = static_cast<int>(q - s);
  }
  while (!one_byte && (max == UNBOUNDED || count < max) && item_match(ms, q, p, ep, simple, &n) && n > 0) {
    if (uniform && n != 1) {
      uniform = false;
      for (int k = 1; k <= count; ++k) ends.push_back(s + k);
    }
    q += n;
    ++count;
    if (!uniform) ends.push_back(q);
  }
  while (count >= min) {
    const char* at = count == 0 ? s : uniform ? s + count : ends[static_cast<size_t>(count) - 1];
    const char* r = do_match(ms, at, suf.next);
    if (r) return r;
    if (count == 0) break;
    --count;
    if (uniform && count > 0 && uc(s[count]) >= 0x80) {
      // Stepping back over a byte of a multi-byte character goes back to the character's start.
      int k = count;
      while (k > 0 && is_continuation(uc(s[k]))) --k;
      count = k;
      if (count < min) break;
    }
  }
  return nullptr;
}

const char* lazy(MatchState* ms, const char* s, const char* p, const char* ep, const Suffix& suf, int min, int max) {
  int count = 0;
  size_t n;
  while (count < min) {
    if (!compound_match(ms, s, p, ep, &n)) return nullptr;
    s += n;
    ++count;
  }
  for (;;) {
    const char* r = do_match(ms, s, suf.next);
    if (r) return r;
    if (max != UNBOUNDED && count >= max) return nullptr;
    if (!compound_match(ms, s, p, ep, &n) || n == 0) return nullptr;
    s += n;
    ++count;
  }
}

const char* start_capture(MatchState* ms, const char* s, const char* p, ptrdiff_t what) {
  if (ms->level >= MAX_CAPTURES) library_error(ms->L, "too many captures");
  ms->capture[ms->level].init = s;
  ms->capture[ms->level].len = what;
  ms->level++;
  const char* r = do_match(ms, s, p);
  if (r == nullptr) ms->level--;
  return r;
}

const char* end_capture(MatchState* ms, const char* s, const char* p) {
  int l = -1;
  for (int k = ms->level - 1; k >= 0; --k)
    if (ms->capture[k].len == CAP_UNFINISHED) {
      l = k;
      break;
    }
  if (l < 0) library_error(ms->L, "invalid pattern capture");
  ms->capture[l].len = s - ms->capture[l].init;
  const char* r = do_match(ms, s, p);
  if (r == nullptr) ms->capture[l].len = CAP_UNFINISHED;
  return r;
}

const char* do_match(MatchState* ms, const char* s, const char* p) {
  DepthGuard guard(ms);
  const char* limit = ms->p_end;
  while (p < limit) {
    switch (*p) {
      case '(':
        if (p + 1 < limit && p[1] == ')') return start_capture(ms, s, p + 2, CAP_POSITION);
        return start_capture(ms, s, p + 1, CAP_UNFINISHED);
      case ')': return end_capture(ms, s, p + 1);
      case '$':
        if (p + 1 == limit) return s == ms->src_end ? s : nullptr;
        break;
      case '!': {
        if (p + 1 >= limit) {
          if (s == ms->src_end) return s;
          library_error(ms->L, "missing pattern after '!'");
        }
        const char* ep = compound_end(ms, p + 1, limit);
        if (!boundary_holds(ms, s, p + 1, ep)) return nullptr;
        p = ep;
        continue;
      }
      case '%': {
        s = match_balanced(ms, s, &p, limit);
        if (s == nullptr) return nullptr;
        continue;
      }
      case '\\':
        if (p + 1 < limit && std::isdigit(uc(p[1]))) {
          s = back_reference(ms, s, p[1] - '0');
          if (s == nullptr) return nullptr;
          p += 2;
          continue;
        }
        break;
      default: break;
    }
    const char* ep = atom_end(ms, p, limit);
    bool simple = !(ep + 1 < limit && (*ep == '&' || *ep == '|'));
    if (!simple) ep = compound_end(ms, p, limit);
    Suffix suf = read_suffix(ms, ep, limit);
    size_t n;
    if (simple && suf.kind == Suffix::NONE) {
      if (!atom_match(ms, s, p, ep, &n)) return nullptr;
      s += n;
      p = ep;
      continue;
    }
    switch (suf.kind) {
      case Suffix::NONE: {
        // Alternatives backtrack into the rest of the pattern.
        bool alternatives = false;
        for (const char* q = p; q < ep; q = atom_end(ms, q, ep))
          if (*q == '|' && q != p) alternatives = true;
        if (!alternatives) {
          if (!compound_match(ms, s, p, ep, &n)) return nullptr;
          s += n;
          p = ep;
          continue;
        }
        for (const char* a = p; a < ep;) {
          const char* ae = alternative_end(ms, a, ep);
          if (chain_match(ms, s, a, ae, &n)) {
            const char* r = do_match(ms, s + n, ep);
            if (r) return r;
          }
          if (ae < ep && *ae == '|')
            a = ae + 1;
          else
            break;
        }
        return nullptr;
      }
      case Suffix::OPTIONAL: {
        if (compound_match(ms, s, p, ep, &n)) {
          const char* r = do_match(ms, s + n, suf.next);
          if (r) return r;
        }
        p = suf.next;
        continue;
      }
      case Suffix::LOOK:
        if (!compound_match(ms, s, p, ep, &n)) return nullptr;
        p = suf.next;
        continue;
      case Suffix::NOT_LOOK:
        if (compound_match(ms, s, p, ep, &n)) return nullptr;
        p = suf.next;
        continue;
      case Suffix::STAR:
      case Suffix::PLUS: {
        int min = suf.kind == Suffix::PLUS ? 1 : 0;
        return suf.lazy ? lazy(ms, s, p, ep, suf, min, UNBOUNDED) : greedy(ms, s, p, ep, suf, min, UNBOUNDED);
      }
      case Suffix::COUNT:
        if (suf.max == 0) {
          p = suf.next;
          continue;
        }
        if (suf.max != UNBOUNDED && suf.max < suf.min) return nullptr;
        return suf.lazy ? lazy(ms, s, p, ep, suf, suf.min, suf.max) : greedy(ms, s, p, ep, suf, suf.min, suf.max);
    }
  }
  return s;
}

// ---- results ----

void push_capture(MatchState* ms, int i, const char* s, const char* e) {
  if (i >= ms->level) {
    if (i != 0) library_error(ms->L, "invalid capture index");
    push_lstring(ms->L, s, static_cast<size_t>(e - s));
    return;
  }
  ptrdiff_t l = ms->capture[i].len;
  if (l == CAP_UNFINISHED) library_error(ms->L, "unfinished capture");
  if (l == CAP_POSITION)
    push_number(ms->L, static_cast<double>(ms->capture[i].init - ms->src_init + 1));
  else
    push_lstring(ms->L, ms->capture[i].init, static_cast<size_t>(l));
}

// Pushes the captures (or the whole match when there are none); returns their count.
int push_captures(MatchState* ms, const char* s, const char* e, bool whole_if_none) {
  int n = (ms->level == 0 && whole_if_none) ? 1 : ms->level;
  if (!check_stack(ms->L, n + 2)) library_error(ms->L, "stack overflow (%s)", "too many captures");
  for (int i = 0; i < n; ++i) push_capture(ms, i, s, e);
  return n;
}

// The bytes of SPECIALS, as a table.
struct SpecialBytes {
  bool is[256] = {};
  SpecialBytes() {
    for (const char* c = SPECIALS; *c; ++c) is[uc(*c)] = true;
  }
};
const SpecialBytes SPECIAL_BYTES;

bool is_plain(const char* p, size_t len) {
  for (size_t i = 0; i < len; ++i)
    if (SPECIAL_BYTES.is[uc(p[i])]) return false;
  return true;
}

const char* plain_search(const char* s, size_t len, const char* p, size_t plen) {
  if (plen == 0) return s;
  if (plen > len) return nullptr;
  return static_cast<const char*>(memmem(s, len, p, plen));
}

struct PatternEntry;

// How a pattern argument is to be used after its prefixes.
struct PatternText {
  std::string rewritten;  // for "@@": the case-insensitive literal group
  const char* p;
  size_t len;
  bool plain;
  bool anchor;
  // The argument as given, to find it in the cache of read patterns (see PatternCache).
  const char* raw = nullptr;
  size_t raw_len = 0;
  bool prefixes = false;
  bool checked = false;             // found in the cache: read and checked before
  PatternEntry* entry = nullptr;    // its cache entry, while generation still names it
  uint32_t generation = 0;
};

PatternText read_pattern(const char* p, size_t len, bool prefixes) {
  PatternText r{std::string(), p, len, false, false};
  r.raw = p;
  r.raw_len = len;
  r.prefixes = prefixes;
  if (prefixes && len >= 2 && p[0] == '@' && p[1] == '@') {
    r.rewritten = "<" + std::string(p, len) + "@>";
    r.p = r.rewritten.data();
    r.len = r.rewritten.size();
    return r;
  }
  if (prefixes && len >= 1 && p[0] == '@') {
    r.plain = true;
    r.p = p + 1;
    r.len = len - 1;
    if (r.len > 0 && r.p[0] == '=') {
      ++r.p;
      --r.len;
    }
    return r;
  }
  if (is_plain(p, len)) {
    r.plain = true;
    return r;
  }
  if (prefixes && p[0] == '^') {
    r.anchor = true;
    ++r.p;
    --r.len;
  }
  return r;
}

void check_items(MatchState* ms, const char* p, const char* limit, bool in_group);

// The sub-pattern groups among the atoms of the compound p..ep are checked like the pattern.
void check_groups(MatchState* ms, const char* p, const char* ep) {
  for (const char* a = p; a < ep;) {
    const char* ae = atom_end(ms, a, ep);
    if (*a == '<' && a[1] != '@') check_items(ms, a + (a[1] == '^' ? 2 : 1), ae - 1, true);
    if (ae >= ep) break;
    a = ae + 1;  // past the '&' or '|' that joins the next atom
  }
}

// Reads the pattern p..limit item by item, the way the matcher does, without matching: a
// malformed part raises its error even where no match attempt would reach it. A trailing '!' at
// the top level is left to the matcher, since it is allowed where the subject ends.
void check_items(MatchState* ms, const char* p, const char* limit, bool in_group) {
  DepthGuard guard(ms);
  while (p < limit) {
    switch (*p) {
      case '(':
      case ')':
        if (in_group) break;  // inside a group they are plain bytes
        ++p;
        continue;
      case '$':
        if (in_group || p + 1 != limit) break;
        ++p;
        continue;
      case '!': {
        if (p + 1 >= limit) {
          if (in_group) library_error(ms->L, "missing pattern after '!'");
          return;
        }
        const char* ep = compound_end(ms, p + 1, limit);
        check_groups(ms, p + 1, ep);
        p = ep;
        continue;
      }
      case '%': {
        if (p + 1 >= limit) library_error(ms->L, "unbalanced pattern");
        const char* e1 = atom_end(ms, p + 1, limit);
        if (e1 >= limit) library_error(ms->L, "unbalanced pattern");
        const char* e2 = atom_end(ms, e1, limit);
        check_groups(ms, p + 1, e1);
        check_groups(ms, e1, e2);
        p = e2 < limit && *e2 == '?' ? e2 + 1 : e2;
        continue;
      }
      case '\\':
        if (p + 1 < limit && std::isdigit(uc(p[1]))) {
          p += 2;
          continue;
        }
        break;
      default: break;
    }
    const char* ep = compound_end(ms, p, limit);
    check_groups(ms, p, ep);
    p = read_suffix(ms, ep, limit).next;
  }
}

// The patterns read and checked before, by their bytes. A scanning loop reads and checks the same
// few patterns again on every call (a tokenizer spent a seventh of its time reading its patterns
// over), and both depend on the pattern's bytes alone, so one equal to a pattern that passed
// passes again and reads the same. Small, per thread, replaced in turn; longer patterns (and
// "@@" ones, which are rewritten) are read and checked on every call.
//
// An entry also keeps, for the first item of the pattern when a match cannot begin without it
// (one atom: a class, a set or a literal, with no suffix that lets it match nothing), whether
// each ASCII byte matches it; for ASCII bytes the answer depends on the byte alone. An anchored
// search that fails at its first item costs one look-up, and a search for such a set skips
// bytes without matching them again. The answers are learned as the bytes are met.
enum : uint8_t { ANSWER_UNKNOWN = 0, ANSWER_STARTS = 1, ANSWER_NEVER = 2 };

// A pattern proper made only of items that always take exactly one byte (a byte, an escape, a
// range, '.', a set of ASCII members), each once, optional or repeated greedily, perhaps closed
// by '$': what a scanning loop mostly searches with. Each item's answer for every byte is worked
// out once, by the general matcher on that byte alone (for these items it depends on the byte
// alone), so matching is a table look-up per byte. Repetitions give back bytes exactly as the
// general greedy repetition does, multi-byte characters whole. No captures: the match is all
// there is to report.
struct ByteItem {
  uint64_t bits[4] = {};
  int min = 0;
  int max = 0;  // UNBOUNDED or a count
  bool has(unsigned char c) const { return (bits[c >> 6] >> (c & 63)) & 1; }
};

struct ByteProgram {
  static constexpr int MOST_ITEMS = 12;
  int count = 0;  // 0: the pattern is not of this shape
  bool to_end = false;
  ByteItem items[MOST_ITEMS];
};

struct PatternEntry {
  static constexpr size_t LONGEST = 64;
  uint32_t length = 0;  // 0: a free entry (an empty pattern is plain and needs no entry)
  uint32_t generation = 0;
  bool prefixes = false;
  bool plain = false;
  bool anchor = false;
  uint8_t skip = 0;           // bytes of prefixes before the pattern proper
  int16_t first_begin = -1;   // the required first atom, as offsets in the pattern proper; -1: none
  int16_t first_end = -1;
  uint8_t answers[128] = {};
  char bytes[LONGEST] = {};
  ByteProgram program;
};

// Equal bytes, for the few bytes of a pattern (at most PatternEntry::LONGEST).
inline bool same_pattern_bytes(const char* a, const char* b, size_t n) {
  if (n < 8) {
    if (n >= 4) {  // two overlapping words cover 4 to 7 bytes
      uint32_t u, v, w, z;
      std::memcpy(&u, a, 4);
      std::memcpy(&v, b, 4);
      std::memcpy(&w, a + n - 4, 4);
      std::memcpy(&z, b + n - 4, 4);
      return ((u ^ v) | (w ^ z)) == 0;
    }
    for (size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return false;
    return true;
  }
  uint64_t x, y;
  for (size_t i = 0; i + 8 <= n; i += 8) {
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return false;
  }
  std::memcpy(&x, a + n - 8, 8);
  std::memcpy(&y, b + n - 8, 8);
  return x == y;
}

struct PatternCache {
  static constexpr int COUNT = 16;
  static constexpr int SEEN = 64;
  // Where the bytes of an entry were last met (the pattern string's bytes), by a hash of that
  // address: the entry to compare first. The bytes are always compared.
  const char* seen_at[SEEN] = {};
  uint8_t seen_entry[SEEN] = {};
  PatternEntry entries[COUNT];
  int next = 0;
  uint32_t generation = 0;

  static int seen_slot(const char* p) {
    auto a = reinterpret_cast<uintptr_t>(p);
    return static_cast<int>(((a >> 4) ^ (a >> 10)) & (SEEN - 1));
  }
  static bool holds(const PatternEntry& e, const char* p, size_t len, bool prefixes) {
    return e.length == len && e.prefixes == prefixes && same_pattern_bytes(e.bytes, p, len);
  }
  // The entry last met at these bytes' address comes first (inline, for the loop that passes the
  // same pattern string again and again); the others are compared out of line.
  PatternEntry* find(const char* p, size_t len, bool prefixes) {
    int slot = seen_slot(p);
    if (seen_at[slot] == p && holds(entries[seen_entry[slot]], p, len, prefixes)) return &entries[seen_entry[slot]];
    return find_elsewhere(p, len, prefixes, slot);
  }
  [[gnu::noinline]] PatternEntry* find_elsewhere(const char* p, size_t len, bool prefixes, int slot) {
    for (int i = 0; i < COUNT; ++i) {
      PatternEntry& e = entries[i];
      if (holds(e, p, len, prefixes)) {
        seen_at[slot] = p;
        seen_entry[slot] = static_cast<uint8_t>(i);
        return &e;
      }
    }
    return nullptr;
  }
  PatternEntry* add(const char* p, size_t len, bool prefixes) {
    if (len == 0 || len > PatternEntry::LONGEST) return nullptr;
    int i = next;
    next = (next + 1) % COUNT;
    PatternEntry& e = entries[i];
    int slot = seen_slot(p);
    seen_at[slot] = p;
    seen_entry[slot] = static_cast<uint8_t>(i);
    e.length = static_cast<uint32_t>(len);
    e.generation = ++generation;
    e.prefixes = prefixes;
    std::memcpy(e.bytes, p, len);
    std::memset(e.answers, ANSWER_UNKNOWN, sizeof e.answers);
    e.first_begin = e.first_end = -1;
    e.program.count = 0;
    return &e;
  }
};

PatternCache& pattern_cache() { return ThreadCache<PatternCache>::get(); }

void read_pattern_uncached(const char* p, size_t len, bool prefixes, PatternText* pt);

// Reads a pattern argument, from the cache when it was read before.
inline void read_pattern_cached(const char* p, size_t len, bool prefixes, PatternText* pt) {
  if (len != 0 && len <= PatternEntry::LONGEST) {
    if (PatternEntry* e = pattern_cache().find(p, len, prefixes)) {
      pt->p = p + e->skip;
      pt->len = len - e->skip;
      pt->plain = e->plain;
      pt->anchor = e->anchor;
      pt->raw = p;
      pt->raw_len = len;
      pt->prefixes = prefixes;
      pt->checked = true;
      pt->entry = e;
      pt->generation = e->generation;
      return;
    }
  }
  read_pattern_uncached(p, len, prefixes, pt);
}

[[gnu::noinline]] void read_pattern_uncached(const char* p, size_t len, bool prefixes, PatternText* pt) {
  *pt = read_pattern(p, len, prefixes);
  if (!pt->rewritten.empty()) pt->p = pt->rewritten.data();  // the text moved with the string
  if (pt->plain && pt->rewritten.empty()) {
    // A plain pattern needs no check; keep what was read.
    if (PatternEntry* e = pattern_cache().add(p, len, prefixes)) {
      e->plain = true;
      e->anchor = false;
      e->skip = static_cast<uint8_t>(pt->p - p);
    }
  }
}

// The cache entry of a read pattern, when it still holds that pattern (a script called back
// from a replacement may have replaced it since).
inline PatternEntry* live_entry(const PatternText& pt) {
  return pt.entry != nullptr && pt.entry->generation == pt.generation ? pt.entry : nullptr;
}

// The atom a match of the pattern proper must begin with, if there is one the answers can tell.
void find_first_atom(MatchState* ms, const PatternText& pt, PatternEntry* e) {
  const char* limit = pt.p + pt.len;
  const char* q = pt.p;
  while (q < limit && *q == '(' && q + 1 < limit && q[1] != ')') ++q;  // opening captures take nothing
  if (q >= limit) return;
  switch (*q) {
    case '(': case ')': case '$': case '!': case '%': case '.': case ':': case '<': return;
    case '\\':
      if (q + 1 < limit && std::isdigit(uc(q[1]))) return;
      break;
    default: break;
  }
  const char* ep = atom_end(ms, q, limit);
  if (ep + 1 < limit && (*ep == '&' || *ep == '|')) return;
  Suffix suf = read_suffix(ms, ep, limit);
  bool required = suf.kind == Suffix::NONE || suf.kind == Suffix::PLUS ||
                  (suf.kind == Suffix::COUNT && suf.min >= 1 && suf.max != 0);
  if (!required || ep - pt.p > INT16_MAX) return;
  e->first_begin = static_cast<int16_t>(q - pt.p);
  e->first_end = static_cast<int16_t>(ep - pt.p);
}

// Reads the pattern proper p..limit into a byte program; false (and no program) when it is not
// of that shape. Anything unusual is left to the general matcher.
bool compile_bytes(MatchState* ms, const char* p, const char* limit, ByteProgram* prog) {
  prog->count = 0;
  prog->to_end = false;
  int n = 0;
  while (p < limit) {
    char c = *p;
    if (c == '$' && p + 1 == limit) {
      prog->to_end = true;
      break;
    }
    if (c == '(' || c == ')' || c == '$' || c == '!' || c == '%' || c == ':' || c == '<') return false;
    if (c == '\\' && p + 1 < limit && std::isdigit(uc(p[1]))) return false;
    const char* ep = atom_end(ms, p, limit);
    if (ep < limit && (*ep == '&' || *ep == '|')) return false;
    ByteTest test;
    if (!test.read(p, ep)) {
      if (c != '[') return false;
      for (const char* q = p + 1; q + 1 < ep; ++q)
        if (*q == ':' || uc(*q) >= 0x80) return false;  // members of more than one byte
    }
    Suffix suf = read_suffix(ms, ep, limit);
    if (suf.lazy || n == ByteProgram::MOST_ITEMS) return false;
    ByteItem& item = prog->items[n];
    switch (suf.kind) {
      case Suffix::NONE: item.min = 1, item.max = 1; break;
      case Suffix::OPTIONAL: item.min = 0, item.max = 1; break;
      case Suffix::STAR: item.min = 0, item.max = UNBOUNDED; break;
      case Suffix::PLUS: item.min = 1, item.max = UNBOUNDED; break;
      default: return false;
    }
    // The general matcher's answer for each byte, as the only byte of a subject.
    MatchState one;
    one.L = ms->L;
    std::memset(item.bits, 0, sizeof item.bits);
    for (int b = 0; b < 256; ++b) {
      char subject = static_cast<char>(b);
      one.src_init = &subject;
      one.src_end = &subject + 1;
      one.p_end = limit;
      size_t taken = 0;
      if (!atom_match(&one, &subject, p, ep, &taken)) continue;
      if (taken != 1) return false;
      item.bits[b >> 6] |= uint64_t{1} << (b & 63);
    }
    ++n;
    p = suf.next;
  }
  prog->count = n;
  return n > 0;
}

// Matches the items from k on at s, backtracking as do_match does for these items.
const char* run_bytes(const ByteProgram& prog, int k, const char* s, const char* end) {
  for (; k < prog.count; ++k) {
    const ByteItem& item = prog.items[k];
    if (item.min == 1 && item.max == 1) {
      if (s < end && item.has(uc(*s))) {
        ++s;
        continue;
      }
      return nullptr;
    }
    const char* limit = end;
    if (item.max != UNBOUNDED && limit - s > item.max) limit = s + item.max;
    const char* q = s;
    while (q < limit && item.has(uc(*q))) ++q;
    ptrdiff_t count = q - s;
    if (k + 1 == prog.count && !prog.to_end) return count >= item.min ? q : nullptr;  // nothing left to fail
    while (count >= item.min) {
      if (const char* r = run_bytes(prog, k + 1, s + count, end)) return r;
      if (count == 0) break;
      --count;
      if (count > 0 && uc(s[count]) >= 0x80) {
        // Stepping back over a byte of a multi-byte character goes back to the character's start.
        ptrdiff_t j = count;
        while (j > 0 && is_continuation(uc(s[j]))) --j;
        count = j;
        if (count < item.min) break;
      }
    }
    return nullptr;
  }
  if (prog.to_end && s != end) return nullptr;
  return s;
}

void prepare(MatchState* ms, VmState* L, const char* s, size_t len, PatternText& pt) {
  ms->L = L;
  ms->src_init = s;
  ms->src_end = s + len;
  ms->p_end = pt.p + pt.len;
  ms->level = 0;
  ms->depth = 0;
  if (pt.plain || pt.checked) return;
  check_items(ms, pt.p, ms->p_end, false);
  pt.checked = true;
  if (!pt.rewritten.empty()) return;
  if (PatternEntry* e = pattern_cache().add(pt.raw, pt.raw_len, pt.prefixes)) {
    e->plain = false;
    e->anchor = pt.anchor;
    e->skip = static_cast<uint8_t>(pt.p - pt.raw);
    find_first_atom(ms, pt, e);
    if (compile_bytes(ms, pt.p, ms->p_end, &e->program) && e->first_begin >= 0) {
      // The required first atom is the program's first item: its answers are all known.
      for (int c = 0; c < 128; ++c)
        e->answers[c] = e->program.items[0].has(static_cast<unsigned char>(c)) ? ANSWER_STARTS : ANSWER_NEVER;
    }
    pt.entry = e;
    pt.generation = e->generation;
  }
}

// The first byte a match must begin with, when the pattern starts with a plain byte item that
// has no suffix (lets the search skip ahead with memchr).
int leading_byte(const PatternText& pt) {
  if (pt.len < 2) return -1;
  char c = pt.p[0];
  if (std::strchr(SPECIALS, c) || c == ')' || c == '!' || c == '&' || c == '|' || uc(c) >= 0x80) return -1;
  char next = pt.p[1];
  if (std::strchr("*+?{&|-", next)) return -1;
  return uc(c);
}

// A match of the pattern proper at s: by its byte program when its live cache entry has one.
inline const char* match_here(MatchState* ms, const PatternEntry* entry, const char* s, const char* p) {
  if (entry && entry->program.count) return run_bytes(entry->program, 0, s, ms->src_end);
  return do_match(ms, s, p);
}

// Searches from byte offset init; on success *start and the returned end delimit the match.
// The search of a pattern whose required first item is a set: start positions whose ASCII byte
// the set does not match are skipped. For an ASCII byte the set's answer depends on that byte
// alone (its multi-byte members start with lead bytes), so each answer is found once by matching
// the set itself; other bytes are left to the full match. Apart from the plain search, the most
// common shape of a replacement pattern ("[...]" for the characters to escape); kept out of
// search() so that the other searches do not pay for its table.
// The answers are the cache entry's when it has them for this set.
const char* search_after_set(MatchState* ms, const PatternText& pt, const char* s, const char* set, const char* set_end,
                             const char** start) {
  uint8_t local[128];
  uint8_t* ascii_start = local;
  PatternEntry* entry = live_entry(pt);
  if (entry && entry->first_begin >= 0 && pt.p + entry->first_begin == set && pt.p + entry->first_end == set_end)
    ascii_start = entry->answers;
  else
    std::memset(local, ANSWER_UNKNOWN, sizeof local);
  for (;; ++s) {
    while (s < ms->src_end && uc(*s) < 0x80) {
      uint8_t& known = ascii_start[uc(*s)];
      if (known == ANSWER_UNKNOWN) {
        size_t n;
        known = atom_match(ms, s, set, set_end, &n) ? ANSWER_STARTS : ANSWER_NEVER;
      }
      if (known == ANSWER_STARTS) break;
      ++s;
    }
    // A required set matches nothing at the end of the subject.
    if (s == ms->src_end) return nullptr;
    ms->level = 0;
    const char* e = match_here(ms, entry, s, pt.p);
    if (e) {
      *start = s;
      return e;
    }
  }
}

const char* search(MatchState* ms, const PatternText& pt, size_t init, const char** start) {
  const char* s = ms->src_init + init;
  PatternEntry* entry = live_entry(pt);
  if (pt.anchor) {
    // An anchored search whose required first atom does not match here fails at once.
    if (entry && entry->first_begin >= 0) {
      if (s >= ms->src_end) return nullptr;  // the atom takes a byte
      if (uc(*s) < 0x80) {
        uint8_t& known = entry->answers[uc(*s)];
        if (known == ANSWER_UNKNOWN) {
          size_t n;
          known = atom_match(ms, s, pt.p + entry->first_begin, pt.p + entry->first_end, &n) ? ANSWER_STARTS
                                                                                               : ANSWER_NEVER;
        }
        if (known == ANSWER_NEVER) return nullptr;
      }
    }
  }
  int lead = pt.anchor ? -1 : leading_byte(pt);
  // A required one-byte first item (after opening captures) lets the search skip start
  // positions where it cannot match.
  const char* first = pt.p;
  const char* first_end = nullptr;
  ByteTest first_test;
  if (!pt.anchor && lead < 0) {
    while (first < ms->p_end && *first == '(' && first + 1 < ms->p_end && first[1] != ')') ++first;
    if (first < ms->p_end && *first != '(' && *first != ')' && *first != '!' && *first != '%' && *first != '$' &&
        !(*first == '\\' && first + 1 < ms->p_end && first[1] >= '0' && first[1] <= '9')) {
      const char* e = atom_end(ms, first, ms->p_end);
      bool optional = e < ms->p_end && std::strchr("*?{&|", *e) != nullptr;
      if (!optional && (first_test.read(first, e) || ms->src_end == s)) first_end = e;
      if (!optional && !first_end && *first == '[') return search_after_set(ms, pt, s, first, e, start);
    }
  }
  do {
    if (lead >= 0) {
      const void* hit = std::memchr(s, lead, static_cast<size_t>(ms->src_end - s));
      if (hit == nullptr) return nullptr;
      s = static_cast<const char*>(hit);
    } else if (first_end) {
      while (s < ms->src_end && !first_test.matches(uc(*s))) ++s;
      if (s == ms->src_end) return nullptr;
    }
    ms->level = 0;
    const char* e = match_here(ms, entry, s, pt.p);
    if (e) {
      *start = s;
      return e;
    }
  } while (s++ < ms->src_end && !pt.anchor);
  return nullptr;
}

size_t init_position(VmState* L, int idx, size_t len, bool* beyond) {
  int64_t init = from_end(opt_int64(L, idx, 1), static_cast<int64_t>(len));
  if (init < 1) init = 1;
  *beyond = init > static_cast<int64_t>(len) + 1;
  return static_cast<size_t>(init - 1);
}

int find_or_match(VmState* L, bool find) {
  size_t len, plen;
  const char* s = check_text(L, ARG1, &len);
  const char* pat = check_text(L, ARG2, &plen);
  bool beyond;
  size_t init = init_position(L, ARG3, len, &beyond);
  if (beyond) return 0;
  bool chars = find && !is_falsy(*stack_address(L, ARG4));
  auto position = [&](size_t byte_offset) {
    return static_cast<double>(chars ? utf8_count(s, byte_offset) : byte_offset);
  };
  // The results go into the free slots every native call starts with (at most two here).
  if (plen != 0 && plen <= PatternEntry::LONGEST) {
    // The anchored search of a scanning loop, with a pattern read and checked before, mostly
    // fails at its first atom, which the cache entry answers for most bytes; and when the
    // pattern has a byte program, the one attempt needs nothing else set up (no captures).
    // Answered here before anything else is read; the general path below gives the same.
    PatternEntry* entry = pattern_cache().find(pat, plen, true);
    if (entry && entry->anchor) {
      if (entry->first_begin >= 0 &&
          (init >= len || (uc(s[init]) < 0x80 && entry->answers[uc(s[init])] == ANSWER_NEVER))) {
        push(L, make_null());
        return 1;
      }
      if (find && entry->program.count && get_top(L) + 2 <= STACK_WINDOW_LIMIT) {
        const char* e = run_bytes(entry->program, 0, s + init, s + len);
        if (e == nullptr) {
          push(L, make_null());
          return 1;
        }
        push(L, make_number(position(init) + 1));
        push(L, make_number(position(static_cast<size_t>(e - s))));
        return 2;
      }
    }
  }
  PatternText pt;
  read_pattern_cached(pat, plen, true, &pt);
  if (pt.plain) {
    const char* hit = plain_search(s + init, len - init, pt.p, pt.len);
    if (hit == nullptr) {
      push(L, make_null());
      return 1;
    }
    size_t a = static_cast<size_t>(hit - s);
    if (find) {
      push(L, make_number(position(a) + 1));
      push(L, make_number(position(a + pt.len)));
      return 2;
    }
    push_lstring(L, hit, pt.len);
    return 1;
  }
  MatchState ms;
  prepare(&ms, L, s, len, pt);
  const char* start;
  const char* e = search(&ms, pt, init, &start);
  if (e == nullptr) {
    push(L, make_null());
    return 1;
  }
  if (find) {
    size_t a = static_cast<size_t>(start - s), b = static_cast<size_t>(e - s);
    push(L, make_number(position(a) + 1));
    push(L, make_number(position(b)));
    // No captures: push_captures would only check for room for two more slots.
    if (ms.level == 0 && get_top(L) + 2 <= STACK_WINDOW_LIMIT) return 2;
    return push_captures(&ms, nullptr, nullptr, false) + 2;
  }
  return push_captures(&ms, start, e, true);
}

int gmatch_step(VmState* L) {
  size_t len, plen;
  const char* s = to_text(L, upvalue_index(1), &len);
  const char* pat = to_text(L, upvalue_index(2), &plen);
  size_t pos = static_cast<size_t>(to_number(L, upvalue_index(3)));
  if (s == nullptr || pat == nullptr || pos > len) return 0;
  PatternText pt;
  read_pattern_cached(pat, plen, false, &pt);
  MatchState ms;
  prepare(&ms, L, s, len, pt);
  const char* start;
  const char* e;
  if (pt.plain) {
    start = plain_search(s + pos, len - pos, pt.p, pt.len);
    e = start ? start + pt.len : nullptr;
  } else {
    e = search(&ms, pt, pos, &start);
  }
  if (e == nullptr) {
    push_number(L, static_cast<double>(len + 1));
    replace(L, upvalue_index(3));
    return 0;
  }
  size_t next = static_cast<size_t>(e - s);
  if (e == start) ++next;
  push_number(L, static_cast<double>(next));
  replace(L, upvalue_index(3));
  return push_captures(&ms, start, e, true);
}

// Adds the replacement for one match to the buffer.
void add_replacement(MatchState* ms, StringBuffer& b, int repl_idx, int subject_idx, const char* s, const char* e) {
  VmState* L = ms->L;
  int type = type_of(L, repl_idx);
  if (type == TAG_STRING || type == TAG_NUMBER) {
    size_t rl;
    const char* r = to_lstring(L, repl_idx, &rl);
    for (size_t i = 0; i < rl; ++i) {
      char c = r[i];
      if (c != '\\' || i + 1 >= rl) {
        b.add_char(c);
        continue;
      }
      char d = r[++i];
      if (d == '0') {
        b.add(s, static_cast<size_t>(e - s));
      } else if (d >= '1' && d <= '9') {
        ensure_stack(L, 2);
        push_capture(ms, d - '1', s, e);
        b.add_top();
      } else {
        b.add_char(d);
      }
    }
    return;
  }
  ensure_stack(L, 4);
  if (type == TAG_TABLE) {
    push_value(L, repl_idx);
    push_capture(ms, 0, s, e);
    get_table(L, -2);
    remove(L, -2);
  } else {
    push_value(L, repl_idx);
    push_value(L, subject_idx);
    int n = push_captures(ms, s, e, true);
    call(L, n + 1, 1);
  }
  Value* v = L->top - 1;
  if (is_falsy(*v)) {
    pop(L, 1);
    b.add(s, static_cast<size_t>(e - s));
    return;
  }
  if (v->tag != TAG_STRING && v->tag != TAG_NUMBER)
    library_error(L, "invalid replacement value (a %s)", value_type_name(v));
  b.add_top();
}

// One replacement pass of pattern (at pattern_idx) by repl over the subject at subject_idx;
// pushes the new string and returns the count.
int64_t replace_once(VmState* L, int subject_idx, int pattern_idx, int repl_idx, int64_t max_n) {
  size_t len, plen;
  const char* s = check_text(L, subject_idx, &len);
  const char* pat = check_text(L, pattern_idx, &plen);
  s = to_text(L, subject_idx, &len);
  PatternText pt;
  read_pattern_cached(pat, plen, true, &pt);
  bool explicit_plain = plen >= 1 && pat[0] == '@' && !(plen >= 2 && pat[1] == '@');
  int type = type_of(L, repl_idx);
  if (explicit_plain) {
    check_text(L, repl_idx, &len);
    s = to_text(L, subject_idx, &len);
  } else if (type != TAG_STRING && type != TAG_NUMBER && type != TAG_TABLE && type != TAG_FUNCTION) {
    arg_error(L, repl_idx, "\n{Expected}:string/function/table ");
  }
  StringBuffer b(L);
  int64_t count = 0;
  MatchState ms;
  prepare(&ms, L, s, len, pt);
  size_t at = 0;
  if (explicit_plain) {
    size_t rl;
    const char* r = to_text(L, repl_idx, &rl);
    while (count < max_n && pt.len > 0) {
      const char* hit = plain_search(s + at, len - at, pt.p, pt.len);
      if (hit == nullptr) break;
      b.add(s + at, static_cast<size_t>(hit - s) - at);
      b.add(r, rl);
      at = static_cast<size_t>(hit - s) + pt.len;
      ++count;
    }
    b.add(s + at, len - at);
    b.finish();
    return count;
  }
  while (count < max_n && at <= len) {
    const char* start;
    const char* e;
    if (pt.plain) {
      start = plain_search(s + at, len - at, pt.p, pt.len);
      e = start ? start + pt.len : nullptr;
      ms.level = 0;
    } else {
      e = search(&ms, pt, at, &start);
    }
    if (e == nullptr) break;
    b.add(s + at, static_cast<size_t>(start - s) - at);
    ++count;
    add_replacement(&ms, b, repl_idx, subject_idx, start, e);
    at = static_cast<size_t>(e - s);
    if (e == start) {
      if (at < len) b.add_char(s[at]);
      ++at;
    }
    if (pt.anchor) break;
  }
  if (count == 0) {
    // Nothing replaced: the result is the subject's own bytes, which a narrow string subject
    // already is (strings are interned, so this is the string the buffer would make).
    const Value* subject = stack_address(L, subject_idx);
    if (subject->tag == TAG_STRING && !subject->string()->is_wide()) {
      push_value(L, subject_idx);
      return 0;
    }
  }
  if (at < len) b.add(s + at, len - at);
  b.finish();
  return count;
}

}  // namespace

int str_find(VmState* L) { return find_or_match(L, true); }
int str_match(VmState* L) { return find_or_match(L, false); }

int str_gmatch(VmState* L) {
  size_t len;
  check_text(L, ARG1, &len);
  check_text(L, ARG2, &len);
  set_top(L, ARG2);
  push_number(L, 0);
  push_closure(L, gmatch_step, 3);
  return 1;
}

int str_replace(VmState* L) {
  size_t len;
  check_text(L, ARG1, &len);
  if (type_of(L, ARG2) == TAG_TABLE) {
    // Each entry of the table is a pattern and its replacement, applied in table order.
    int64_t max_n = opt_int64(L, ARG3, static_cast<int64_t>(len) + 1);
    set_top(L, ARG3);
    push_value(L, ARG1);  // the current subject, at ARG4
    ensure_stack(L, 8);
    int64_t total = 0;
    push_null(L);
    while (next(L, ARG2)) {
      // Stack: subject, key, value.
      int key = get_top(L) - 1;
      int kt = type_of(L, key);
      if ((kt == TAG_STRING || kt == TAG_NUMBER) && max_n > 0) {
        push_value(L, key);  // keeps next()'s key untouched by number conversion
        int pattern = get_top(L);
        total += replace_once(L, ARG4, pattern, key + 1, max_n);
        replace(L, ARG4);
        pop(L, 1);
      }
      pop(L, 1);
    }
    push_value(L, ARG4);
    push_number(L, static_cast<double>(total));
    return 2;
  }
  check_text(L, ARG2, &len);
  size_t slen;
  to_text(L, ARG1, &slen);
  int64_t max_n = opt_int64(L, ARG4, static_cast<int64_t>(slen) + 1);
  set_top(L, ARG4);
  if (max_n <= 0) {
    push_value(L, ARG1);
    push_number(L, 0);
    return 2;
  }
  int64_t count = replace_once(L, ARG1, ARG2, ARG3, max_n);
  push_number(L, static_cast<double>(count));
  return 2;
}

}  // namespace quevro
