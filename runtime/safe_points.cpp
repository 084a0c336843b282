#include "runtime/safe_points.h"

#include <atomic>

namespace quevro {
namespace {

std::atomic<SafePointCheck> g_check{nullptr};

}  // namespace

void install_safe_point_check(SafePointCheck check) { g_check.store(check); }

void reach_safe_point() {
  SafePointCheck check = g_check.load(std::memory_order_relaxed);
  if (check != nullptr) check();
}

}  // namespace quevro
