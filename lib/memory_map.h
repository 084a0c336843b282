// Whether memory that a script names by a pointer value is really there. Pointer values can be
// made from any number, so functions that read or write through them check the process's memory
// map first and refuse, rather than fault on, an address that nothing is mapped at.
#pragma once

#include <cstddef>

namespace quevro {

// True when every byte of [address, address + size) is mapped readable (and writable when asked).
bool memory_is_accessible(const void* address, size_t size, bool writable);

}  // namespace quevro
