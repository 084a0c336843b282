// One IDispatch::Invoke call with script values as arguments and results.
#pragma once

#include <string>

#include "com/dispatch_object.h"

namespace quevro::com {

struct InvokeRequest {
  DISPID member;
  WORD kind;
  int first_argument;  // stack index of the first argument
  int argument_count;
  int put_value;       // stack index of the value a property put stores; 0 for none
  bool with_outputs = false;  // also push the final value of every by-reference argument
};

struct InvokeOutcome {
  HRESULT hr;
  std::string message;  // an automation exception's text; empty for other codes
  int results = 0;      // values pushed on success
};

// Converts the arguments (the last one first, as Invoke expects them), calls, and on success
// pushes the converted result (then, when asked, the by-reference arguments in their order). Every VARIANT built for the call is cleared on every path.
InvokeOutcome invoke_member(VmState* L, DispatchWrapper* object, const InvokeRequest& request);

// The text a failed call raises.
std::string failure_text(const InvokeOutcome& outcome);

// The text a failed automation exception reports.
std::string exception_text(EXCEPINFO* info);

// Resolves a member name; false when the object does not know it.
bool member_id(DispatchWrapper* object, const char* name, size_t len, DISPID* out);

}  // namespace quevro::com
