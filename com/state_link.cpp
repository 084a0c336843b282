#include "com/state_link.h"

#include <atomic>

#include "com/com_library.h"
#include "runtime/library_registry.h"
#include "vm/api.h"

namespace quevro::com {
namespace {

// Registry table of anchors, keyed by holder address; its LINK_KEY entry is the cdata whose
// finaliser (run when the state closes) cuts the link.
constexpr const char* ANCHORS = "com.anchors";
constexpr const char* LINK_KEY = "link";
constexpr const char* LINK_TYPE = "StateLink";

std::atomic<long> holders{0};

void drop_link_reference(StateLink* link) {
  if (--link->references == 0) delete link;
}

int close_link(VmState* L) {
  auto** slot = static_cast<StateLink**>(to_cdata(L, 1));
  if (slot && *slot) {
    StateLink* link = *slot;
    *slot = nullptr;
    link->L = nullptr;
    drop_link_reference(link);
  }
  return 0;
}

void push_link_metatable(VmState* L) {
  push_com_metatable(L, LINK_TYPE);
  if (type_of(L, -1) == TAG_TABLE) return;
  pop(L, 1);
  static const LibraryFunction fields[] = {{"_gc", close_link}, {nullptr, nullptr}};
  register_object_type(L, COM_LIBRARY, LINK_TYPE, fields);
}

}  // namespace

StateLink* acquire_state_link(VmState* L) {
  check_stack(L, 4);
  registry_subtable(L, ANCHORS);
  raw_get_field(L, -1, LINK_KEY);
  StateLink* link = nullptr;
  if (is_cdata(L, -1)) {
    link = *static_cast<StateLink**>(to_cdata(L, -1));
    pop(L, 2);
    // A finalised link cdata means the state is closing: nothing new may hold on to it.
    if (!link) runtime_error_text(L, "Internal Error");
  } else {
    pop(L, 1);
    auto** slot = static_cast<StateLink**>(new_cdata(L, sizeof(StateLink*)));
    *slot = nullptr;
    push_link_metatable(L);
    set_metatable(L, -2);
    link = new StateLink{G(L)->main_fiber, std::this_thread::get_id(), 1, stack_address(L, -2)->table()};
    *slot = link;
    raw_set_field(L, -2, LINK_KEY);
    pop(L, 1);
  }
  ++link->references;
  ++holders;
  return link;
}

void release_state_link(StateLink* link) {
  --holders;
  drop_link_reference(link);
}

long live_link_holders() { return holders.load(); }

VmState* usable_state(const StateLink* link, HRESULT* refusal) {
  if (!link->L) {
    *refusal = RPC_E_DISCONNECTED;
    return nullptr;
  }
  if (std::this_thread::get_id() != link->thread) {
    *refusal = RPC_E_WRONG_THREAD;
    return nullptr;
  }
  return link->L;
}

void anchor_value(const StateLink* link, VmState* L, const void* holder, int idx) {
  if (idx < 0 && idx > REGISTRY_INDEX) idx = get_top(L) + idx + 1;
  check_stack(L, 4);
  push(L, make_object(link->anchors));
  push_pointer(L, const_cast<void*>(holder));
  push_value(L, idx);
  raw_set(L, -3);
  pop(L, 1);
}

void push_anchored(const StateLink* link, VmState* L, const void* holder) {
  check_stack(L, 2);
  Value key = make_pointer(const_cast<void*>(holder));
  push(L, *table_get(link->anchors, key));
}

void drop_anchor(const StateLink* link, const void* holder) {
  VmState* L = link->L;
  check_stack(L, 4);
  push(L, make_object(link->anchors));
  push_pointer(L, const_cast<void*>(holder));
  push_null(L);
  raw_set(L, -3);
  pop(L, 1);
}

}  // namespace quevro::com
