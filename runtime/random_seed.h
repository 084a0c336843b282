// The standard pseudo-random generator and its seeds. The generator is one per thread: every
// script thread and callback state seeds its own, so one thread's seed never steers another's
// sequence, and no lock is taken on each draw.
#pragma once

namespace quevro {

// A seed from the system's secure random source, or the tick count when that source fails or
// gives 0 (a zero seed would make every such start repeat the same sequence).
unsigned system_random_seed();

// Seeds the calling thread's generator (a thread that never seeds it starts from seed 1).
void seed_thread_random(unsigned seed);

// The next number of the calling thread's generator, 0 to 32767.
int next_thread_random();

}  // namespace quevro
