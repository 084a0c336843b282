#include "native/window_calls.h"

#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "lib/library_support.h"
#include "native/packed_values.h"
#include "runtime/window_system.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/debug_info.h"
#include "vm/metamethods.h"

namespace quevro {
namespace {

constexpr const char* CHUNK_NAME = "=thread->callWnd";

// One value of a packet, laid out as native code sees it.
struct PacketItem {
  int32_t kind;
  int32_t length;
  union {
    int64_t boolean;
    void* pointer;
    double number;
    const char* bytes;
  } value;
  uint8_t flags;
};

// The bytes the items point to, owned by whoever filled the packet last (the sender, then the
// receiver); the sender blocks while the receiver works, so only one side touches it at a time.
struct PacketStorage {
  std::vector<PacketItem> items;
  std::deque<std::string> bytes;
};

// The record whose address travels in lParam: count (negative for an error, whose message is the
// single item), items, and how often a receiver has filled it.
struct MessagePacket {
  int32_t count;
  PacketItem* items;
  int32_t fills;
  PacketStorage* storage;
};

// Packets being sent right now. A receiver only touches an address listed here, so a wrong or
// stale lParam is refused instead of read.
struct LivePackets {
  std::mutex lock;
  std::set<const MessagePacket*> live;
};

LivePackets& live_packets() {
  static auto* p = new LivePackets;  // never destroyed: threads may still send at exit
  return *p;
}

class SendingPacket {
 public:
  SendingPacket() : packet_{0, nullptr, 0, &storage_} {
    std::lock_guard<std::mutex> guard(live_packets().lock);
    live_packets().live.insert(&packet_);
  }
  ~SendingPacket() {
    std::lock_guard<std::mutex> guard(live_packets().lock);
    live_packets().live.erase(&packet_);
  }
  SendingPacket(const SendingPacket&) = delete;
  SendingPacket& operator=(const SendingPacket&) = delete;
  MessagePacket* packet() { return &packet_; }

 private:
  PacketStorage storage_;
  MessagePacket packet_;
};

bool is_live(const MessagePacket* p) {
  std::lock_guard<std::mutex> guard(live_packets().lock);
  return live_packets().live.count(p) != 0;
}

// Replaces the packet's items with the values first..last of L (count negated for an error).
void fill_packet(VmState* L, MessagePacket* p, int first, int last, bool error) {
  PacketStorage* s = p->storage;
  s->items.clear();
  s->bytes.clear();
  for (int i = first; i <= last; ++i) {
    PackedValue v;
    if (!pack_value(L, i, &v)) v = PackedValue{};  // what cannot cross arrives as null
    PacketItem item{};
    item.kind = v.kind;
    switch (v.kind) {
      case PACKED_BOOLEAN: item.value.boolean = v.boolean ? 1 : 0; break;
      case PACKED_POINTER: item.value.pointer = v.pointer; break;
      case PACKED_NUMBER: item.value.number = v.number; break;
      case PACKED_NULL: break;
      default:
        s->bytes.push_back(std::move(v.bytes));
        item.value.bytes = s->bytes.back().data();
        item.length = static_cast<int32_t>(s->bytes.back().size());
        item.flags = v.flags;
        break;
    }
    s->items.push_back(item);
  }
  int32_t count = static_cast<int32_t>(s->items.size());
  p->count = error ? -count : count;
  p->items = s->items.data();
}

PackedValue item_value(const PacketItem& item) {
  PackedValue v;
  v.kind = item.kind;
  switch (item.kind) {
    case PACKED_BOOLEAN: v.boolean = item.value.boolean != 0; break;
    case PACKED_POINTER: v.pointer = item.value.pointer; break;
    case PACKED_NUMBER: v.number = item.value.number; break;
    case PACKED_STRING: case PACKED_TABLE_TEXT: case PACKED_FUNCTION: case PACKED_BUFFER:
      v.bytes.assign(item.value.bytes, static_cast<size_t>(item.length));
      v.flags = item.flags;
      break;
    default: v.kind = PACKED_NULL; break;
  }
  return v;
}

// Pushes the packet's values; raises in L when one does not rebuild.
int unpack_packet(VmState* L, const MessagePacket* p) {
  int count = p->count < 0 ? -p->count : p->count;
  ensure_stack(L, count + 2);
  for (int i = 0; i < count; ++i) {
    if (!unpack_value(L, item_value(p->items[i]), CHUNK_NAME)) raise_error(L);
  }
  return count;
}

winsys::WindowHandle window_arg(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  if (v->tag == TAG_POINTER) return v->u.p;
  double n;
  if (to_number_value(v, &n)) return reinterpret_cast<winsys::WindowHandle>(static_cast<uintptr_t>(n));
  type_arg_error(L, idx, "pointer");
}

// The sender's side: packs the values from the name on, sends, and returns the answer.
int send_window_call(VmState* L, WindowCallAction action, int last) {
  winsys::WindowHandle hwnd = window_arg(L, ARG1);
  if (is_none_or_null(L, ARG2)) type_arg_error(L, ARG2, "string");
  set_top(L, last);  // a value left out (setWnd without one) goes as null
  SendingPacket sending;
  MessagePacket* p = sending.packet();
  fill_packet(L, p, ARG2, last, false);
  winsys::send_message(hwnd, WINDOW_CALL_MESSAGE, action, reinterpret_cast<intptr_t>(p));
  if (p->fills == 0 || p->count == 0) return 0;
  int base = get_top(L);
  int n = unpack_packet(L, p);
  if (p->count > 0) return n;
  // The receiver's error, raised here with the caller's position in front of a message.
  set_top(L, base + 1);
  int t = type_of(L, -1);
  if (t == TAG_STRING || t == TAG_NUMBER) {
    std::string text = where(L, 1);
    size_t len = 0;
    const char* message = to_lstring(L, -1, &len);
    text.append(message, len);
    pop(L, 1);
    push_lstring(L, text.data(), text.size());
  }
  raise_error(L);
}

}  // namespace

int thread_call_wnd(VmState* L) { return send_window_call(L, WINDOW_CALL, get_top(L)); }
int thread_get_wnd(VmState* L) { return send_window_call(L, WINDOW_GET, ARG2); }
int thread_set_wnd(VmState* L) { return send_window_call(L, WINDOW_SET, ARG3); }

// thread.applyCallWnd(target, wParam, lParam) on the window's thread.
int thread_apply_call_wnd(VmState* L) {
  check_table(L, ARG1);
  auto action = static_cast<uintptr_t>(check_number(L, ARG2));
  Value* lp = stack_address(L, ARG3);
  double n = 0;
  const MessagePacket* in = nullptr;
  if (lp->tag == TAG_POINTER) in = static_cast<const MessagePacket*>(lp->u.p);
  else if (to_number_value(lp, &n)) in = reinterpret_cast<const MessagePacket*>(static_cast<uintptr_t>(n));
  if (in == nullptr || !is_live(in)) arg_error(L, ARG3, "not a window-call packet");
  auto* p = const_cast<MessagePacket*>(in);
  int base = get_top(L);
  int count = unpack_packet(L, p);
  int name = base + 1;
  if (count < 1) arg_error(L, ARG3, "window call without a name");
  int results_from = get_top(L) + 1;
  bool failed = false;
  switch (action) {
    case WINDOW_GET:
      push_value(L, name);
      get_table(L, ARG1);
      break;
    case WINDOW_SET:
      push_value(L, name);
      if (count >= 2) push_value(L, name + 1); else push_null(L);
      set_table(L, ARG1);
      break;
    default: {
      push_value(L, name);
      get_table(L, ARG1);
      push_null(L);  // the owner
      for (int i = name + 1; i < name + count; ++i) push_value(L, i);
      failed = pcall(L, count, -1, 0) != STATUS_OK;
      break;
    }
  }
  int results_to = get_top(L);
  fill_packet(L, p, results_from, results_to, failed);
  p->fills++;
  return results_to - results_from + 1;
}

}  // namespace quevro
