// The automation ABI as this library uses it. The library is built apart from the host's layers
// and links none of them: it takes only their declarations of the shapes (interface tables,
// VARIANT, SAFEARRAY, DISPPARAMS, EXCEPINFO, the exported function table), and makes and frees
// strings, arrays and VARIANTs through the functions the executable exports, so both sides share
// one allocator. The build links the library with --no-undefined: a host function called directly
// instead of through the table fails to link.
#pragma once

#include "com/automation_abi.h"
#include "com/dispatch_params.h"

namespace webview_com {

using namespace quevro::com;

inline bool failed(HRESULT hr) { return hr < 0; }

// The host's table, looked up once; null when the process exports none (then no host objects).
const AutomationAbi* automation();

}  // namespace webview_com
