// The names an automation object has resolved, kept so that a member whose identifier the
// object no longer knows can be looked up again by its name.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "com/com_types.h"

namespace quevro::com {

class NameCache {
 public:
  static constexpr size_t capacity = 150;

  // Records (or updates) a name's identifier; the oldest entry gives way when full.
  void remember(std::string_view name, DISPID id) {
    for (auto& entry : entries_) {
      if (entry.first == name) {
        entry.second = id;
        return;
      }
    }
    if (entries_.size() == capacity) entries_.erase(entries_.begin());
    entries_.emplace_back(std::string(name), id);
  }

  // The name last resolved to id; null when none was.
  const std::string* name_of(DISPID id) const {
    for (const auto& entry : entries_)
      if (entry.second == id) return &entry.first;
    return nullptr;
  }

  size_t size() const { return entries_.size(); }

 private:
  std::vector<std::pair<std::string, DISPID>> entries_;
};

}  // namespace quevro::com
