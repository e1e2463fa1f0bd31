#include <ironveil-common/quorex_mirel.h>

#include <harlibs/log.h>

#include <gtest/gtest.h>
#include <test_log.h>
#include <test_wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace Brask::Common::QuorexMirel;
using Quorex::Service::Logger;
using Quorex::Service::ThreadPool;

using TestSupport::Eventually;

// The host log in a private file for the test's life.
struct Captured {
  TestSupport::TempDir dir;
  TestSupport::LogCapture log{dir, 5};
  size_t Count(const std::string& needle) const { return log.Count(needle); }
  std::string Text() const { return log.Text(); }
};

std::shared_ptr<Logger> TestLogger() { return std::make_shared<Logger>("trackers", nullptr); }

TEST(TrafficTracker, CountsCallsFromManyThreads) {
  TrafficTracker tracker(TestLogger());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&tracker, t] {
      for (int i = 0; i < 1000; ++i) {
        tracker.RecordCall(i % 2 ? "generate_key" : "decrypt", 100 + t, i % 10 != 0);
      }
    });
  }
  for (auto& th : threads) th.join();
  const auto counts = tracker.Snapshot();
  ASSERT_EQ(counts.size(), 2u);
  const OpCounts& gen = counts.at("generate_key");
  EXPECT_EQ(gen.calls, 2000u);
  EXPECT_EQ(gen.failures, 0u);  // odd i is never a multiple of 10
  EXPECT_EQ(counts.at("decrypt").failures, 400u);
  EXPECT_EQ(gen.maxLatencyUs, 103u);
  EXPECT_EQ(gen.totalLatencyUs, 500u * (100 + 101 + 102 + 103));
}

TEST(TrafficTracker, SummaryLogsThePeriodAndStartsANewOne) {
  Captured log;
  TrafficTracker tracker(TestLogger(), std::chrono::seconds(300));
  tracker.RecordCall("decrypt", 10, true);
  tracker.RecordCall("decrypt", 30, false);
  tracker.LogSummary();
  EXPECT_EQ(log.Count("API traffic in the last 300 s: decrypt calls=2 failed=1 avgUs=20 maxUs=30;"),
            1u)
      << log.Text();
  EXPECT_TRUE(tracker.Snapshot().empty());
  tracker.LogSummary();
  EXPECT_EQ(log.Count("API traffic in the last 300 s: no calls"), 1u);
}

TEST(TrafficTracker, BoundsTheNumberOfOperations) {
  TrafficTracker tracker(TestLogger());
  tracker.RecordCall(std::string(500, 'x'), 1, true);
  for (size_t i = 0; i < kMaxKeys + 10; ++i) tracker.RecordCall("op" + std::to_string(i), 1, true);
  tracker.RecordCall("op0", 1, true);  // names already kept still count as themselves
  const auto counts = tracker.Snapshot();
  EXPECT_EQ(counts.size(), kMaxKeys);
  EXPECT_EQ(counts.at("(other)").calls, 12u);
  EXPECT_EQ(counts.at("op0").calls, 2u);
}

TEST(ErrorsTracker, CountsErrorsPerType) {
  Captured log;
  ErrorsTracker tracker(TestLogger());
  tracker.RecordError("not_found");
  tracker.RecordError("not_found");
  tracker.RecordError("unauthenticated");
  tracker.LogSummary();
  EXPECT_EQ(log.Count("API errors in the last 300 s: not_found=2; unauthenticated=1;"), 1u)
      << log.Text();
  EXPECT_TRUE(tracker.Snapshot().empty());
}

TEST(Trackers, ScheduledSummariesRepeatUntilStopped) {
  Captured log;
  ThreadPool pool(1, 2);
  auto traffic =
      std::make_unique<TrafficTracker>(TestLogger(), std::chrono::milliseconds(20), &pool);
  ErrorsTracker errors(TestLogger(), std::chrono::milliseconds(20), &pool);
  traffic->RecordCall("decrypt", 5, true);
  traffic->StartScheduling();
  traffic->StartScheduling();  // a second start does not add a second chain
  errors.StartErrorScheduling();
  ASSERT_TRUE(Eventually([&] { return log.Count("API traffic in the last 20 ms") >= 3; }))
      << log.Text();
  ASSERT_TRUE(Eventually([&] { return log.Count("API errors in the last 20 ms") >= 3; }))
      << log.Text();
  EXPECT_EQ(log.Count("decrypt calls=1"), 1u);

  traffic->Stop();
  traffic->Stop();
  errors.Stop();
  const size_t after = log.Count("API traffic");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(log.Count("API traffic"), after);

  // Restart after a stop, then destroy while scheduled: the pending job must not touch it.
  traffic->StartScheduling();
  ASSERT_TRUE(Eventually([&] { return log.Count("API traffic") > after; }));
  traffic.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  pool.Shutdown();
}

}  // namespace
