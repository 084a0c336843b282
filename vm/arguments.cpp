#include "vm/arguments.h"

#include "vm/api.h"
#include "vm/cdata.h"
#include "vm/debug_info.h"
#include "vm/metamethods.h"
#include "vm/number.h"

namespace quevro {

void library_error_text(VmState* L, const std::string& message) {
  std::string text = where(L, 1) + message;
  ensure_stack(L, 1);
  push_lstring(L, text.data(), text.size());
  raise_error(L);
}

void arg_error(VmState* L, int index, const char* text) {
  if (L->frame == L->frames) library_error(L, "\n{Bad argument}:@%d '%s' ", index - 1, text);
  std::string name = called_name(L, L->frame);
  if (name.empty()) name.push_back('?');
  if (index == 1) library_error(L, "\n{Calling}:'%s'\n{Bad argument}:@owner\n'%s'", name.c_str(), text);
  library_error(L, "\n{Calling}:'%s'\n{Bad argument}:@%d\n'%s'", name.c_str(), index - 1, text);
}

void type_arg_error(VmState* L, int index, const char* expected) {
  std::string text = format_message("\n{Expected}:%s\n{Got}:%s", expected, type_name(L, index));
  arg_error(L, index, text.c_str());
}

void check_any(VmState* L, int index) {
  if (type_of(L, index) == TYPE_NONE) arg_error(L, index, "\n{Expected}:value ");
}

void check_type(VmState* L, int index, int tag) {
  if (type_of(L, index) != tag) type_arg_error(L, index, tag_name(tag));
}

double check_number(VmState* L, int index) {
  double n;
  if (!to_number_value(stack_address(L, index), &n)) type_arg_error(L, index, "number");
  return n;
}

double opt_number(VmState* L, int index, double fallback) {
  return is_none_or_null(L, index) ? fallback : check_number(L, index);
}

int32_t check_integer(VmState* L, int index) { return to_int32(check_number(L, index)); }

int32_t opt_integer(VmState* L, int index, int32_t fallback) {
  return is_none_or_null(L, index) ? fallback : check_integer(L, index);
}

const char* check_lstring(VmState* L, int index, size_t* len) {
  const char* s = is_string(L, index) ? to_lstring(L, index, len) : nullptr;
  if (s == nullptr) type_arg_error(L, index, "string");
  return s;
}

const char* opt_lstring(VmState* L, int index, const char* fallback, size_t* len) {
  if (is_none_or_null(L, index)) {
    if (len) *len = fallback ? std::char_traits<char>::length(fallback) : 0;
    return fallback;
  }
  return check_lstring(L, index, len);
}

TableObject* check_table(VmState* L, int index) {
  Value* v = stack_address(L, index);
  if (v->tag != TAG_TABLE) type_arg_error(L, index, "table");
  return v->table();
}

bool is_none_or_null(VmState* L, int index) { return type_of(L, index) <= static_cast<int>(TAG_NULL); }

void* check_object(VmState* L, int index, const char* library, const char* type_name_text) {
  Value* v = stack_address(L, index);
  bool matches = false;
  if (v->tag == TAG_CDATA && v->cdata()->metatable) {
    registry_subtable(L, library);
    raw_get_field(L, -1, type_name_text);
    Value* expected = L->top - 1;
    matches = expected->tag == TAG_TABLE && expected->table() == v->cdata()->metatable;
    L->top -= 2;
  }
  std::string expected_name = std::string(library) + "." + type_name_text;
  if (!matches) type_arg_error(L, index, expected_name.c_str());
  void* handle = cdata_handle(L, index);
  if (handle == nullptr) {
    runtime_error(L, "\n{Attempt to}: use a closed object: %s:#%d ( type:'%s.%s')",
                  index == 1 ? "\n<owner>argument" : "\nargument", index - 1, library, type_name_text);
  }
  return to_cdata(L, index);
}

}  // namespace quevro
