// What native objects that hold script values know of the state those values live in. Foreign
// code may keep such an object after the state has closed; the link outlives the state and then
// says it is gone, so the object never touches freed memory. Values are kept alive in the
// registry under the holding object's address (an anchor), released when the object goes.
#pragma once

#include <thread>

#include "com/com_types.h"
#include "vm/state.h"

namespace quevro::com {

struct StateLink {
  VmState* L;              // the main fiber; null once the state has closed
  std::thread::id thread;  // the state's thread: the only one that may run its code
  ULONG references;        // one per holder, one for the state itself while it is open
  TableObject* anchors;    // the registry's anchor table: it lives as long as the state
};

// The link of L's machine, made on first use; raises when the state is already closing.
StateLink* acquire_state_link(VmState* L);
void release_state_link(StateLink* link);
// Native objects holding script values, alive in the process (for leak checks).
long live_link_holders();

// The state to run script code in, or null (with the code to answer) when the state has closed
// or the caller is on another thread.
VmState* usable_state(const StateLink* link, HRESULT* refusal);

// Anchors: the value at idx kept alive for `holder` (replacing what it had); pushing it back;
// letting it go.
void anchor_value(const StateLink* link, VmState* L, const void* holder, int idx);
void push_anchored(const StateLink* link, VmState* L, const void* holder);
void drop_anchor(const StateLink* link, const void* holder);

}  // namespace quevro::com
