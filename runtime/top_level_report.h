// The top-level error report: what the user sees of an error no script caught.
#pragma once

#include <string>

#include "vm/state.h"

namespace quevro {

// The file name used as the caption of top-level reports.
void set_report_caption(const std::string& caption);

// With a graphical session and standard error not a terminal, reports are shown in a modal
// message box of the window layer instead (the application turns this on).
void set_report_dialog(bool dialog);

// Reports the value on top of the stack (when it is a string or number) as a top-level error.
// The first report's text is kept in the registry under "POPERROR"; with call_on_error the
// script's `onError` may replace the text (a string result) or suppress the report (any other).
void top_level_report(VmState* L, const char* caption, bool call_on_error);

// The state's panic handler: an error outside every protected call.
int report_unprotected_error(VmState* L);

}  // namespace quevro
