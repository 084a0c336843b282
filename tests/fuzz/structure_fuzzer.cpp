// libFuzzer target: a structure declaration from the input, with a packing limit from its first
// byte, is measured, packed into a block of exactly the measured size and unpacked again, with
// empty fields and with every field set from the input. Errors must be script errors; writes
// outside the block show up under the address sanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "native/structures.h"
#include "vm/api.h"
#include "vm/error.h"
#include "vm/state.h"

namespace {

struct Job {
  std::string declaration;
  int pack;
  std::string payload;
};

void run(quevro::VmState* L, void* ud) {
  auto* job = static_cast<Job*>(ud);
  using namespace quevro;
  new_table(L, 0, 4);
  int t = get_top(L);
  push_lstring(L, job->declaration.data(), job->declaration.size());
  set_field(L, t, "_struct");
  push_number(L, job->pack);
  set_field(L, t, "_struct_aligned");
  for (int filled = 0; filled < 2; ++filled) {
    if (filled) {
      std::vector<FieldDeclaration> fields;
      if (parse_structure(job->declaration, &fields).fault != DeclarationFault::NONE) return;
      for (const FieldDeclaration& f : fields) {
        if (f.code == 't' || f.code == 'u') continue;
        if (f.count != 0) push_lstring(L, job->payload.data(), job->payload.size());
        else if (f.code == 's' || f.code == 'S' || f.code == 'g') push_lstring(L, job->payload.data(), job->payload.size());
        else if (f.code == 'p' || f.code == 'P') push_null(L);
        else push_number(L, static_cast<double>(job->payload.size()) - 3.5);
        set_field(L, t, f.name.c_str());
      }
    }
    size_t size = structure_size(L, t);
    if (size == 0 || size > (1u << 26)) return;
    std::vector<unsigned char> block(size);
    if (pack_structure(L, t, block.data(), 0) != size) std::abort();
    unpack_structure(L, t, block.data(), 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t split = text.find('|');
  Job job{text.substr(0, split), data[0] % 17, split == std::string::npos ? std::string() : text.substr(split + 1)};
  quevro::VmState* L = quevro::open_state();
  if (!L) return 0;
  int status = quevro::run_protected(L, run, &job);
  if (status != 0 && status != quevro::STATUS_RUNTIME && status != quevro::STATUS_MEMORY) std::abort();
  quevro::close_state(L);
  return 0;
}
