// Host locks: shared reading, exclusive writing, release of whichever mode is held, diagnostics.
#include <harlibs/lock.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr auto kHang = 30s;  // only catches a hang

struct RWDeleter {
  void operator()(HarRWLock* l) const { HarLock_DestroyRWLock(l); }
};
struct ExclDeleter {
  void operator()(HarExclLock* l) const { HarLock_DestroyExclLock(l); }
};
using RWPtr = std::unique_ptr<HarRWLock, RWDeleter>;
using ExclPtr = std::unique_ptr<HarExclLock, ExclDeleter>;

TEST(LockTest, CreationRejectsAMissingName) {
  EXPECT_EQ(HarLock_CreateRWLock(nullptr, 1), nullptr);
  EXPECT_EQ(HarLock_CreateRWLock("", 1), nullptr);
  EXPECT_EQ(HarLock_CreateExclLock(nullptr, 1), nullptr);
}

TEST(LockTest, ReadersShareAndWritersExclude) {
  RWPtr lock(HarLock_CreateRWLock("rw", 1));
  HarLock_AcquireForRead(lock.get());
  // A second reader gets in while the first holds the lock.
  auto reader = std::async(std::launch::async, [&] {
    HarLock_AcquireForRead(lock.get());
    HarLock_ReleaseRWLock(lock.get());
  });
  ASSERT_EQ(reader.wait_for(kHang), std::future_status::ready);
  // A writer waits until the reader leaves.
  std::atomic<bool> wrote{false};
  auto writer = std::async(std::launch::async, [&] {
    HarLock_AcquireForWrite(lock.get());
    wrote = true;
    HarLock_ReleaseRWLock(lock.get());
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(wrote.load());
  HarLock_ReleaseRWLock(lock.get());
  ASSERT_EQ(writer.wait_for(kHang), std::future_status::ready);
  EXPECT_TRUE(wrote.load());
}

// Four threads add 2000 each to a counter, `lock` and `unlock` around every addition; the total.
int CountedUnder(const std::function<void()>& lock, const std::function<void()>& unlock) {
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        lock();
        ++counter;
        unlock();
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  return counter;
}

TEST(LockTest, ReleaseDropsTheModeHeldAndWritersSerialise) {
  RWPtr lock(HarLock_CreateRWLock("rw", 1));
  // Write, release, then read: a release that dropped the wrong mode would deadlock or abort.
  const int counted = CountedUnder([&] { HarLock_AcquireForWrite(lock.get()); },
                                   [&] {
                                     HarLock_ReleaseRWLock(lock.get());
                                     HarLock_AcquireForRead(lock.get());
                                     HarLock_ReleaseRWLock(lock.get());
                                   });
  EXPECT_EQ(counted, 8000);
}

TEST(LockTest, ExclusiveLockSerialises) {
  ExclPtr lock(HarLock_CreateExclLock("excl", 2));
  EXPECT_EQ(CountedUnder([&] { HarLock_AcquireExclLock(lock.get()); },
                         [&] { HarLock_ReleaseExclLock(lock.get()); }),
            8000);
}

TEST(LockDeathTest, ReleaseWithoutHoldingPanics) {
  RWPtr lock(HarLock_CreateRWLock("unheld", 3));
  EXPECT_DEATH(HarLock_ReleaseRWLock(lock.get()), "unheld");
}

}  // namespace
