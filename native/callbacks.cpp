#include "native/callbacks.h"

#include <ffi.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lib/base_library.h"
#include "lib/library_support.h"
#include "lib/size64.h"
#include "native/modules.h"
#include "native/native_call.h"
#include "native/native_values.h"
#include "native/number_conversion.h"
#include "native/packed_values.h"
#include "native/pointer_conversion.h"
#include "native/structures.h"
#include "native/thread_shared.h"
#include "native/type_codes.h"
#include "runtime/callback_states.h"
#include "runtime/library_registry.h"
#include "runtime/top_level_report.h"
#include "runtime/window_system.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/collector.h"
#include "vm/interpreter.h"

namespace quevro {

namespace {

// Each live callback keeps a table in the registry under its record's address (a pointer key:
// a native call finds it without hashing a name): the function, the owner and the error handler
// its calls run under.
constexpr int REF_FUNCTION = 1;
constexpr int REF_OWNER = 2;
constexpr int REF_HANDLER = 3;

struct CallbackParameter {
  char code;
  bool by_reference;
  std::string declaration;  // an inline structure declaration
};

// What each call pushes below the arguments: copies of the function, owner and error handler
// that a refs table in the registry of the state they belong to holds (and so keeps alive as
// long as the copies are used), so that a call does not look the table up.
struct CallValues {
  Value function{};
  Value owner{};
  Value handler{};
};

// The state a thread runs a thread callback in, with the values rebuilt there.
struct ThreadCall {
  VmState* state = nullptr;
  CallValues values;
};

// What a thread callback carries to every thread that calls it: the function, the creator's
// onError and the owner, packed so that each thread rebuilds them in a state of its own; and
// what each calling thread uses, guarded by `lock` (the states themselves are only ever touched
// by their own thread, and only that thread adds or removes its entry). `serial` tells contexts
// apart where an address could not: a freed context's address may be reused, a serial is not.
struct ThreadContext {
  PackedValue function;
  PackedValue on_error;
  PackedValue owner;
  bool has_on_error = false;
  uint64_t serial = 0;
  std::mutex lock;
  std::map<std::thread::id, ThreadCall> states;
};

std::atomic<uint64_t> g_context_serials{0};

struct Callback;
void release_thunk(Callback* cb);

enum class ArgumentKind : uint8_t { OTHER, INT, INT_REFERENCE };

struct Callback {
  ffi_closure* closure = nullptr;  // the libffi entry, when no thunk was free for it
  void* entry = nullptr;
  int thunk = -1;                  // the thunk it owns (see below), or -1
  bool floating_result = false;    // its thunk returns in a floating-point register
  bool floating_arguments = false;  // some arguments reach its thunk in floating-point registers
  VmState* state = nullptr;
  std::shared_ptr<ThreadContext> thread;  // set for a thread callback
  bool has_owner = false;
  char result_kind = 'v';
  std::vector<CallbackParameter> parameters;
  int count = 0;  // of parameters
  // How each argument is pushed: an int (by value or by reference) inline, the rest through
  // push_argument.
  std::array<ArgumentKind, MAX_CALLBACK_WORDS> kinds{};
  // For a callback of the main state, the values of its refs table there, alive until the
  // callback is collected.
  CallValues values;
  // Where each parameter arrives in a thunk's registers: 0-5 the integer ones, 6-13 the
  // floating-point ones.
  std::array<uint8_t, MAX_CALLBACK_WORDS> registers{};
  ffi_cif cif{};
  std::vector<ffi_type*> types;

  ~Callback() {
    release_thunk(this);
    if (closure) ffi_closure_free(closure);
  }
};

int words_of(char code) { return (code == 'L' || code == 'l' || code == 'd') ? 2 : 1; }

char result_kind_of(char code) {
  switch (code) {
    case 'B': case 'I': case 'W': case 'b': case 'i': case 'w': return 'i';
    default: return code;
  }
}

[[noreturn]] void prototype_error(VmState* L, std::string_view rest) {
  runtime_error(L, "callback : _struct error '...%s' ", std::string(rest).c_str());
}

void parse_prototype(VmState* L, std::string_view text, Callback* cb) {
  size_t open = text.find('(');
  if (open == std::string_view::npos) arg_error(L, ARG2, std::string(text).c_str());
  size_t end;
  std::string_view keyword = read_keyword(text.substr(0, open), &end);
  char result = keyword.empty() ? 'v' : type_code(keyword);
  if (result != 'v' && !is_value_code(result)) prototype_error(L, text);
  cb->result_kind = result_kind_of(result);
  int words = 0;
  size_t i = open + 1;
  while (i < text.size() && text[i] != ')') {
    size_t start = i;
    while (start < text.size() && is_blank(text[start])) ++start;
    if (start < text.size() && text[start] == ')') break;
    CallbackParameter p{'t', false, {}};
    size_t stop;
    if (start < text.size() && text[start] == '{') {
      size_t close = text.find('}', start);
      if (close == std::string_view::npos) prototype_error(L, text.substr(start));
      std::string_view decl = text.substr(start + 1, close - start - 1);
      while (!decl.empty() && is_blank(decl.front())) decl.remove_prefix(1);
      p.declaration = std::string(decl);
      stop = close + 1;
    } else {
      std::string_view k = read_keyword(text.substr(start), &stop);
      stop += start;
      p.code = type_code(k);
      if (p.code == 'v' && k.size() > 1 && k.back() == 'd') {
        p.code = 0;  // a `void` parameter is skipped
      } else if (!is_value_code(p.code)) {
        prototype_error(L, text.substr(start));
      }
    }
    while (stop < text.size() && text[stop] != ',' && text[stop] != ')') {
      if (text[stop] == '&') p.by_reference = true;
      ++stop;
    }
    if (p.code != 0) {
      words += words_of(p.code);
      if (words > MAX_CALLBACK_WORDS) runtime_error(L, "argument list too long");
      cb->parameters.push_back(std::move(p));
    }
    i = stop < text.size() && text[stop] == ',' ? stop + 1 : stop;
  }
  if (i >= text.size()) prototype_error(L, text.substr(open));
  cb->count = static_cast<int>(cb->parameters.size());
  for (int k = 0; k < cb->count; ++k) {
    const CallbackParameter& p = cb->parameters[k];
    cb->kinds[k] = p.code != 'i' ? ArgumentKind::OTHER : p.by_reference ? ArgumentKind::INT_REFERENCE : ArgumentKind::INT;
  }
}

// Where a call's arguments are: libffi hands an array of pointers to them; a thunk, the argument
// registers it saved, of which the callback's `registers` name each argument's.
struct PointerArguments {
  void** args;
  void* operator[](int i) const { return args[i]; }
};
struct RegisterArguments {
  const Callback* cb;
  uint64_t* words;
  void* operator[](int i) const { return &words[cb->registers[i]]; }
};

void push_argument(VmState* L, const CallbackParameter& p, void* slot) {
  const void* at = slot;
  if (p.by_reference) {
    at = *static_cast<void**>(slot);
    if (at == nullptr) {
      push_null(L);
      return;
    }
  }
  if (p.code == 't' && !p.declaration.empty()) {
    void* address = p.by_reference ? const_cast<void*>(at) : *static_cast<void* const*>(at);
    new_table(L, 0, 2);
    push_string(L, "_struct");
    push_lstring(L, p.declaration.data(), p.declaration.size());
    raw_set(L, -3);
    if (address) unpack_structure(L, get_top(L), static_cast<const unsigned char*>(address), 0);
    return;
  }
  push_native_value(L, p.code, at);
}

// A result value into native memory at the code's width; false for a structure that is too big.
uint64_t result_word(VmState* L, int idx, char kind) {
  int t = type_of(L, idx);
  uint64_t u;
  if (t == TAG_BOOLEAN) return to_boolean(L, idx) ? 1 : 0;
  if (kind == 'y') return to_boolean(L, idx) ? 1 : 0;
  if (t == TAG_NUMBER) {
    double n = to_number(L, idx);
    if (kind == 'i') return static_cast<uint32_t>(truncate_to_int64(n));
    uint64_t out = 0;
    if (kind == 'd') std::memcpy(&out, &n, 8);
    else if (kind == 'f') { float f = static_cast<float>(n); std::memcpy(&out, &f, 4); }
    else out = truncate_to_uint64(n);
    return out;
  }
  if (is_size64(L, idx) && to_size64(L, idx, &u)) return u;
  if (kind == 't') {
    size_t size = is_structure(L, idx) ? structure_size(L, idx) : 0;
    if (size == 0 || size > 8) runtime_error(L, "\n{Expected}:struct(64bit or less)\n{Got}:%s", type_name(L, idx));
    uint64_t out = 0;
    pack_structure(L, idx, reinterpret_cast<unsigned char*>(&out), 0);
    return out;
  }
  void* p = nullptr;
  to_native_pointer(L, idx, true, true, &p);
  return reinterpret_cast<uintptr_t>(p);
}

void write_back(VmState* L, int idx, const CallbackParameter& p, void* slot) {
  void* target = *static_cast<void**>(slot);
  if (target == nullptr) return;
  if (p.code == 't') {
    if (is_structure(L, idx)) pack_structure(L, idx, static_cast<unsigned char*>(target), 0);
    return;
  }
  uint64_t w = result_word(L, idx, p.code == 'd' || p.code == 'f' ? p.code : (type_width(p.code) == 8 ? 'l' : 'i'));
  std::memcpy(target, &w, type_width(p.code) ? type_width(p.code) : 4);
}

void push_refs(VmState* L, const void* cb) {
  push_pointer(L, const_cast<void*>(cb));
  raw_get(L, REGISTRY_INDEX);
}

// Pops the refs table on top into the registry (null removes the entry).
void store_refs(VmState* L, const void* cb) {
  push_pointer(L, const_cast<void*>(cb));
  insert(L, -2);
  raw_set(L, REGISTRY_INDEX);
}

// A refs table for the function and owner at the given slots, left on the stack.
void push_new_refs(VmState* L, int function, int owner) {
  new_table(L, 3, 0);
  push_value(L, function);
  raw_set_index(L, -2, REF_FUNCTION);
  push_value(L, owner);
  raw_set_index(L, -2, REF_OWNER);
  push_function(L, standard_error_handler);
  raw_set_index(L, -2, REF_HANDLER);
}

// Calls the function at func (with the arguments above it) for all its results, as call_value
// does; a plain script function gets its frame here and the interpreter at once.
inline void call_function(VmState* L, Value* func) {
  if (L->native_depth + 1 < NATIVE_DEPTH_LIMIT && enter_plain_script_call(L, func, -1)) [[likely]] {
    L->native_depth++;
    execute(L, 1);
    L->native_depth--;
    check_gc(L);
  } else {
    call_value(L, func, -1);
  }
}

// Pushes the arguments, calls the function with the callback's error handler in place and
// converts its results into the result word (laid out as libffi's result buffer: an int result
// sign-extended to the word, a float one in its low half). Runs in the one protected region of
// the call: an error in the function reaches the handler (as under pcall) and then the region; an
// error converting an argument or a result reaches the region without the handler.
template <class Arguments>
void dispatch(VmState* L, Callback* cb, const CallValues& values, const Arguments& args, uint64_t* result) {
  const CallbackParameter* params = cb->parameters.data();
  int n = cb->count;
  ensure_stack(L, n + 8);
  Value* at = L->top;
  ptrdiff_t handler_at = save_stack(L, at);
  at[0] = values.handler;
  at[1] = values.function;
  at[2] = values.owner;
  L->top = at + 3;
  // The values go straight into the slots above the function: ensure_stack made room for them.
  Value* slot = L->top;
  for (int i = 0; i < n; ++i) {
    const void* at = args[i];
    switch (cb->kinds[i]) {
      case ArgumentKind::INT_REFERENCE:
        at = *static_cast<void* const*>(at);
        if (at == nullptr) {
          *slot++ = make_null();
          break;
        }
        [[fallthrough]];
      case ArgumentKind::INT: {
        int32_t v;
        std::memcpy(&v, at, sizeof v);
        *slot++ = make_number(v);
        break;
      }
      default:
        L->top = slot;
        push_argument(L, params[i], args[i]);
        slot = L->top;
        break;
    }
  }
  L->top = slot;
  ptrdiff_t previous_handler = L->error_handler;
  L->error_handler = handler_at;
  call_function(L, restore_stack(L, handler_at) + 1);
  L->error_handler = previous_handler;
  if (L->top >= L->frame->top) L->frame->top = L->top;
  Value* first = restore_stack(L, handler_at) + 1;
  if (cb->result_kind == 'i' && L->top == first + 1 && first->tag == TAG_NUMBER) {
    // The usual case, one number for an int result: no conversion through the stack interface.
    // Within the int range truncation alone gives what the general conversion (truncate, keep
    // the low 32 bits) would; NaN fails both comparisons.
    double v = first->u.n;
    int32_t r = v > -2147483649.0 && v < 2147483648.0
                    ? static_cast<int32_t>(v)
                    : static_cast<int32_t>(static_cast<uint32_t>(truncate_to_int64(v)));
    *result = static_cast<uint64_t>(static_cast<int64_t>(r));
    return;
  }
  int results = static_cast<int>(L->top - first);
  int next = static_cast<int>(first - L->base) + 1;  // the first result's index
  uint64_t word = 0;
  if (cb->result_kind != 'v') {
    if (results > 0) word = result_word(L, next, cb->result_kind);
    ++next;
  }
  for (int i = 0; i < n && next <= get_top(L); ++i) {
    if (!params[i].by_reference) continue;
    write_back(L, next++, params[i], args[i]);
  }
  switch (cb->result_kind) {
    case 'v': break;
    case 'i': case 'y': *result = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(word))); break;
    case 'f': *result = word & 0xFFFFFFFFu; break;
    default: *result = word; break;
  }
}

// The thread callbacks a thread has entered, with the state each got; released when the thread
// ends, or earlier when its callback state is closed on request.
struct ThreadEntries {
  std::vector<std::pair<std::weak_ptr<ThreadContext>, VmState*>> entered;
  void release_all();
  ~ThreadEntries() { release_all(); }
};

thread_local ThreadEntries t_entries;

// The thread callback this thread called last: its context's serial (0 for none) and this
// thread's entry there, found again without the lock while the serial matches. Only this thread
// removes its entry, and it forgets this one first (release_all).
struct LastThreadCall {
  uint64_t serial;
  ThreadCall* call;
};
constinit thread_local LastThreadCall t_last_call{0, nullptr};

void ThreadEntries::release_all() {
  t_last_call = {0, nullptr};
  std::thread::id me = std::this_thread::get_id();
  auto list = std::move(entered);
  entered.clear();
  for (auto& [weak, state] : list) {
    if (auto ctx = weak.lock()) {
      std::lock_guard<std::mutex> guard(ctx->lock);
      ctx->states.erase(me);
    }
    release_callback_state(state);
  }
}

void report_setup_failure(VmState* L) {
  size_t len = 0;
  const char* text = to_lstring(L, -1, &len);
  std::string line = "\nthread id:" + std::to_string(winsys::current_thread_id()) + "\nthread error:" +
                     (text ? std::string(text, len) : std::string(type_name(L, -1)));
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// Rebuilds the callback's function and owner (and the creator's onError) in this thread's state,
// keeping them in its registry and their copies in values. False when the function does not
// load or the owner does not rebuild; the failure was reported.
bool enter_thread_state(VmState* S, Callback* cb, CallValues* values) {
  ThreadContext& ctx = *cb->thread;
  int top = get_top(S);
  if (ctx.has_on_error && unpack_value(S, ctx.on_error, "?")) set_field(S, GLOBALS_INDEX, "onError");
  set_top(S, top);
  if (!unpack_value(S, ctx.function, "?")) {
    top_level_report(S, "THREAD CALLBACK ERROR", true);
    set_top(S, top);
    return false;
  }
  if (!unpack_value(S, ctx.owner, "=thread->table")) {
    report_setup_failure(S);
    set_top(S, top);
    return false;
  }
  push_new_refs(S, top + 1, top + 2);
  values->function = *stack_address(S, top + 1);
  values->owner = cb->has_owner ? *stack_address(S, top + 2) : make_null();
  raw_get_index(S, -1, REF_HANDLER);
  values->handler = *stack_address(S, -1);
  pop(S, 1);
  store_refs(S, cb);
  set_top(S, top);
  return true;
}

// What the calling thread runs the thread callback with, made ready on its first call; null
// when that failed.
ThreadCall* thread_call_for(Callback* cb) {
  ThreadContext& ctx = *cb->thread;
  if (t_last_call.serial == ctx.serial) return t_last_call.call;
  std::thread::id me = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> guard(ctx.lock);
    auto it = ctx.states.find(me);
    if (it != ctx.states.end()) {
      t_last_call = {ctx.serial, &it->second};
      return &it->second;
    }
  }
  ThreadCall call;
  call.state = acquire_callback_state();
  if (call.state == nullptr) return nullptr;
  if (!enter_thread_state(call.state, cb, &call.values)) {
    release_callback_state(call.state);
    return nullptr;
  }
  ThreadCall* entry;
  {
    std::lock_guard<std::mutex> guard(ctx.lock);
    entry = &(ctx.states[me] = call);
  }
  t_entries.entered.emplace_back(cb->thread, call.state);
  t_last_call = {ctx.serial, entry};
  return entry;
}

// One call from native code; returns the result word, zero unless the call succeeds.
template <class Arguments>
uint64_t run_callback(Callback* cb, const Arguments& args) {
  VmState* L = cb->state;
  const CallValues* values = &cb->values;
  if (cb->thread) {
    ThreadCall* call = thread_call_for(cb);
    if (call == nullptr) return 0;
    L = call->state;
    values = &call->values;
  }
  ptrdiff_t top = save_stack(L, L->top);
  uint64_t result = 0;
  if (run_region(L, 0, [&] { dispatch(L, cb, *values, args, &result); }) != STATUS_OK) {
    result = 0;
    top_level_report(L, "RAW CALLBACK ERROR", true);
  }
  L->top = restore_stack(L, top);
  return result;
}

void on_native_call(ffi_cif*, void* result, void** args, void* user_data) {
  uint64_t word = run_callback(static_cast<Callback*>(user_data), PointerArguments{args});
  std::memcpy(result, &word, sizeof word);
}

// Thunks: on x86-64 System V, fixed native entry points that take the prototype's arguments
// straight from the argument registers, without libffi's closure (which classifies every
// argument again on each call). A thunk is declared with all six integer and all eight
// floating-point argument registers as parameters: a caller passing fewer leaves the rest
// unused, and the callback's `registers` say which of them hold its arguments. Prototypes with
// arguments on the stack, and callbacks made while every thunk is taken, use libffi.
#if defined(__x86_64__) && !defined(_WIN32)
constexpr int THUNK_COUNT = 256;
constexpr int INTEGER_REGISTERS = 6;
constexpr int FLOAT_REGISTERS = 8;

// The callback each thunk runs; null while the thunk is free ([0] integer results, [1] floating).
std::atomic<Callback*> g_thunk_callbacks[2][THUNK_COUNT];

// The argument registers as a thunk saved them; a callback's `registers` index this (0-5 the
// integer registers, 6-13 the floating-point ones).
struct SavedRegisters {
  uint64_t words[INTEGER_REGISTERS + FLOAT_REGISTERS];
};

[[gnu::noinline]] uint64_t run_from_registers(Callback* cb, SavedRegisters* saved) {
  return run_callback(cb, RegisterArguments{cb, saved->words});
}

// Saves the registers the callback reads (the floating-point ones only when it has such
// arguments) and runs it; a thunk whose callback is gone returns 0.
inline uint64_t run_thunk(Callback* cb, uint64_t a, uint64_t b, uint64_t c, uint64_t d, uint64_t e, uint64_t f,
                          double x0, double x1, double x2, double x3, double x4, double x5, double x6, double x7) {
  if (cb == nullptr) return 0;
  SavedRegisters saved;
  saved.words[0] = a;
  saved.words[1] = b;
  saved.words[2] = c;
  saved.words[3] = d;
  saved.words[4] = e;
  saved.words[5] = f;
  if (cb->floating_arguments) {
    const double floats[FLOAT_REGISTERS] = {x0, x1, x2, x3, x4, x5, x6, x7};
    std::memcpy(&saved.words[INTEGER_REGISTERS], floats, sizeof floats);
  }
  return run_from_registers(cb, &saved);
}

template <int I>
uint64_t integer_thunk(uint64_t a, uint64_t b, uint64_t c, uint64_t d, uint64_t e, uint64_t f, double x0, double x1,
                       double x2, double x3, double x4, double x5, double x6, double x7) {
  return run_thunk(g_thunk_callbacks[0][I].load(std::memory_order_acquire), a, b, c, d, e, f, x0, x1, x2, x3, x4, x5,
                   x6, x7);
}

// A float result is the low half of the returned register; the bits are passed unchanged.
template <int I>
double floating_thunk(uint64_t a, uint64_t b, uint64_t c, uint64_t d, uint64_t e, uint64_t f, double x0, double x1,
                      double x2, double x3, double x4, double x5, double x6, double x7) {
  uint64_t word = run_thunk(g_thunk_callbacks[1][I].load(std::memory_order_acquire), a, b, c, d, e, f, x0, x1, x2,
                            x3, x4, x5, x6, x7);
  double out;
  std::memcpy(&out, &word, sizeof out);
  return out;
}

using IntegerThunk = uint64_t (*)(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, double, double, double,
                                  double, double, double, double, double);
using FloatingThunk = double (*)(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, double, double, double,
                                 double, double, double, double, double);

template <size_t... I>
constexpr std::array<IntegerThunk, sizeof...(I)> integer_thunks(std::index_sequence<I...>) {
  return {&integer_thunk<static_cast<int>(I)>...};
}
template <size_t... I>
constexpr std::array<FloatingThunk, sizeof...(I)> floating_thunks(std::index_sequence<I...>) {
  return {&floating_thunk<static_cast<int>(I)>...};
}
constexpr auto INTEGER_THUNKS = integer_thunks(std::make_index_sequence<THUNK_COUNT>());
constexpr auto FLOATING_THUNKS = floating_thunks(std::make_index_sequence<THUNK_COUNT>());

// Gives the callback a thunk when its arguments all travel in registers and one is free.
bool take_thunk(Callback* cb) {
  int integers = 0, floats = 0;
  for (size_t i = 0; i < cb->parameters.size(); ++i) {
    const CallbackParameter& p = cb->parameters[i];
    bool floating = !p.by_reference && (p.code == 'd' || p.code == 'f');
    if (floating ? floats >= FLOAT_REGISTERS : integers >= INTEGER_REGISTERS) return false;
    cb->registers[i] = static_cast<uint8_t>(floating ? INTEGER_REGISTERS + floats++ : integers++);
  }
  cb->floating_arguments = floats > 0;
  int family = cb->result_kind == 'd' || cb->result_kind == 'f' ? 1 : 0;
  for (int k = 0; k < THUNK_COUNT; ++k) {
    Callback* expected = nullptr;
    if (g_thunk_callbacks[family][k].load(std::memory_order_relaxed) == nullptr &&
        g_thunk_callbacks[family][k].compare_exchange_strong(expected, cb, std::memory_order_acq_rel)) {
      cb->thunk = k;
      cb->floating_result = family == 1;
      cb->entry = family ? reinterpret_cast<void*>(FLOATING_THUNKS[k]) : reinterpret_cast<void*>(INTEGER_THUNKS[k]);
      return true;
    }
  }
  return false;
}

void release_thunk(Callback* cb) {
  if (cb->thunk >= 0) g_thunk_callbacks[cb->floating_result ? 1 : 0][cb->thunk].store(nullptr, std::memory_order_release);
  cb->thunk = -1;
}
#else
bool take_thunk(Callback*) { return false; }
void release_thunk(Callback*) {}
#endif

ffi_type* callback_result_type(char kind) {
  switch (kind) {
    case 'i': case 'y': return &ffi_type_sint32;
    case 'l': case 'L': case 't': return &ffi_type_uint64;
    default: return ffi_type_of(kind);
  }
}

Callback* callback_record(VmState* L, int idx) {
  return *static_cast<Callback**>(check_object(L, idx, RAW_LIBRARY, CALLBACK_TYPE));
}

// The thread context of a new thread callback: the function (which must be a script function,
// as only those can be copied), the global onError when it is a function, and the owner.
std::shared_ptr<ThreadContext> pack_thread_context(VmState* L) {
  auto ctx = std::make_shared<ThreadContext>();
  ctx->serial = g_context_serials.fetch_add(1, std::memory_order_relaxed) + 1;
  if (!pack_value(L, ARG1, &ctx->function) || ctx->function.bytes.empty()) type_arg_error(L, ARG1, "function");
  get_field(L, GLOBALS_INDEX, "onError");
  if (type_of(L, -1) == TAG_FUNCTION) ctx->has_on_error = pack_value(L, -1, &ctx->on_error);
  pop(L, 1);
  if (!is_none_or_null(L, ARG3) && !pack_value(L, ARG3, &ctx->owner))
    arg_error(L, ARG3, "value cannot be copied to another thread");
  return ctx;
}

int make_callback(VmState* L, const char* failure, bool for_threads) {
  Value* f = stack_address(L, ARG1);
  if (f->tag != TAG_FUNCTION) type_arg_error(L, ARG1, "function");
  size_t len;
  const char* proto = check_lstring(L, ARG2, &len);
  auto cb = std::make_unique<Callback>();
  parse_prototype(L, std::string_view(proto, len), cb.get());
  if (for_threads) cb->thread = pack_thread_context(L);
  for (const CallbackParameter& p : cb->parameters)
    cb->types.push_back(p.by_reference || p.code == 't' ? &ffi_type_pointer : ffi_type_of(p.code));
  if (!take_thunk(cb.get())) {
    cb->closure = static_cast<ffi_closure*>(ffi_closure_alloc(sizeof(ffi_closure), &cb->entry));
    if (cb->closure == nullptr ||
        ffi_prep_cif(&cb->cif, FFI_DEFAULT_ABI, static_cast<unsigned>(cb->types.size()),
                     callback_result_type(cb->result_kind), cb->types.empty() ? nullptr : cb->types.data()) != FFI_OK ||
        ffi_prep_closure_loc(cb->closure, &cb->cif, on_native_call, cb.get(), cb->entry) != FFI_OK)
      runtime_error(L, "%s", failure);
  }
  // Fibers end and are collected; the main fiber lives as long as every callback can. A thread
  // callback has no owning state: each calling thread runs it in its own.
  if (!for_threads) cb->state = G(L)->main_fiber;
  cb->has_owner = !is_none_or_null(L, ARG3);
  Callback* record = cb.release();
  void** slot = static_cast<void**>(new_cdata(L, sizeof(void*)));
  *slot = record;
  int object = get_top(L);
  registry_subtable(L, RAW_LIBRARY);
  raw_get_field(L, -1, CALLBACK_TYPE);
  remove(L, -2);
  set_metatable(L, object);
  if (!for_threads) {
    push_new_refs(L, ARG1, ARG3);
    record->values.function = *stack_address(L, ARG1);
    record->values.owner = record->has_owner ? *stack_address(L, ARG3) : make_null();
    raw_get_index(L, -1, REF_HANDLER);
    record->values.handler = *stack_address(L, -1);
    pop(L, 1);
    store_refs(L, record);
  }
  set_top(L, object);
  return 1;
}

int callback_gc(VmState* L) {
  auto** slot = static_cast<Callback**>(to_cdata(L, 1));
  if (slot && *slot) {
    push_null(L);
    store_refs(L, *slot);
    delete *slot;
    *slot = nullptr;
  }
  return 0;
}

int callback_topointer(VmState* L) {
  push_pointer(L, callback_record(L, 1)->entry);
  return 1;
}

int callback_tonumber(VmState* L) {
  push_number(L, static_cast<double>(reinterpret_cast<uintptr_t>(callback_record(L, 1)->entry)));
  return 1;
}

// Calls the script function directly with the stored owner; a thread callback has no function
// in this state and gives nothing.
int callback_call(VmState* L) {
  Callback* cb = callback_record(L, 1);
  if (cb->thread) return 0;
  int args = get_top(L) - 1;
  ensure_stack(L, 4);
  push_refs(L, cb);
  int refs = get_top(L);
  raw_get_index(L, refs, REF_FUNCTION);
  if (cb->has_owner) raw_get_index(L, refs, REF_OWNER); else push_null(L);
  for (int i = 0; i < args; ++i) push_value(L, ARG1 + i);
  int base = refs;
  call(L, args + 1, -1);
  return get_top(L) - base;
}

}  // namespace

int raw_tostdcall(VmState* L) { return make_callback(L, "tostdcall failed!", false); }
int raw_tocdecl(VmState* L) { return make_callback(L, "tocdecl failed!", false); }
int raw_tofastcall(VmState* L) { return make_callback(L, "tostdcall failed!", false); }

int thread_tostdcall(VmState* L) { return make_callback(L, "tostdcall failed!", true); }
int thread_tocdecl(VmState* L) { return make_callback(L, "tocdecl failed!", true); }
int thread_tofastcall(VmState* L) { return make_callback(L, "tostdcall failed!", true); }

void end_thread_callback_states() {
  t_entries.release_all();
  close_thread_callback_state();
}

void register_callback_type(VmState* L) {
  static const LibraryFunction handlers[] = {{"_gc", callback_gc},
                                              {"_call", callback_call},
                                              {"_topointer", callback_topointer},
                                              {"_tonumber", callback_tonumber},
                                              {nullptr, nullptr}};
  register_object_type(L, RAW_LIBRARY, CALLBACK_TYPE, handlers);
  pop(L, 1);
}

}  // namespace quevro
