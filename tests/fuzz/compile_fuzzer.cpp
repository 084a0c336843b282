// libFuzzer target: any input either fails to compile with a syntax error or yields prototypes
// that pass the code verifier. Crashes, hangs and sanitizer reports are the failures.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "compiler/compiler.h"
#include "compiler/disassembler.h"
#include "compiler/lexer.h"
#include "compiler/verifier.h"
#include "vm/error.h"
#include "vm/state.h"

namespace quevro {

// The fuzzer resolves includes to nowhere, so "$" includes never read the machine's files.
std::string include_nowhere(const std::string& path) { return "/nonexistent-fuzz-include/" + path; }

}  // namespace quevro

namespace {

struct Job {
  const char* data;
  size_t size;
  quevro::Prototype* result;
};

void compile_body(quevro::VmState* L, void* ud) {
  auto* job = static_cast<Job*>(ud);
  job->result = quevro::compile_source(L, job->data, job->size, "=fuzz");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A chunk starting with "=" goes to the chunk loader, never to the compiler.
  if (size > 0 && data[0] == '=') return 0;
  quevro::set_include_path_resolver(quevro::include_nowhere);
  quevro::VmState* L = quevro::open_state();
  if (!L) return 0;
  Job job{reinterpret_cast<const char*>(data), size, nullptr};
  int status = quevro::run_protected(L, compile_body, &job);
  if (status == 0) {
    if (!quevro::verify_prototype_tree(job.result)) {
      std::fprintf(stderr, "verifier rejected compiler output:\n%s\n", quevro::disassemble(job.result).c_str());
      std::abort();
    }
    (void)quevro::disassemble(job.result);
  } else if (status != quevro::STATUS_SYNTAX && status != quevro::STATUS_RUNTIME && status != quevro::STATUS_MEMORY) {
    std::fprintf(stderr, "unexpected status %d\n", status);
    std::abort();
  }
  if (L->native_depth != 0) {
    std::fprintf(stderr, "nesting counter not restored: %d\n", L->native_depth);
    std::abort();
  }
  quevro::close_state(L);
  return 0;
}
