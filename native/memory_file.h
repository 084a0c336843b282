// An anonymous file in memory holding an image, so that the dynamic linker can map it by path
// (/proc/self/fd/N) although nothing was ever written to disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quevro {

// A new close-on-exec memory file holding the bytes, sealed against any later change of size or
// content so that what the linker mapped stays what was checked. Its descriptor, or -1 with a
// Win32 error number in *win32_error (OUTOFMEMORY; TOO_MANY_OPEN_FILES when no descriptor is left).
int create_memory_file(const void* bytes, size_t size, uint32_t* win32_error);

// The path under which the process can open the descriptor.
std::string descriptor_path(int fd);

}  // namespace quevro
