// Scoped lock wrappers: guards hold their lock for exactly their scope; creation failure panics.
#include <harlockpp/harlockpp.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
constexpr auto kHang = 30s;  // only catches a hang

TEST(HarlockppTest, WriteGuardExcludesReadersUntilScopeEnd) {
  Har::RWLock lock("configLock", 1);
  std::atomic<bool> read{false};
  std::future<void> reader;
  {
    Har::WriteGuard guard(lock);
    reader = std::async(std::launch::async, [&] {
      Har::ReadGuard r(lock);
      read = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(read.load());
  }
  ASSERT_EQ(reader.wait_for(kHang), std::future_status::ready);
  EXPECT_TRUE(read.load());
  Har::WriteGuard again(lock);  // every guard released its hold
}

TEST(HarlockppDeathTest, CreationFailureEndsTheProcess) {
  EXPECT_DEATH(Har::RWLock("", 1), "VERIFY .*harlockpp.cpp");
  EXPECT_DEATH(Har::ExclLock(nullptr, 1), "VERIFY .*harlockpp.cpp");
}

}  // namespace
