#include "runtime/random_seed.h"

#include <cstdint>
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

namespace {

// A linear congruential generator of 32 bits; the top bits of each step are the result, as the
// low bits of such a generator repeat with short periods.
thread_local uint32_t t_random_state = 1;

}  // namespace

void seed_thread_random(unsigned seed) { t_random_state = seed; }

int next_thread_random() {
  t_random_state = t_random_state * 214013u + 2531011u;
  return static_cast<int>((t_random_state >> 16) & 0x7FFF);
}

}  // namespace quevro
