// Per-thread caches: one per thread, made on first use, kept while the thread runs and freed when
// it ends.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "lib/thread_cache.h"

namespace quevro::test {
namespace {

std::atomic<int> made{0};
std::atomic<int> freed{0};

struct CountedCache {
  int uses = 0;
  CountedCache() { ++made; }
  ~CountedCache() { ++freed; }
};

TEST(ThreadCache, AThreadKeepsItsOwnCache) {
  CountedCache& first = ThreadCache<CountedCache>::get();
  first.uses = 7;
  CountedCache& again = ThreadCache<CountedCache>::get();
  EXPECT_EQ(&first, &again);
  EXPECT_EQ(again.uses, 7);
}

TEST(ThreadCache, OtherThreadsGetTheirOwnAndFreeItWhenTheyEnd) {
  CountedCache* mine = &ThreadCache<CountedCache>::get();
  int made_before = made.load();
  int freed_before = freed.load();
  CountedCache* theirs[2] = {};
  int seen_uses[2] = {-1, -1};
  for (int i = 0; i < 2; ++i) {
    std::thread worker([&, i] {
      CountedCache& c = ThreadCache<CountedCache>::get();
      seen_uses[i] = c.uses;  // a fresh cache, not the main thread's
      c.uses = 100 + i;
      theirs[i] = &ThreadCache<CountedCache>::get();
    });
    worker.join();
  }
  EXPECT_EQ(seen_uses[0], 0);
  EXPECT_EQ(seen_uses[1], 0);
  EXPECT_NE(theirs[0], mine);
  EXPECT_NE(theirs[1], mine);
  EXPECT_EQ(made.load() - made_before, 2);
  EXPECT_EQ(freed.load() - freed_before, 2);
  // The main thread's cache is untouched by the threads' ending.
  EXPECT_EQ(&ThreadCache<CountedCache>::get(), mine);
}

TEST(ThreadCache, AThreadThatNeverAsksMakesNone) {
  int made_before = made.load();
  std::thread idle([] {});
  idle.join();
  EXPECT_EQ(made.load(), made_before);
}

}  // namespace
}  // namespace quevro::test
