#include "stats.h"

#include "periodic.h"

#include <harlibs/clock.h>
#include <harlibs/log.h>
#include <quorex/quorex.h>

#include <algorithm>
#include <limits>

namespace Zyld::Stats {

namespace {

uint64_t Average(uint64_t total, uint64_t count) { return count == 0 ? 0 : total / count; }

Quorex::Service::TimerHandle& StatsTimer() {
  static Quorex::Service::TimerHandle handle;
  return handle;
}

}  // namespace

KeyStats::KeyStats() : lock_("keyStats", kStatsLockRank) {}

void KeyStats::Record(bool success, uint64_t durationUs) {
  Har::ExclGuard guard(lock_);
  const uint64_t successTotal = counters_.successTotal;
  const uint64_t failureTotal = counters_.failureTotal;
  if (success) {
    counters_.successMax = std::max(counters_.successMax, durationUs);
    counters_.successMin = std::min(counters_.successMin, durationUs);
    counters_.successCount += 1;
    counters_.successTotal += durationUs;
  } else {
    counters_.failureCount += 1;
    counters_.failureTotal += durationUs;
  }
  if (counters_.successTotal < successTotal || counters_.failureTotal < failureTotal) {
    Log_Level(kLogNotable, "KEY STATS: Resetting all counters to avoid overflow\n");
    counters_ = KeyStatsCounters{};
  }
}

KeyStatsCounters KeyStats::Counters() const {
  Har::ExclGuard guard(lock_);
  return counters_;
}

void KeyStats::LogLine() const {
  Har::ExclGuard guard(lock_);
  const KeyStatsCounters& c = counters_;
  const uint64_t shownMin = c.successMin == std::numeric_limits<uint64_t>::max() ? 0 : c.successMin;
  Log_Level(kLogInfo, "KEY STATS: success=%lu (%lu/%lu/%lu us) failed=%lu (%lu us)\n",
            c.successCount, shownMin, Average(c.successTotal, c.successCount), c.successMax,
            c.failureCount, Average(c.failureTotal, c.failureCount));
}

int StatsIntervalFromConfig(const Quorex::Service::ConfigValues& values) {
  int64_t configured = 0;
  values.GetInt("statsLogIntervalSeconds", &configured);
  if (configured < kMinStatsIntervalSeconds) {
    return kMinStatsIntervalSeconds;
  }
  return static_cast<int>(std::min<int64_t>(configured, std::numeric_limits<int32_t>::max()));
}

KeyStats& ProcessKeyStats() {
  static KeyStats stats;
  return stats;
}

uint64_t KeyOperationClockUs() { return HarClock_SystemTimerNS() / 1000; }

void RecordKeyOperation(bool success, uint64_t startUs) {
  ProcessKeyStats().Record(success, KeyOperationClockUs() - startUs);
}

void SetUpKeyStats() {
  auto& app = Quorex::Service::GetApp();
  const int seconds = StatsIntervalFromConfig(app.GetConfig().Values());
  ProcessKeyStats().SetIntervalSeconds(seconds);
  Log_Level(kLogInfo, "Stats logging interval = %ds\n", seconds);
  ScheduleLogStats();
}

void ScheduleLogStats() {
  const uint64_t delayUs = static_cast<uint64_t>(ProcessKeyStats().IntervalSeconds()) * 1000000u;
  Quorex::Service::GetApp().GetThreadPool().ScheduleOnce(LogKeyStats, delayUs, &StatsTimer());
}

void LogKeyStats() {
  State::RunThenSchedule(
      "Statistics line", [] { ProcessKeyStats().LogLine(); }, ScheduleLogStats);
}

}  // namespace Zyld::Stats
