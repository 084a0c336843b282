#include "com/connection_points.h"

#include "com/com_object.h"

namespace quevro::com {
namespace {

// An enumerator over a snapshot of items, each holding one reference (Hold adds it, Drop
// gives it back, Out copies an item to the caller with a reference of its own).
template <class Interface, class Item, const IID* IID_SELF>
class SnapshotEnumerator final
    : public ComObject<SnapshotEnumerator<Interface, Item, IID_SELF>, Interface, IID_SELF> {
 public:
  using Hold = void (*)(const Item&);
  using Drop = void (*)(const Item&);
  SnapshotEnumerator(std::vector<Item> items, Hold hold, Drop drop)
      : items_(std::move(items)), hold_(hold), drop_(drop) {}
  ~SnapshotEnumerator() {
    for (const Item& item : items_) drop_(item);
  }

  HRESULT Next(ULONG count, Item* out, ULONG* fetched) override {
    if (!out && count) return E_POINTER;
    ULONG done = 0;
    for (; done < count && position_ < items_.size(); ++done, ++position_) {
      out[done] = items_[position_];
      hold_(out[done]);
    }
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    size_t left = items_.size() - position_;
    position_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT Clone(Interface** copy) override {
    if (!copy) return E_POINTER;
    for (const Item& item : items_) hold_(item);
    auto* made = new SnapshotEnumerator(items_, hold_, drop_);
    made->position_ = position_;
    *copy = made;
    return S_OK;
  }

 private:
  std::vector<Item> items_;
  size_t position_ = 0;
  Hold hold_;
  Drop drop_;
};

using ConnectionList = SnapshotEnumerator<IEnumConnections, CONNECTDATA, &IID_IEnumConnections>;
using PointList = SnapshotEnumerator<IEnumConnectionPoints, IConnectionPoint*, &IID_IEnumConnectionPoints>;

void hold_connection(const CONNECTDATA& c) { c.pUnk->AddRef(); }
void drop_connection(const CONNECTDATA& c) { c.pUnk->Release(); }
void hold_point(IConnectionPoint* const& p) { p->AddRef(); }
void drop_point(IConnectionPoint* const& p) { p->Release(); }

}  // namespace

class ConnectionPoints::Point final : public IConnectionPoint {
 public:
  Point(ConnectionPoints* container, ITypeInfo* events) : container_(container), events_(events) {
    events_->AddRef();
    TYPEATTR* attributes;
    if (SUCCEEDED(events_->GetTypeAttr(&attributes))) {
      iid_ = attributes->guid;
      events_->ReleaseTypeAttr(attributes);
    }
  }
  ~Point() {
    disconnect();
    events_->Release();
  }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    return answer_one_interface<IConnectionPoint>(this, IID_IConnectionPoint, iid, object);
  }
  ULONG AddRef() override { return container_->AddRef(); }
  ULONG Release() override { return container_->Release(); }

  HRESULT GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
  }
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) override {
    if (!container) return E_POINTER;
    container_->AddRef();
    *container = container_;
    return S_OK;
  }
  HRESULT Advise(IUnknown* sink, DWORD* cookie) override {
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    IDispatch* dispatch = nullptr;
    // A sink answers the event interface itself or, for dispatch interfaces, IDispatch.
    if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(&dispatch))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))))
      return CONNECT_E_CANNOTCONNECT;
    sinks_.push_back(Sink{++last_cookie_, dispatch});
    *cookie = last_cookie_;
    return S_OK;
  }
  HRESULT Unadvise(DWORD cookie) override {
    for (size_t i = 0; i < sinks_.size(); ++i) {
      if (sinks_[i].cookie != cookie) continue;
      IDispatch* sink = sinks_[i].sink;
      sinks_.erase(sinks_.begin() + static_cast<ptrdiff_t>(i));
      sink->Release();
      return S_OK;
    }
    return CONNECT_E_NOCONNECTION;
  }
  HRESULT EnumConnections(IEnumConnections** connections) override {
    if (!connections) return E_POINTER;
    std::vector<CONNECTDATA> list;
    for (const Sink& s : sinks_) {
      s.sink->AddRef();
      list.push_back(CONNECTDATA{s.sink, s.cookie});
    }
    *connections = new ConnectionList(std::move(list), hold_connection, drop_connection);
    return S_OK;
  }

  ITypeInfo* events() const { return events_; }
  const GUID& iid() const { return iid_; }
  std::vector<IDispatch*> sinks() const {
    std::vector<IDispatch*> out;
    for (const Sink& s : sinks_) {
      s.sink->AddRef();
      out.push_back(s.sink);
    }
    return out;
  }
  void disconnect() {
    std::vector<Sink> gone;
    gone.swap(sinks_);
    for (Sink& s : gone) s.sink->Release();
  }

 private:
  struct Sink {
    DWORD cookie;
    IDispatch* sink;
  };
  ConnectionPoints* container_;
  ITypeInfo* events_;
  GUID iid_{};
  std::vector<Sink> sinks_;
  DWORD last_cookie_ = 0;
};

ConnectionPoints::ConnectionPoints(IUnknown* owner, std::vector<ITypeInfo*> interfaces) : owner_(owner) {
  for (ITypeInfo* events : interfaces) points_.push_back(new Point(this, events));
}

ConnectionPoints::~ConnectionPoints() {
  for (Point* point : points_) delete point;
}

HRESULT ConnectionPoints::EnumConnectionPoints(IEnumConnectionPoints** points) {
  if (!points) return E_POINTER;
  std::vector<IConnectionPoint*> list;
  for (Point* p : points_) {
    p->AddRef();
    list.push_back(p);
  }
  *points = new PointList(std::move(list), hold_point, drop_point);
  return S_OK;
}

HRESULT ConnectionPoints::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  for (Point* p : points_) {
    if (p->iid() == iid) {
      p->AddRef();
      *point = p;
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

ITypeInfo* ConnectionPoints::interface_with_event(const char16_t* name, MEMBERID* id) const {
  for (Point* p : points_) {
    if (FUNCDESC* member = find_member(p->events(), name, INVOKE_FUNC)) {
      *id = member->memid;
      p->events()->ReleaseFuncDesc(member);
      return p->events();
    }
  }
  return nullptr;
}

std::vector<IDispatch*> ConnectionPoints::sinks_of(ITypeInfo* events) const {
  for (Point* p : points_)
    if (p->events() == events) return p->sinks();
  return {};
}

void ConnectionPoints::disconnect_all() {
  for (Point* p : points_) p->disconnect();
}

}  // namespace quevro::com
