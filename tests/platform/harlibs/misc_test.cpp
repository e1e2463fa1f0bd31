// Clocks and secret wiping.
#include <harlibs/clock.h>
#include <harlibs/secure.h>

#include <gtest/gtest.h>
#include <test_wipes.h>

#include <string>
#include <utility>
#include <ctime>

namespace {

TEST(ClockTest, MonotonicAndWallClockAgreeWithTheSystem) {
  uint64_t a = HarClock_SystemTimerNS();
  uint64_t b = HarClock_SystemTimerNS();
  EXPECT_LE(a, b);
  uint64_t nowUs = HarClock_GetTimeOfDay();
  uint64_t sysUs = static_cast<uint64_t>(std::time(nullptr)) * 1000000ULL;
  // Same clock in different units: within an hour catches a unit or epoch mistake.
  EXPECT_LT(nowUs > sysUs ? nowUs - sysUs : sysUs - nowUs, 3600ULL * 1000000ULL);
}

TEST(SecureTest, SecretsAndGuardedBuffersAreWipedOnEveryRelease) {
  TestSupport::WipeRecorder recorder;  // wiped ranges seen through the observer hook
  const auto WasWiped = [&](const void* p) {
    return recorder.Saw([p](const TestSupport::Wipe& w) {
      auto* begin = static_cast<const char*>(w.data);
      return begin <= static_cast<const char*>(p) && static_cast<const char*>(p) < begin + w.size;
    });
  };
  const void* shortText = nullptr;
  const void* grown = nullptr;
  {
    Har::Secret pw("pw");  // short texts too live on the heap, where the wipe sees them
    shortText = pw.data();
    EXPECT_STREQ(pw.c_str(), "pw");
    Har::Secret moved(std::move(pw));
    EXPECT_TRUE(pw.empty());
    EXPECT_EQ(moved.view(), "pw");
    grown = moved.data();
    moved.append(std::string(1000, 'k'));  // reallocation wipes the old block
    EXPECT_TRUE(WasWiped(grown));
    EXPECT_EQ(moved.size(), 1002u);
    EXPECT_EQ(moved, Har::Secret(std::string("pw") + std::string(1000, 'k')));
  }
  EXPECT_TRUE(WasWiped(shortText));

  Har::Secret kept("key-bytes");
  const char* keptBytes = kept.data();
  kept.Wipe();  // keeps its storage for reuse: the bytes must be gone from it now
  EXPECT_TRUE(WasWiped(keptBytes));

  std::string borrowed = "bearer-token-text";
  const void* borrowedBytes = borrowed.data();
  { Har::WipeGuard guard(borrowed); }
  EXPECT_TRUE(WasWiped(borrowedBytes));
  EXPECT_TRUE(borrowed.empty());
}

}  // namespace
