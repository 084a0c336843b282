// The in-memory loader: maps a shared object held in memory without writing it to disk, runs its
// initialisation, resolves its exports and shares one mapping among all loads that use the same
// share name. Safe to use from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quevro {

struct MemoryModule;

// Maps the image of `size` bytes and runs its constructors. With a non-empty share name
// (compared without regard to ASCII case) a module already loaded under that name is returned
// with its use count raised, and no byte is read; otherwise the new mapping is listed under the
// name with use count 1. With an empty share name the image is always mapped anew.
// `bytes` may be null to only look a share name up.
// Null on failure, with a Win32 error number (image_errors.h) in *win32_error when given:
// INVALID_DATA for an image shorter than its headers say, BAD_EXE_FORMAT for anything but a
// 64-bit x86-64 shared object (a Windows image is checked, then refused so), MOD_NOT_FOUND for
// a missing dependency or an unknown share name without bytes, PROC_NOT_FOUND for an undefined
// symbol the image needs, OUTOFMEMORY when the memory file cannot be made.
MemoryModule* load_memory_module(const void* bytes, size_t size, const std::string& share_name,
                                 uint32_t* win32_error);

// The module's own export of that name (exact spelling first, then without regard to ASCII
// case); exports of the libraries it depends on are not its own. Null with PROC_NOT_FOUND in
// *win32_error when absent.
void* memory_module_symbol(MemoryModule* module, const char* name, uint32_t* win32_error = nullptr);

// Drops one holder and returns how many remain; at 0 the module's destructors run, it is
// unmapped and the record is freed (the pointer is then invalid).
unsigned release_memory_module(MemoryModule* module);

// The dynamic linker's handle of the module (what gethandle and _topointer show).
void* memory_module_handle(const MemoryModule* module);

// The share name it is listed under; empty for an unshared module.
const std::string& memory_module_share_name(const MemoryModule* module);

}  // namespace quevro
