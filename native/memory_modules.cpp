#include "native/memory_modules.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "native/elf_exports.h"
#include "native/image_errors.h"
#include "native/image_headers.h"
#include "native/memory_file.h"

namespace quevro {

struct MemoryModule {
  void* handle = nullptr;       // from dlopen
  link_map* map = nullptr;      // the linker's record of this object, to tell its own exports
  int fd = -1;                  // the memory file; open for as long as the object is loaded
  std::string path;             // /proc/self/fd/N, the name the linker knows the object by
  std::string share_name;       // empty for an unshared module
  unsigned use_count = 1;
  std::vector<std::string> exports;
};

namespace {

// Guards the shared-module list. Recursive because a module's constructors may themselves load a
// shared module while the lock is held for theirs.
std::recursive_mutex& shared_lock() {
  static std::recursive_mutex lock;
  return lock;
}

std::vector<MemoryModule*>& shared_modules() {
  static std::vector<MemoryModule*> modules;
  return modules;
}

bool equal_ignoring_ascii_case(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

MemoryModule* find_shared(const std::string& share_name) {
  for (MemoryModule* m : shared_modules())
    if (equal_ignoring_ascii_case(m->share_name, share_name.c_str())) return m;
  return nullptr;
}

void set_error(uint32_t* out, uint32_t error) {
  if (out) *out = error;
}

// True when the linker already has an object under this path.
bool path_is_loaded(const std::string& path) {
  void* existing = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (existing == nullptr) return false;
  ::dlclose(existing);
  return true;
}

// The linker matches objects by the path they were opened under before it looks at the file.
// An object that outlived its descriptor would be handed back for a new image that got the same
// descriptor number; move the new file to a number whose path nothing is loaded under.
int move_to_unused_path(int fd) {
  for (int tries = 0; tries < 64 && path_is_loaded(descriptor_path(fd)); ++tries) {
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, fd + 1);
    if (moved < 0) return fd;  // dlopen will fail or find the clash; nothing better to do
    ::close(fd);
    fd = moved;
  }
  return fd;
}

// The linker's failures, as the numbers a Windows loader gives for the same cause.
uint32_t error_from_linker(const char* text) {
  if (text == nullptr) return image_error::BAD_EXE_FORMAT;
  if (std::strstr(text, "undefined symbol") != nullptr) return image_error::PROC_NOT_FOUND;
  if (std::strstr(text, "cannot open shared object file") != nullptr) return image_error::MOD_NOT_FOUND;
  return image_error::BAD_EXE_FORMAT;
}

MemoryModule* link_memory_file(int fd, const uint8_t* bytes, size_t size, uint32_t* win32_error) {
  auto* m = new (std::nothrow) MemoryModule;
  if (m == nullptr) {
    ::close(fd);
    set_error(win32_error, image_error::OUTOFMEMORY);
    return nullptr;
  }
  m->fd = move_to_unused_path(fd);
  m->path = descriptor_path(m->fd);
  // Every symbol is bound now, as a Windows loader resolves every import before the entry point
  // runs; a missing one fails the load instead of a later call.
  m->handle = ::dlopen(m->path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m->handle == nullptr || ::dlinfo(m->handle, RTLD_DI_LINKMAP, &m->map) != 0) {
    set_error(win32_error, error_from_linker(::dlerror()));
    if (m->handle) ::dlclose(m->handle);
    ::close(m->fd);
    delete m;
    return nullptr;
  }
  m->exports = elf_export_names(bytes, size);
  return m;
}

MemoryModule* map_image(const void* bytes, size_t size, uint32_t* win32_error) {
  ImageCheck check = check_image_header(bytes, size);
  if (check.error != image_error::NONE) {
    set_error(win32_error, check.error);
    return nullptr;
  }
  if (check.kind != ImageKind::elf) {  // a well-formed Windows image still cannot run here
    set_error(win32_error, image_error::BAD_EXE_FORMAT);
    return nullptr;
  }
  uint32_t error = image_error::NONE;
  int fd = create_memory_file(bytes, size, &error);
  if (fd < 0) {
    set_error(win32_error, error);
    return nullptr;
  }
  return link_memory_file(fd, static_cast<const uint8_t*>(bytes), size, win32_error);
}

void unmap(MemoryModule* m) {
  ::dlclose(m->handle);
  // While the linker still holds the object (another dlopen of the same path, or an object
  // that cannot be unloaded) its path must keep naming this file: keep the descriptor then.
  if (!path_is_loaded(m->path)) ::close(m->fd);
  delete m;
}

MemoryModule* load_shared(const void* bytes, size_t size, const std::string& share_name, uint32_t* win32_error) {
  std::lock_guard<std::recursive_mutex> guard(shared_lock());
  if (MemoryModule* existing = find_shared(share_name)) {
    ++existing->use_count;
    return existing;
  }
  if (bytes == nullptr) {
    set_error(win32_error, image_error::MOD_NOT_FOUND);
    return nullptr;
  }
  MemoryModule* m = map_image(bytes, size, win32_error);
  if (m == nullptr) return nullptr;
  m->share_name = share_name;
  shared_modules().push_back(m);
  return m;
}

void* own_symbol(MemoryModule* m, const char* name) {
  void* address = ::dlsym(m->handle, name);
  if (address == nullptr) return nullptr;
  Dl_info info;
  link_map* owner = nullptr;
  if (::dladdr1(address, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0 || owner != m->map)
    return nullptr;
  return address;
}

}  // namespace

MemoryModule* load_memory_module(const void* bytes, size_t size, const std::string& share_name,
                                 uint32_t* win32_error) {
  set_error(win32_error, image_error::NONE);
  if (!share_name.empty()) return load_shared(bytes, size, share_name, win32_error);
  if (bytes == nullptr) {
    set_error(win32_error, image_error::MOD_NOT_FOUND);
    return nullptr;
  }
  return map_image(bytes, size, win32_error);
}

void* memory_module_symbol(MemoryModule* module, const char* name, uint32_t* win32_error) {
  set_error(win32_error, image_error::NONE);
  if (module != nullptr && name != nullptr && *name != '\0') {
    if (void* address = own_symbol(module, name)) return address;
    for (const std::string& exported : module->exports) {
      if (exported != name && equal_ignoring_ascii_case(exported, name)) {
        if (void* address = own_symbol(module, exported.c_str())) return address;
      }
    }
  }
  set_error(win32_error, image_error::PROC_NOT_FOUND);
  return nullptr;
}

unsigned release_memory_module(MemoryModule* module) {
  if (module == nullptr) return 0;
  if (module->share_name.empty()) {
    unmap(module);
    return 0;
  }
  std::lock_guard<std::recursive_mutex> guard(shared_lock());
  if (--module->use_count > 0) return module->use_count;
  auto& list = shared_modules();
  list.erase(std::remove(list.begin(), list.end(), module), list.end());
  unmap(module);
  return 0;
}

void* memory_module_handle(const MemoryModule* module) { return module ? module->handle : nullptr; }

const std::string& memory_module_share_name(const MemoryModule* module) {
  static const std::string none;
  return module ? module->share_name : none;
}

}  // namespace quevro
