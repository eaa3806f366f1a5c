// The platform's shared state under many threads: the lock that serializes
// log records, and the test clock that log tests change while other threads
// read the time.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace rg {
namespace {

TEST(ConcurrentPlatform, LockSerializesItsHolders) {
  static PlatformLock lock;
  LockInit(&lock);
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  long counter = 0;  // deliberately plain: only the lock protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        LockEnter(&lock);
        long seen = counter;
        if (i % 64 == 0) std::this_thread::yield();
        counter = seen + 1;
        LockLeave(&lock);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  LockDelete(&lock);
  EXPECT_EQ(long(kThreads) * kRounds, counter);
}

// Readers see either one of the times set or the real clock, never a mix of
// two: the test clock is replaced as a whole.
TEST(ConcurrentPlatform, TestClockIsReplacedAtomically) {
  const LocalTime a = {2001, 1, 1, 1, 1, 1, 1, 1};
  const LocalTime b = {2002, 2, 2, 2, 2, 2, 2, 2};
  std::atomic<bool> stop{false};
  std::atomic<long> torn{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        LocalTime now;
        GetLocalTimeNow(&now);
        bool isA = std::memcmp(&now, &a, sizeof now) == 0;
        bool isB = std::memcmp(&now, &b, sizeof now) == 0;
        bool real = now.year >= 2020 && now.month >= 1 && now.month <= 12;
        if (!isA && !isB && !real) torn.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 20000; ++i) {
    SetTestClock(i % 3 == 0 ? &a : i % 3 == 1 ? &b : nullptr);
  }
  stop.store(true);
  for (std::thread& t : readers) t.join();
  SetTestClock(nullptr);
  EXPECT_EQ(0, torn.load());
}

}  // namespace
}  // namespace rg
