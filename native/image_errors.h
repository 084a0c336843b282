// The error numbers the in-memory loader reports. They keep their Win32 values because scripts
// read them back through lasterr and compare them with the numbers they know.
#pragma once

#include <cstdint>

namespace quevro::image_error {

inline constexpr uint32_t NONE = 0;
// The image is shorter than its headers or sections say.
inline constexpr uint32_t INVALID_DATA = 13;
// No memory left for the mapping.
inline constexpr uint32_t OUTOFMEMORY = 14;
// No file descriptor left for the memory file the mapping is made from.
inline constexpr uint32_t TOO_MANY_OPEN_FILES = 4;
// A library the image needs is missing, or no module is loaded under the share name asked for.
inline constexpr uint32_t MOD_NOT_FOUND = 126;
// An export, or a symbol the image imports, does not exist.
inline constexpr uint32_t PROC_NOT_FOUND = 127;
// Not an image this process can run: wrong magic, class, machine or type, or a Windows image.
inline constexpr uint32_t BAD_EXE_FORMAT = 193;

}  // namespace quevro::image_error
