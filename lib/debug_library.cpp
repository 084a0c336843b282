// The native `debug` namespace. Levels count from the function that called the library function
// (level 1); a fiber given as the first argument is inspected instead of the calling one.
#include "lib/debug_library.h"

#include <cstring>
#include <string>

#include "runtime/library_registry.h"
#include "lib/library_support.h"
#include "vm/calls.h"
#include "vm/debug_access.h"

namespace quevro {

namespace {

// The fiber a function inspects and the index of its first argument after the optional fiber.
struct Inspected {
  VmState* fiber;
  int first;
};

Inspected inspected_fiber(VmState* L) {
  if (VmState* F = to_fiber(L, ARG1)) return {F, ARG2};
  return {L, ARG1};
}

// Stores the value on top of the stack as field `key` of the table at absolute index t.
void store_field(VmState* L, int t, const char* key) {
  push_string(L, key);
  insert(L, -2);
  raw_set(L, t);
}

void store_text(VmState* L, int t, const char* key, const std::string& text) {
  push_lstring(L, text.data(), text.size());
  store_field(L, t, key);
}

void store_number(VmState* L, int t, const char* key, double n) {
  push_number(L, n);
  store_field(L, t, key);
}

// ---------------------------------------------------------------------------------------------
// debug.queryinfo

constexpr const char* DEFAULT_QUERY = "select source,function,upvars,name,currentline,activelines";
constexpr size_t MAX_QUERY_LETTERS = 6;
constexpr const char* KNOWN_QUERY_LETTERS = "scnuaf";

// The query's option letters: every character right after a blank or a comma that is itself
// neither, so the first word ("select") never counts and each later word gives its initial.
std::string query_letters(const char* text, size_t len) {
  auto separates = [](char c) { return c == ' ' || c == '\t' || c == ','; };
  std::string letters;
  for (size_t i = 1; i < len && letters.size() < MAX_QUERY_LETTERS; ++i)
    if (separates(text[i - 1]) && !separates(text[i])) letters.push_back(text[i]);
  return letters;
}

bool is_known_letter(char c) { return c != '\0' && std::strchr(KNOWN_QUERY_LETTERS, c) != nullptr; }

// What a query describes: a level of a fiber, or a function given as an argument.
struct QuerySubject {
  VmState* fiber;
  StackLevel level;
  bool is_level;
  int argument;
};

void push_subject_function(VmState* L, const QuerySubject& s) {
  if (s.is_level)
    push_level_function(L, s.fiber, s.level);
  else
    push_value(L, s.argument);
}

void push_source_table(VmState* L, const FunctionReport& r) {
  new_table(L, 0, 5);
  int t = get_top(L);
  if (!r.source.empty() && r.source[0] == '@')
    store_text(L, t, "file", r.source.substr(1));
  else
    store_text(L, t, "code", r.source);
  store_text(L, t, "src", r.short_source);
  store_number(L, t, "beginline", r.line_defined);
  store_number(L, t, "endline", r.last_line_defined);
  store_text(L, t, "kind", r.kind);
}

void add_query_field(VmState* L, int t, char letter, const QuerySubject& s, const FunctionReport& r) {
  switch (letter) {
    case 's':
      push_source_table(L, r);
      store_field(L, t, "source");
      break;
    case 'c': store_number(L, t, "currentline", r.current_line); break;
    case 'u': store_number(L, t, "upvars", r.upvalue_count); break;
    case 'n':
      store_text(L, t, "name", r.name);
      store_text(L, t, "name_where", r.name_kind);
      break;
    case 'a':
      push_subject_function(L, s);
      push_active_lines(L, -1);
      remove(L, -2);
      if (type_of(L, -1) == TAG_NULL)
        pop(L, 1);
      else
        store_field(L, t, "activelines");
      break;
    case 'f':
      push_subject_function(L, s);
      if (type_of(L, -1) == TAG_NULL)
        pop(L, 1);
      else
        store_field(L, t, "function");
      break;
    default: break;
  }
}

int dbg_queryinfo(VmState* L) {
  Inspected in = inspected_fiber(L);
  int subject_at = in.first;
  int query_at = in.first + 1;
  size_t len;
  const char* query = opt_lstring(L, query_at, DEFAULT_QUERY, &len);
  std::string letters = query_letters(query, len);
  QuerySubject s{in.fiber, {}, false, subject_at};
  FunctionReport report;
  if (is_number(L, subject_at)) {
    if (!find_level(in.fiber, to_integer(L, subject_at), &s.level)) {
      push_null(L);
      return 1;
    }
    s.is_level = true;
    report = describe_level(in.fiber, s.level);
  } else if (type_of(L, subject_at) == TAG_FUNCTION) {
    report = describe_function(L, subject_at);
  } else {
    arg_error(L, subject_at, "\n{Expected}:function or level ");
  }
  for (char letter : letters)
    if (!is_known_letter(letter)) arg_error(L, query_at, "invalid query");
  new_table(L, 0, 8);
  int t = get_top(L);
  for (char letter : letters) add_query_field(L, t, letter, s, report);
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Functions, namespaces, local variables and upvalues

int dbg_getfunction(VmState* L) {
  int level = opt_integer(L, ARG1, 1);
  if (level <= 0) {
    push_fiber(L, L);
    return 1;
  }
  StackLevel at;
  if (!find_level(L, level, &at)) arg_error(L, ARG1, "invalid level");
  if (at.tail_call) library_error(L, "no function environment for tail call at level %d", level);
  push_level_function(L, L, at);
  return 1;
}

int dbg_getnamespace(VmState* L) {
  if (type_of(L, ARG1) != TAG_FUNCTION) return 0;
  if (is_script_function(L, ARG1))
    get_env(L, ARG1);
  else
    push_value(L, GLOBALS_INDEX);  // native functions run in the global namespace
  return 1;
}

StackLevel checked_level(VmState* L, const Inspected& in) {
  int level = check_integer(L, in.first);
  StackLevel at;
  if (!find_level(in.fiber, level, &at)) arg_error(L, in.first, "level out of range");
  return at;
}

int dbg_getlocalvar(VmState* L) {
  Inspected in = inspected_fiber(L);
  StackLevel at = checked_level(L, in);
  int n = check_integer(L, in.first + 1);
  std::string name;
  if (!push_local(L, in.fiber, at, n, &name)) {
    push_null(L);
    return 1;
  }
  push_lstring(L, name.data(), name.size());
  insert(L, -2);
  return 2;
}

int dbg_setlocalvar(VmState* L) {
  Inspected in = inspected_fiber(L);
  StackLevel at = checked_level(L, in);
  int n = check_integer(L, in.first + 1);
  check_any(L, in.first + 2);
  push_value(L, in.first + 2);
  std::string name;
  if (!set_local(L, in.fiber, at, n, &name)) {
    push_null(L);
    return 1;
  }
  push_lstring(L, name.data(), name.size());
  return 1;
}

int dbg_getupvar(VmState* L) {
  check_type(L, ARG1, TAG_FUNCTION);
  int n = check_integer(L, ARG2);
  std::string name;
  if (!push_upvalue(L, ARG1, n, &name)) return 0;
  push_lstring(L, name.data(), name.size());
  insert(L, -2);
  return 2;
}

int dbg_setupvar(VmState* L) {
  check_type(L, ARG1, TAG_FUNCTION);
  int n = check_integer(L, ARG2);
  check_any(L, ARG3);
  push_value(L, ARG3);
  std::string name;
  if (!set_upvalue(L, ARG1, n, &name)) return 0;
  push_lstring(L, name.data(), name.size());
  return 1;
}

// ---------------------------------------------------------------------------------------------
// debug.traceback and debug.callcount

constexpr int FIRST_LEVELS = 12;
constexpr int LAST_LEVELS = 10;

std::string traceback_line(const FunctionReport& r) {
  std::string line = "\n\t" + r.short_source + ":";
  if (r.current_line > 0) line += std::to_string(r.current_line) + ":";
  std::string kind = r.kind;
  if (!r.name.empty())
    line += " in function '" + r.name + "'";
  else if (kind == "main")
    line += " in main chunk";
  else if (kind == "kernel" || kind == "tail")
    line += " ?";
  else
    line += " in function <" + r.short_source + ":" + std::to_string(r.line_defined) + ">";
  return line;
}

// The listing of F's levels from `start` on: the first 12, then, when more than ten follow, a
// "..." line and the last ten.
std::string traceback_levels(VmState* F, int start) {
  std::string text;
  StackLevel at;
  int shown = 0;
  for (int level = start; find_level(F, level, &at); ++level) {
    if (shown == FIRST_LEVELS) {
      StackLevel beyond;
      if (find_level(F, level + LAST_LEVELS, &beyond)) {
        text += "\n\t...";
        level = deepest_level(F) - LAST_LEVELS + 1;
        find_level(F, level, &at);
      }
    }
    text += traceback_line(describe_level(F, at));
    ++shown;
  }
  return text;
}

int dbg_traceback(VmState* L) {
  Inspected in = inspected_fiber(L);
  int message_at = in.first;
  bool has_message = !is_none_or_null(L, message_at);
  if (has_message && !is_string(L, message_at)) {
    push_value(L, message_at);  // not text: handed back as it is
    return 1;
  }
  int start = opt_integer(L, message_at + 1, in.fiber == L ? 1 : 0);
  std::string text = "stack traceback:";
  if (has_message) {
    size_t len;
    const char* message = to_lstring(L, message_at, &len);
    text.assign(message, len);
  }
  text += traceback_levels(in.fiber, start);
  push_lstring(L, text.data(), text.size());
  return 1;
}

int dbg_callcount(VmState* L) {
  push_integer(L, deepest_level(L));
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Hook objects
//
// The hook registry maps a fiber's address to the list of its hook objects. Addresses are reused
// once a fiber is collected, so a second table maps each address to its fiber with weak values:
// a list counts only while that entry still names the same fiber.

char hook_registry_key;
char hooked_fibers_key;

constexpr const char* EVENT_FIELDS[] = {"call", "return", "line", "tailreturn"};
constexpr uint8_t EVENT_MASK_BITS[] = {HOOK_MASK_CALL, HOOK_MASK_RETURN, HOOK_MASK_LINE, 0};
constexpr int EVENT_KINDS = 4;

// Pushes the registry table kept under a private key, creating it when missing.
void push_private_table(VmState* L, void* key, const char* weak_mode) {
  push_pointer(L, key);
  raw_get(L, REGISTRY_INDEX);
  if (type_of(L, -1) == TAG_TABLE) return;
  pop(L, 1);
  new_table(L, 0, 0);
  if (weak_mode != nullptr) make_weak(L, -1, weak_mode);
  push_pointer(L, key);
  push_value(L, -2);
  raw_set(L, REGISTRY_INDEX);
}

// Pushes the hook list of fiber F: a new empty one when it has none and `create` is set, else
// null.
void push_hook_list(VmState* L, VmState* F, bool create) {
  push_private_table(L, &hooked_fibers_key, "v");
  int fibers = get_top(L);
  push_pointer(L, F);
  raw_get(L, fibers);
  push_fiber(L, F);
  bool known = raw_equal(L, -1, -2);
  pop(L, 2);
  push_private_table(L, &hook_registry_key, nullptr);
  int registry = get_top(L);
  if (known) {
    push_pointer(L, F);
    raw_get(L, registry);
  } else {
    push_null(L);
  }
  if (type_of(L, -1) != TAG_TABLE && create) {
    pop(L, 1);
    new_table(L, 4, 0);
    push_pointer(L, F);
    push_value(L, -2);
    raw_set(L, registry);
    push_pointer(L, F);
    push_fiber(L, F);
    raw_set(L, fibers);
  } else if (type_of(L, -1) != TAG_TABLE) {
    pop(L, 1);
    push_null(L);
  }
  remove(L, registry);
  remove(L, fibers);
}

// The fiber a hook object was made for, while it lives; null otherwise.
VmState* hooked_fiber(VmState* L, int hook) {
  raw_get_field(L, hook, "_context");
  push_private_table(L, &hooked_fibers_key, "v");
  push_value(L, -2);
  raw_get(L, -2);
  VmState* F = to_fiber(L, -1);
  pop(L, 3);
  return F;
}

// The runtime's hook routine for fibers with hook objects: every object in the fiber's list
// that has a function under the event's name gets called (owner null; line events also pass the
// line). An event nobody takes any more turns its mask bit off.
void run_hook_objects(VmState* L, int event, int line, int) {
  if (event < 0 || event >= EVENT_KINDS) return;
  push_hook_list(L, L, false);
  int list = get_top(L);
  bool handled = false;
  if (type_of(L, list) == TAG_TABLE) {
    // The length is read again each time round: a hook function may close hook objects.
    for (int64_t i = 1; i <= static_cast<int64_t>(length_of(L, list)); ++i) {
      raw_get_index(L, list, i);
      if (type_of(L, -1) == TAG_TABLE) {
        raw_get_field(L, -1, EVENT_FIELDS[event]);
        if (type_of(L, -1) == TAG_FUNCTION) {
          push_null(L);
          int nargs = 1;
          if (event == HOOK_LINE) {
            push_integer(L, line);
            nargs = 2;
          }
          call(L, nargs, 0);
          handled = true;
        } else {
          pop(L, 1);
        }
      }
      pop(L, 1);
    }
  }
  pop(L, 1);
  if (!handled) set_hook_mask(L, static_cast<uint8_t>(hook_mask(L) & ~EVENT_MASK_BITS[event]));
}

uint8_t event_mask_bit(VmState* L, int key) {
  if (type_of(L, key) != TAG_STRING) return 0;
  size_t len;
  const char* name = to_lstring(L, key, &len);
  for (int e = 0; e < EVENT_KINDS; ++e)
    if (std::strlen(EVENT_FIELDS[e]) == len && std::memcmp(EVENT_FIELDS[e], name, len) == 0) return EVENT_MASK_BITS[e];
  return 0;
}

// The hook metatable's `_set` (slot 1 the hook object, 2 the key, 3 the value): stores raw under
// the key as a string; a function stored under an event name turns that event on in the fiber
// the object was made for.
int hook_assign(VmState* L) {
  if (is_string(L, 2)) to_lstring(L, 2, nullptr);  // a number key becomes its text
  push_value(L, 2);
  push_value(L, 3);
  raw_set(L, 1);
  uint8_t bit = event_mask_bit(L, 2);
  if (bit == 0 || type_of(L, 3) != TAG_FUNCTION) return 0;
  VmState* F = hooked_fiber(L, 1);
  if (F != nullptr && hook_routine(F) == run_hook_objects) set_hook_mask(F, static_cast<uint8_t>(hook_mask(F) | bit));
  return 0;
}

// Pushes the metatable of hook objects, registered as type "hook" of library "debug".
void push_hook_metatable(VmState* L) {
  registry_subtable(L, "debug");
  raw_get_field(L, -1, "hook");
  if (type_of(L, -1) != TAG_TABLE) {
    pop(L, 1);
    new_table(L, 0, 1);
    push_string(L, "_set");
    push_function(L, hook_assign);
    raw_set(L, -3);
    push_string(L, "hook");
    push_value(L, -2);
    raw_set(L, -4);
  }
  remove(L, -2);
}

void check_hook_object(VmState* L, int idx) {
  bool matches = false;
  if (type_of(L, idx) == TAG_TABLE && get_metatable(L, idx)) {
    push_hook_metatable(L);
    matches = raw_equal(L, -1, -2);
    pop(L, 2);
  }
  if (!matches) type_arg_error(L, idx, "debug.hook");
}

// hook.close(): the object stops taking events and leaves its fiber's list.
int hook_close(VmState* L) {
  check_hook_object(L, 1);
  for (int e = 0; e < EVENT_KINDS; ++e) {
    if (EVENT_MASK_BITS[e] == 0) continue;
    push_string(L, EVENT_FIELDS[e]);
    push_null(L);
    raw_set(L, 1);
  }
  raw_get_field(L, 1, "_context");
  push_private_table(L, &hook_registry_key, nullptr);
  push_value(L, -2);
  raw_get(L, -2);
  int list = get_top(L);
  if (type_of(L, list) != TAG_TABLE) return 0;
  int64_t n = static_cast<int64_t>(length_of(L, list));
  for (int64_t i = 1; i <= n; ++i) {
    raw_get_index(L, list, i);
    bool found = loosely_equal(L, -1, 1);
    pop(L, 1);
    if (!found) continue;
    for (int64_t j = i; j < n; ++j) {
      raw_get_index(L, list, j + 1);
      raw_set_index(L, list, j);
    }
    push_null(L);
    raw_set_index(L, list, n);
    break;
  }
  return 0;
}

int dbg_hook(VmState* L) {
  VmState* F = to_fiber(L, ARG1);
  if (F == nullptr) F = L;
  // The mask starts empty only when the routine is new to the fiber: emptying it again would
  // silence the hook objects the fiber already has.
  if (hook_routine(F) != run_hook_objects) {
    set_hook_routine(F, run_hook_objects);
    set_hook_mask(F, 0);
  }
  push_hook_list(L, F, true);
  int list = get_top(L);
  new_table(L, 0, 2);
  int hook = get_top(L);
  push_function(L, hook_close);
  store_field(L, hook, "close");
  push_pointer(L, F);
  store_field(L, hook, "_context");
  push_hook_metatable(L);
  set_metatable(L, hook);
  push_value(L, hook);
  raw_set_index(L, list, static_cast<int64_t>(length_of(L, list)) + 1);
  return 1;
}

const LibraryFunction DEBUG_FUNCTIONS[] = {
    {"queryinfo", dbg_queryinfo},   {"getfunction", dbg_getfunction}, {"getnamespace", dbg_getnamespace},
    {"getlocalvar", dbg_getlocalvar}, {"setlocalvar", dbg_setlocalvar}, {"getupvar", dbg_getupvar},
    {"setupvar", dbg_setupvar},     {"hook", dbg_hook},               {"traceback", dbg_traceback},
    {"callcount", dbg_callcount},   {nullptr, nullptr},
};

}  // namespace

int open_debug_library(VmState* L) {
  register_library(L, "debug", DEBUG_FUNCTIONS);
  push_hook_metatable(L);
  pop(L, 2);
  return 0;
}

}  // namespace quevro
