// Key-operation statistics: counters, the summary line, the overflow reset and the period from the
// configuration (the daemon's start-up log names the period in use).
#include "state/stats.h"
#include "zyld_test_util.h"

#include <quorex/quorex.h>

#include <chrono>
#include <limits>
#include <thread>

namespace {

using Zyld::Stats::KeyStats;

class KeyStatsTest : public ::testing::Test {
 protected:
  std::string LastLine() {
    stats_.LogLine();
    const auto lines = capture_.MessagesAt(5);
    return lines.empty() ? "" : lines.back();
  }

  ZyldTest::TempDir dir_;
  ZyldTest::LogCapture capture_{dir_};
  KeyStats stats_;
};

TEST_F(KeyStatsTest, LineShowsSuccessMinAverageMaxAndFailureAverage) {
  EXPECT_EQ(LastLine(), "KEY STATS: success=0 (0/0/0 us) failed=0 (0 us)");
  stats_.Record(true, 100);
  stats_.Record(true, 301);
  stats_.Record(false, 7);
  stats_.Record(false, 100000);
  stats_.Record(false, 2);
  EXPECT_EQ(LastLine(), "KEY STATS: success=2 (100/200/301 us) failed=3 (33336 us)");
  // Logging does not reset the counters.
  EXPECT_EQ(LastLine(), "KEY STATS: success=2 (100/200/301 us) failed=3 (33336 us)");
}

TEST_F(KeyStatsTest, WrappedTotalResetsEveryCounter) {
  const uint64_t huge = std::numeric_limits<uint64_t>::max() - 10;
  stats_.Record(true, huge);
  stats_.Record(false, 5);
  stats_.Record(true, 20);  // the success total wraps
  EXPECT_EQ(LastLine(), "KEY STATS: success=0 (0/0/0 us) failed=0 (0 us)");
  EXPECT_EQ(stats_.Counters().successTotal, 0u);
  EXPECT_TRUE(capture_.Contains("KEY STATS: Resetting all counters to avoid overflow"));
  stats_.Record(false, huge);
  stats_.Record(false, huge);  // the failure total wraps
  EXPECT_EQ(stats_.Counters().failureCount, 0u);
}

TEST_F(KeyStatsTest, ConcurrentSamplesAreAllCounted) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 1000; ++i) {
        stats_.Record(t % 2 == 0, 10);
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  EXPECT_EQ(LastLine(), "KEY STATS: success=2000 (10/10/10 us) failed=2000 (10 us)");
}

TEST(KeyStatsRecordTest, ProcessRecordMeasuresFromTheStartTime) {
  Zyld::Stats::KeyStats& stats = Zyld::Stats::ProcessKeyStats();
  const Zyld::Stats::KeyStatsCounters before = stats.Counters();
  const uint64_t start = Zyld::Stats::KeyOperationClockUs() - 2000;
  Zyld::Stats::RecordKeyOperation(true, start);
  const Zyld::Stats::KeyStatsCounters after = stats.Counters();
  EXPECT_EQ(after.successCount, before.successCount + 1);
  EXPECT_GE(after.successMax, 2000u);
}

TEST(StatsIntervalTest, ConfiguredPeriodHasAFloorOfThreeHundredSeconds) {
  Quorex::Service::ConfigValues values;
  EXPECT_EQ(Zyld::Stats::StatsIntervalFromConfig(values), 300);
  const std::pair<int64_t, int> cases[] = {
      {60, 300},  {-5, 300},  {299, 300},
      {300, 300}, {600, 600}, {int64_t{1} << 40, std::numeric_limits<int32_t>::max()}};
  for (const auto& [configured, period] : cases) {
    values.SetInt("statsLogIntervalSeconds", configured);
    EXPECT_EQ(Zyld::Stats::StatsIntervalFromConfig(values), period) << configured;
  }
  values.SetText("statsLogIntervalSeconds", "900");
  EXPECT_EQ(Zyld::Stats::StatsIntervalFromConfig(values), 900);
}

}  // namespace
