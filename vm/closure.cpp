#include "vm/closure.h"

#include "vm/collector.h"
#include "vm/memory.h"
#include "vm/state.h"
#include "vm/table.h"

namespace quevro {

ClosureObject* new_native_closure(VmState* L, NativeFn fn, int nup, TableObject* env) {
  auto* c = mem_new_object<ClosureObject>(L, native_closure_size(nup));
  c->is_script = 0;
  c->is_class = 0;
  c->nupvalues = static_cast<uint8_t>(nup);
  c->env = env;
  c->fn = fn;
  for (int i = 0; i < nup; ++i) c->native_upvalues()[i] = make_null();
  link_object(G(L), c, TAG_FUNCTION);
  return c;
}

ClosureObject* new_script_closure(VmState* L, Prototype* p, TableObject* env) {
  int nup = p->nupvalues;
  auto* c = mem_new_object<ClosureObject>(L, script_closure_size(nup));
  c->is_script = 1;
  c->is_class = 0;
  c->nupvalues = static_cast<uint8_t>(nup);
  c->env = env;
  c->proto = p;
  for (int i = 0; i < nup; ++i) c->script_upvalues()[i] = nullptr;
  link_object(G(L), c, TAG_FUNCTION);
  return c;
}

void make_class(VmState* L, ClosureObject* c) {
  c->is_class = 1;
  c->env = table_create(L, 0, CLASS_TABLE_HASH_HINT);
}

void free_closure(SharedState* g, ClosureObject* c) { mem_free(g, c, closure_size(c)); }

namespace {

void unlink_open(UpvalueObject* uv) {
  uv->open.next->open.prev = uv->open.prev;
  uv->open.prev->open.next = uv->open.next;
}

}  // namespace

UpvalueObject* find_upvalue(VmState* L, Value* slot) {
  SharedState* g = G(L);
  // The fiber's list is ordered by slot, highest first, and linked through GcObject::next.
  GcObject** link = reinterpret_cast<GcObject**>(&L->open_upvalues);
  while (*link) {
    auto* uv = static_cast<UpvalueObject*>(*link);
    if (uv->v < slot) break;
    if (uv->v == slot) {
      if (is_dead(g, uv)) uv->marked ^= MARK_WHITES;
      return uv;
    }
    link = &uv->next;
  }
  auto* uv = mem_new_object<UpvalueObject>(L, sizeof(UpvalueObject));
  uv->tag = TAG_UPVAL;
  uv->marked = current_white(g);
  uv->v = slot;
  uv->next = *link;
  *link = uv;
  UpvalueObject* head = &g->open_upvalue_head;
  uv->open.prev = head;
  uv->open.next = head->open.next;
  head->open.next->open.prev = uv;
  head->open.next = uv;
  return uv;
}

void close_upvalues(VmState* L, Value* level) {
  SharedState* g = G(L);
  while (UpvalueObject* uv = L->open_upvalues) {
    if (uv->v < level) break;
    L->open_upvalues = static_cast<UpvalueObject*>(uv->next);
    unlink_open(uv);
    if (is_dead(g, uv)) {
      mem_free(g, uv, sizeof(UpvalueObject));
      continue;
    }
    uv->closed = *uv->v;
    uv->v = &uv->closed;
    link_closed_upvalue(L, uv);
  }
}

UpvalueObject* new_closed_upvalue(VmState* L) {
  auto* uv = mem_new_object<UpvalueObject>(L, sizeof(UpvalueObject));
  uv->tag = TAG_UPVAL;
  uv->marked = current_white(G(L));
  set_null(&uv->closed);
  uv->v = &uv->closed;
  link_closed_upvalue(L, uv);
  return uv;
}

void free_upvalue(SharedState* g, UpvalueObject* uv) {
  if (uv->is_open()) unlink_open(uv);
  mem_free(g, uv, sizeof(UpvalueObject));
}

}  // namespace quevro
