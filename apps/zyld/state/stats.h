// Key-operation statistics. One process-wide record counts successful and failed key operations
// with their summed durations and the success minimum and maximum (microseconds). The key operation
// service records one sample per call; a scheduled task logs one summary line per period and
// schedules its successor (whatever the line does), so exactly one line is pending at a time.
// Counters are cumulative; when a sum wraps around, every counter is reset. All access is
// serialised by one exclusive lock.
#pragma once

#include <harlockpp/harlockpp.h>

#include <atomic>
#include <cstdint>

namespace Quorex::Service {
class ConfigValues;
}

namespace Zyld::Stats {

inline constexpr int kMinStatsIntervalSeconds = 300;
inline constexpr uint32_t kStatsLockRank = 0xFF000000u;

struct KeyStatsCounters {
  uint64_t successCount = 0;
  uint64_t successTotal = 0;
  uint64_t failureCount = 0;
  uint64_t failureTotal = 0;
  uint64_t successMax = 0;
  uint64_t successMin = UINT64_MAX;  // all bits set: no sample yet
};

// One statistics record with its own lock.
class KeyStats {
 public:
  KeyStats();
  KeyStats(const KeyStats&) = delete;
  KeyStats& operator=(const KeyStats&) = delete;

  // Folds one sample of durationUs microseconds into the counters.
  void Record(bool success, uint64_t durationUs);
  KeyStatsCounters Counters() const;
  // Logs the summary line at level 5, under the lock.
  void LogLine() const;

  // The logging period, set once at start-up; readable without the lock (also from LogLine's next).
  int IntervalSeconds() const { return intervalSeconds_.load(); }
  void SetIntervalSeconds(int seconds) { intervalSeconds_.store(seconds); }

 private:
  mutable Har::ExclLock lock_;
  KeyStatsCounters counters_;
  std::atomic<int32_t> intervalSeconds_{0};
};

// The logging period that a configuration asks for: "statsLogIntervalSeconds", at least 300.
int StatsIntervalFromConfig(const Quorex::Service::ConfigValues& values);

// The process-wide record.
KeyStats& ProcessKeyStats();

// Records one key operation that began at startUs (HarClock_SystemTimerNS() / 1000).
void RecordKeyOperation(bool success, uint64_t startUs);
// Now, in the microseconds that RecordKeyOperation expects.
uint64_t KeyOperationClockUs();

// Start-up: reads the period from the application's configuration, logs it and schedules the
// first line on the application's thread pool.
void SetUpKeyStats();
// Schedules LogKeyStats once, one period from now.
void ScheduleLogStats();
// The scheduled task: logs the line and schedules the next one, also when the line fails.
void LogKeyStats();

}  // namespace Zyld::Stats
