// Glue between the service library and the API framework: an inline enqueuer and the API
// traffic and error trackers.
//
// DirectEnqueuer runs each task at once on the calling thread.
// TrafficTracker counts calls, failures and latency per operation; ErrorsTracker counts errors
// per error type. Recording takes a shared lock and bumps atomic counters once a name has been
// seen; at most kMaxKeys distinct names of up to 200 characters are kept, further or longer
// ones are counted under "(other)".
// StartScheduling / StartErrorScheduling log a summary line of the period's counts (level 5,
// through the tracker's logger) every period, on the thread pool given at construction (null:
// the application's pool); each run schedules the next and starts a new period. Periods below
// 10 ms are raised to 10 ms. Stop ends the scheduling; it is idempotent, may be called any
// number of times, and once it returns no summary is being logged. The destructor stops.
#pragma once

#include <quorex/quorex.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace Brask::Common::QuorexMirel {

struct DirectEnqueuer {
  void operator()(std::function<void()> task) const {
    if (task) {
      task();
    }
  }
};

constexpr size_t kMaxKeys = 256;
constexpr std::chrono::milliseconds kDefaultSummaryPeriod{300 * 1000};

struct OpCounts {
  uint64_t calls = 0;
  uint64_t failures = 0;
  uint64_t totalLatencyUs = 0;
  uint64_t maxLatencyUs = 0;
};

class TrafficTracker {
 public:
  explicit TrafficTracker(std::shared_ptr<Quorex::Service::Logger> logger,
                          std::chrono::milliseconds period = kDefaultSummaryPeriod,
                          Quorex::Service::ThreadPool* pool = nullptr);
  ~TrafficTracker();
  TrafficTracker(const TrafficTracker&) = delete;
  TrafficTracker& operator=(const TrafficTracker&) = delete;

  void RecordCall(const std::string& op, uint64_t latencyUs, bool ok);
  void StartScheduling();
  void Stop();
  // Counts of the current period.
  std::map<std::string, OpCounts> Snapshot() const;
  // Logs the current period's summary and starts a new period (what each scheduled run does).
  void LogSummary();

  class Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

class ErrorsTracker {
 public:
  explicit ErrorsTracker(std::shared_ptr<Quorex::Service::Logger> logger,
                         std::chrono::milliseconds period = kDefaultSummaryPeriod,
                         Quorex::Service::ThreadPool* pool = nullptr);
  ~ErrorsTracker();
  ErrorsTracker(const ErrorsTracker&) = delete;
  ErrorsTracker& operator=(const ErrorsTracker&) = delete;

  void RecordError(const std::string& type);
  void StartErrorScheduling();
  void Stop();
  std::map<std::string, uint64_t> Snapshot() const;
  void LogSummary();

  class Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace Brask::Common::QuorexMirel
