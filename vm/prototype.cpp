#include "vm/prototype.h"

#include "vm/memory.h"
#include "vm/state.h"

namespace quevro {

Prototype* new_prototype(VmState* L) {
  auto* p = mem_new_object<Prototype>(L, sizeof(Prototype));
  p->constants = nullptr;
  p->code = nullptr;
  p->protos = nullptr;
  p->line_info = nullptr;
  p->locals = nullptr;
  p->upvalue_names = nullptr;
  p->source = nullptr;
  p->size_constants = p->size_code = p->size_protos = 0;
  p->size_line_info = p->size_locals = p->size_upvalue_names = 0;
  p->line_defined = p->last_line_defined = 0;
  p->nupvalues = p->numparams = p->vararg_flags = p->max_stack_size = p->is_class = 0;
  p->call_room = UINT32_MAX;
  link_object(G(L), p, TAG_PROTO);
  return p;
}

void free_prototype(SharedState* g, Prototype* p) {
  mem_free(g, p->code, sizeof(Instruction) * static_cast<size_t>(p->size_code));
  mem_free(g, p->constants, sizeof(Value) * static_cast<size_t>(p->size_constants));
  mem_free(g, p->protos, sizeof(Prototype*) * static_cast<size_t>(p->size_protos));
  mem_free(g, p->line_info, sizeof(int) * static_cast<size_t>(p->size_line_info));
  mem_free(g, p->locals, sizeof(LocalVarInfo) * static_cast<size_t>(p->size_locals));
  mem_free(g, p->upvalue_names, sizeof(StringObject*) * static_cast<size_t>(p->size_upvalue_names));
  mem_free(g, p, sizeof(Prototype));
}

}  // namespace quevro
