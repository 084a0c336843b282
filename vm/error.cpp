#include "vm/error.h"

#include <cstdlib>
#include <new>

#include "vm/api.h"
#include "vm/utf.h"

namespace quevro {

void throw_status(VmState* L, int status) {
  if (L->recovery) throw ErrorUnwind{status};
  L->status = static_cast<uint8_t>(status);
  SharedState* g = G(L);
  if (g->panic) {
    // Leave the fiber in a clean state at its base level before the host sees it.
    Value* slot = L->stack + 1;
    close_upvalues(L, slot);
    place_error_value(L, status, slot);
    L->frame = L->frames;
    L->base = L->frame->base;
    L->top = slot + 1;
    L->native_depth = 0;
    L->error_handler = 0;
    L->hook_allowed = 1;
    g->panic(L);
  }
  std::exit(1);
}

int run_protected(VmState* L, void (*body)(VmState* L, void* ud), void* ud) {
  RecoveryPoint point{L->recovery, STATUS_OK};
  L->recovery = &point;
  try {
    body(L, ud);
  } catch (const ErrorUnwind& e) {
    point.status = e.status;
  } catch (const std::bad_alloc&) {
    point.status = STATUS_MEMORY;
  }
  L->recovery = point.previous;
  return point.status;
}

int current_line(VmState* L, CallFrame* frame) {
  Value* fn = frame->func;
  if (fn->tag != TAG_FUNCTION || !fn->closure()->is_script) return -1;
  Prototype* p = fn->closure()->proto;
  const Instruction* pc = (frame == L->frame) ? L->saved_pc : frame->saved_pc;
  if (pc == nullptr || p->size_line_info == 0) return -1;
  ptrdiff_t index = pc - p->code - 1;
  if (index < 0) index = 0;
  if (index >= p->size_line_info) return -1;
  return p->line_info[index];
}

std::string source_display_name(const StringObject* source) {
  constexpr size_t MAX_NAME = 49;
  if (source == nullptr) return "?";
  const char* s = source->data();
  size_t len = source->length;
  if (len > 0 && s[0] == '=') {
    return std::string(s + 1, std::min(len - 1, MAX_NAME));
  }
  if (len > 0 && s[0] == '@') {
    const char* name = s + 1;
    size_t n = len - 1;
    constexpr size_t MAX_FILE = 42;
    if (n <= MAX_FILE) return std::string(name, n);
    size_t from = n - MAX_FILE;
    while (from < n && is_continuation(static_cast<unsigned char>(name[from]))) ++from;
    return "..." + std::string(name + from, n - from);
  }
  // [string "first line..."]
  size_t line_end = 0;
  while (line_end < len && s[line_end] != '\r' && s[line_end] != '\n') ++line_end;
  constexpr size_t MAX_LINE = 33;
  bool cut = line_end < len;
  size_t shown = line_end;
  if (shown > MAX_LINE) {
    shown = utf8_char_start(s, MAX_LINE, len);
    cut = true;
  }
  std::string out = "[string \"";
  out.append(s, shown);
  if (cut) out += "...";
  out += "\"]";
  return out;
}

void runtime_error_text(VmState* L, const std::string& message) {
  CallFrame* frame = L->frame;
  if (frame != L->frames && frame->func->tag == TAG_FUNCTION && frame->func->closure()->is_script) {
    Prototype* p = frame->func->closure()->proto;
    std::string annotated = format_message("\n{Line}:#%d\n{File}:%s:\n----------------------\n %s",
                                           current_line(L, frame), source_display_name(p->source).c_str(),
                                           message.c_str());
    push_lstring(L, annotated.data(), annotated.size());
  } else {
    push_lstring(L, message.data(), message.size());
  }
  raise_error(L);
}

void place_error_value(VmState* L, int status, Value* slot) {
  switch (status) {
    case STATUS_MEMORY: *slot = make_string(G(L)->memory_error_message); break;
    case STATUS_HANDLER: *slot = make_string(G(L)->handler_error_message); break;
    default: *slot = L->top > L->stack ? *(L->top - 1) : make_null(); break;
  }
}

std::string status_text(int status, const char* message) {
  switch (status) {
    case STATUS_OK: return "no error";
    case STATUS_RUNTIME: return message && *message ? std::string("runtime error: ") + message : "runtime error";
    case STATUS_MEMORY: return "memory allocation error.";
    case STATUS_HANDLER: return "error while running the error handler.";
    default: return "unknown error.";
  }
}

}  // namespace quevro
