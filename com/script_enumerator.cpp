#include "com/script_enumerator.h"

#include "com/com_object.h"
#include "com/state_link.h"
#include "com/variant_conversion.h"
#include "vm/calls.h"

namespace quevro::com {
namespace {

// Anchored record: [1] the table, [2] the key reached (null before the first element).
constexpr int TABLE_FIELD = 1;
constexpr int KEY_FIELD = 2;

class ScriptEnumerator final : public ComObject<ScriptEnumerator, IEnumVARIANT, &IID_IEnumVARIANT> {
 public:
  // Takes a reference to the link; the record at idx becomes its anchor.
  ScriptEnumerator(VmState* L, int record) : link_(acquire_state_link(L)) { anchor_value(link_, L, this, record); }
  ~ScriptEnumerator() {
    if (link_->L) drop_anchor(link_, this);
    release_state_link(link_);
  }

  HRESULT Next(ULONG count, VARIANT* items, ULONG* fetched) override {
    if (fetched) *fetched = 0;
    if (count == 0) return S_OK;
    if (!items) return E_POINTER;
    for (ULONG i = 0; i < count; ++i) VariantInit(&items[i]);
    Step step{this, count, items, 0};
    HRESULT hr = run(step_body, &step);
    if (FAILED(hr)) {
      for (ULONG i = 0; i < step.done; ++i) VariantClear(&items[i]);
      return hr;
    }
    if (fetched) *fetched = step.done;
    return step.done == count ? S_OK : S_FALSE;
  }

  HRESULT Skip(ULONG count) override {
    Step step{this, count, nullptr, 0};
    HRESULT hr = run(step_body, &step);
    if (FAILED(hr)) return hr;
    return step.done == count ? S_OK : S_FALSE;
  }

  HRESULT Reset() override {
    return run([](VmState* L, void* ud) {
      static_cast<ScriptEnumerator*>(ud)->push_record(L);
      push_null(L);
      raw_set_index(L, -2, KEY_FIELD);
    }, this);
  }

  HRESULT Clone(IEnumVARIANT** copy) override {
    if (!copy) return E_POINTER;
    *copy = nullptr;
    Cloning cloning{this, copy};
    return run([](VmState* L, void* ud) {
      auto* c = static_cast<Cloning*>(ud);
      c->source->push_record(L);
      new_table(L, 2, 0);
      raw_get_index(L, -2, TABLE_FIELD);
      raw_set_index(L, -2, TABLE_FIELD);
      raw_get_index(L, -2, KEY_FIELD);
      raw_set_index(L, -2, KEY_FIELD);
      *c->copy = new ScriptEnumerator(L, get_top(L));
    }, &cloning);
  }

 private:
  struct Step {
    ScriptEnumerator* self;
    ULONG count;
    VARIANT* items;  // null when skipping
    ULONG done;
  };
  struct Cloning {
    ScriptEnumerator* source;
    IEnumVARIANT** copy;
  };

  void push_record(VmState* L) const { push_anchored(link_, L, this); }

  static void step_body(VmState* L, void* ud) {
    auto* step = static_cast<Step*>(ud);
    check_stack(L, 8);
    step->self->push_record(L);
    int record = get_top(L);
    raw_get_index(L, record, TABLE_FIELD);
    int table = get_top(L);
    raw_get_index(L, record, KEY_FIELD);
    if (type_of(L, -1) == TAG_BOOLEAN) return;  // already at the end
    while (step->done < step->count && next(L, table)) {
      if (step->items) to_variant(L, -1, &step->items[step->done]);
      ++step->done;
      pop(L, 1);  // the value; the key stays for the next step
      push_value(L, -1);
      raw_set_index(L, record, KEY_FIELD);
    }
    if (step->done < step->count) {
      // The end: stay there, so further calls keep answering S_FALSE.
      push_boolean(L, false);
      raw_set_index(L, record, KEY_FIELD);
    }
  }

  HRESULT run(void (*body)(VmState*, void*), void* ud) {
    HRESULT refusal;
    VmState* L = usable_state(link_, &refusal);
    if (!L) return refusal;
    ComRef<IEnumVARIANT> keep = ComRef<IEnumVARIANT>::share(this);
    int top = get_top(L);
    int status = protected_run(L, body, ud);
    set_top(L, top);
    return status == STATUS_OK ? S_OK : E_FAIL;
  }

  StateLink* link_;
};

}  // namespace

IEnumVARIANT* new_script_enumerator(VmState* L, int idx) {
  if (idx < 0 && idx > REGISTRY_INDEX) idx = get_top(L) + idx + 1;
  check_stack(L, 4);
  new_table(L, 2, 0);
  push_value(L, idx);
  raw_set_index(L, -2, TABLE_FIELD);
  auto* items = new ScriptEnumerator(L, get_top(L));
  pop(L, 1);
  return items;
}

}  // namespace quevro::com
