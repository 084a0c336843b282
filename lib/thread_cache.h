// A cache that each thread makes the first time it needs it and frees when it ends.
#pragma once

#include <pthread.h>

namespace quevro {

// The pattern and format caches are kilobytes each. In static thread storage they would be
// copied into every thread when it starts (the main thread and each handler thread alike),
// though most threads never match a pattern or format a line. Here a thread pays for a cache
// when it first uses one, and the hot path is a thread-local pointer test.
template <typename Cache>
class ThreadCache {
 public:
  static Cache& get() {
    Cache* c = current_;
    return c ? *c : make();
  }

 private:
  [[gnu::noinline]] static Cache& make() {
    static const Owner owner;
    auto* c = new Cache();
    // Without a key (the system has none left) the cache lives until the process ends.
    if (owner.ok) pthread_setspecific(owner.key, c);
    current_ = c;
    return *c;
  }

  // The key whose destructor frees a thread's cache when the thread ends. Key destructors run
  // after the thread's C++ thread-local destructors, so a state closed by one of those may still
  // use the cache; and one made again after this runs is freed by the next destructor round.
  struct Owner {
    pthread_key_t key{};
    bool ok;
    Owner() : ok(pthread_key_create(&key, release) == 0) {}
  };
  static void release(void* p) {
    delete static_cast<Cache*>(p);
    current_ = nullptr;
  }

  static inline thread_local constinit Cache* current_ = nullptr;
};

}  // namespace quevro
