// The functions the generator script calls on its host (`papyrantHost`): text encoding and raw
// deflate, which a page gets from its browser, and, in the realm that generates, the output.
#pragma once

#include <csignal>

#include "batch/document_sink.h"
#include "batch/js_engine.h"
#include "batch/progress_bar.h"

namespace quevro::batch {

struct RunHooks {
  DocumentSink* sink;
  ProgressBar* progress;
  const volatile std::sig_atomic_t* interrupted;  // set by the interrupt signal
  JSCContext* context = nullptr;                  // the realm they serve (set when installed)
};

// Publishes papyrantHost in the engine's realm; without hooks only the text and deflate functions.
// The hooks must outlive every call into the engine.
void install_host_functions(JsEngine& engine, RunHooks* hooks);

}  // namespace quevro::batch
