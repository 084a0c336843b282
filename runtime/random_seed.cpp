#include "runtime/random_seed.h"

#include <random>

#include "runtime/window_system.h"

namespace quevro {

unsigned system_random_seed() {
  unsigned seed = 0;
  try {
    std::random_device source;
    seed = source();
  } catch (...) {
    // No secure source on this system: the tick count below stands in.
  }
  if (seed == 0) seed = winsys::tick_count();
  return seed;
}

}  // namespace quevro
