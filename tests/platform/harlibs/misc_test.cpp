// Clocks, feature switches, secret wiping, TLS set-up.
#include <harlibs/clock.h>
#include <harlibs/feature.h>
#include <harlibs/secure.h>
#include <harlibs/ssl.h>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <algorithm>
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

TEST(FeatureTest, SwitchesDefaultOffAndInitClearsThem) {
  FeatureState_Init();
  EXPECT_FALSE(FeatureList_IsEnabled("credentialRead"));
  FeatureList_Set("credentialRead", true);
  EXPECT_TRUE(FeatureList_IsEnabled("credentialRead"));
  FeatureList_Set("credentialRead", false);
  EXPECT_FALSE(FeatureList_IsEnabled("credentialRead"));
  FeatureList_Set("other", true);
  FeatureState_Init();
  EXPECT_FALSE(FeatureList_IsEnabled("other"));
}

TEST(SecureTest, CleanseZeroesAndContainersBehave) {
  uint8_t buf[32];
  std::fill(std::begin(buf), std::end(buf), 0xaa);
  Har::Cleanse(buf, sizeof buf);
  EXPECT_TRUE(std::all_of(std::begin(buf), std::end(buf), [](uint8_t b) { return b == 0; }));
  Har::Cleanse(nullptr, 10);  // tolerated

  Har::SecureBytes key(64, 0x5a);
  key.resize(1024, 0x11);  // reallocation wipes the old block
  EXPECT_EQ(key[0], 0x5a);
  EXPECT_EQ(key[1023], 0x11);
  Har::SecureString pw = "short";
  Har::Cleanse(pw);
  EXPECT_EQ(std::string(pw.data(), pw.size()), std::string(5, '\0'));
}

TEST(SslTest, InitAllowsContextsAndExitIsSafe) {
  SSL_Init(nullptr, nullptr, nullptr);
  SSL_Init(nullptr, nullptr, nullptr);
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  ASSERT_NE(ctx, nullptr);
  SSL_CTX_free(ctx);
  SSL_Exit();
}

}  // namespace
