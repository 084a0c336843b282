// Seeds for the standard pseudo-random generator.
#pragma once

namespace quevro {

// A seed from the system's secure random source, or the tick count when that source fails or
// gives 0 (a zero seed would make every such start repeat the same sequence).
unsigned system_random_seed();

}  // namespace quevro
