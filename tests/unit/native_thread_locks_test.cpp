// Named locks: process-wide recursive locks that know how often each thread holds them.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "native/thread_shared.h"

namespace quevro::test {
namespace {

TEST(NamedLock, TheSameNameGivesTheSameLock) {
  NamedLock* a = named_lock("unit same", 9);
  EXPECT_EQ(named_lock("unit same", 9), a);
  EXPECT_NE(named_lock("unit other", 10), a);
}

TEST(NamedLock, LeavingALockNotHeldDoesNothing) {
  NamedLock* lock = named_lock("unit not held", 13);
  EXPECT_FALSE(lock->leave());
  lock->enter();
  lock->enter();
  EXPECT_TRUE(lock->leave());
  EXPECT_TRUE(lock->leave());
  EXPECT_FALSE(lock->leave());
}

TEST(NamedLock, AnotherThreadCannotLeaveItForTheHolder) {
  NamedLock* lock = named_lock("unit holder", 11);
  lock->enter();
  bool left_elsewhere = true;
  std::thread other([&] { left_elsewhere = lock->leave(); });
  other.join();
  EXPECT_FALSE(left_elsewhere);
  EXPECT_TRUE(lock->leave());
}

TEST(NamedLock, ReleasingAllLeavesEveryHold) {
  NamedLock* a = named_lock("unit all a", 10);
  NamedLock* b = named_lock("unit all b", 10);
  std::thread holder([&] {
    a->enter();
    a->enter();
    b->enter();
    release_all_named_locks();
  });
  holder.join();
  // Both are free: this thread takes them at once.
  a->enter();
  b->enter();
  EXPECT_TRUE(a->leave());
  EXPECT_TRUE(b->leave());
}

TEST(NamedLock, ThreadsUpdatingUnderTheLockLoseNothing) {
  NamedLock* lock = named_lock("unit counter", 12);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        lock->enter();
        ++counter;
        lock->leave();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(counter, 4 * 20000);
}

}  // namespace
}  // namespace quevro::test
