// API function objects: a declared signature bound to a native address, and the call that
// converts script arguments by that signature, calls through libffi and converts the results.
#pragma once

#include <ffi.h>

#include <string>
#include <vector>

#include "native/declaration.h"
#include "vm/state.h"

namespace quevro {

struct ApiFunction {
  void* address = nullptr;
  Signature signature;
  std::string call_signature;  // result code, then per parameter its code or '&'
  std::string type_string;     // the same with plain codes
  uint16_t flags = 0;          // convention flags plus RESULT_FLOAT / RESULT_DOUBLE
  bool has_bound_first = false;
  void* bound_first = nullptr;
  ffi_cif cif{};
  std::vector<ffi_type*> argument_types;
};

// The libffi type of a code (pointers for strings, structures and by-reference cells).
ffi_type* ffi_type_of(char code);

// Prepares the call interface; false when libffi refuses it.
bool prepare_api(ApiFunction* api);

// Performs the call with the script arguments from stack slot `first` on; pushes the results
// and returns their count.
int call_api(VmState* L, ApiFunction* api, int first);

// A call by script types (a member read from a module object): every argument converted by what
// it is; the suffix chooses the result (B D F L P, else a signed 32-bit number).
int call_direct(VmState* L, void* address, bool unicode, char suffix, int first);

}  // namespace quevro
