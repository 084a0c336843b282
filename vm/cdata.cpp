#include "vm/cdata.h"

#include <cstring>

#include "vm/memory.h"
#include "vm/state.h"

namespace quevro {

CdataObject* cdata_create(VmState* L, size_t size, TableObject* env) {
  if (size > 0xFFFFFFFFu - sizeof(CdataObject) - 2) block_too_big(L);
  auto* u = mem_new_object<CdataObject>(L, cdata_alloc_size(static_cast<uint32_t>(size)));
  u->metatable = nullptr;
  u->env = env;
  u->size = static_cast<uint32_t>(size);
  std::memset(u->data(), 0, size + 2);
  SharedState* g = G(L);
  u->tag = TAG_CDATA;
  u->marked = current_white(g);
  u->next = g->all_cdata;
  g->all_cdata = u;
  return u;
}

void free_cdata(SharedState* g, CdataObject* u) { mem_free(g, u, cdata_alloc_size(u->size)); }

}  // namespace quevro
