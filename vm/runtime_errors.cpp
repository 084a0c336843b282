#include "vm/runtime_errors.h"

#include "vm/api.h"
#include "vm/debug_info.h"
#include "vm/error.h"
#include "vm/metamethods.h"
#include "vm/number.h"

namespace quevro {

void type_error(VmState* L, const Value* v, const char* operation) {
  VariableDescription d = describe_value(L, v);
  if (d.kind)
    runtime_error(L, "\n{Attempt to}:%s\n{Kind}:%s\n{Name}:'%s'\n{Type}:%s", operation, d.kind, d.name.c_str(),
                  value_type_name(v));
  runtime_error(L, "\n{Attempt to}:%s\n{Type}:%s", operation, value_type_name(v));
}


void arith_error(VmState* L, const Value* a, const Value* b) {
  double n;
  type_error(L, to_number_value(a, &n) ? b : a, "perform arithmetic on");
}

void compare_error(VmState* L, const Value* a, const Value* b) {
  const char* t1 = value_type_name(a);
  const char* t2 = value_type_name(b);
  if (std::string(t1) == t2) runtime_error(L, "\n{Attempt to}:compare two %s values", t1);
  runtime_error(L, "\n{Attempt to}:compare %s with %s", t1, t2);
}

}  // namespace quevro
