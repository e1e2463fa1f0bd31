// Zyld::State::KeyServerPool: the threads that talk to key servers, apart from the threads that
// serve the API, so that a stalled server holds up only its own provider's calls. Threads start on
// demand up to a maximum. Each provider has a bounded number of jobs running at once and a bounded
// number waiting; a job beyond both is refused at once. A waiting job whose wait exceeds its
// maximum (the provider's time-out) expires without running: idle threads wait until the earliest
// such deadline and expire it themselves. Among runnable jobs the oldest runs first.
//
// Every job ends exactly once, through its callback (an exception out of it is logged): Ran on a
// pool thread, Expired on a pool thread, Refused on the submitter's thread, Stopped on the thread
// that stops the pool (or the submitter's, once stopped). Refusals and expiries are logged.
//
// Lifetime: Stop (run by the destructor too) refuses new jobs, ends the waiting ones as Stopped,
// lets the running ones finish and joins the threads; it must not be called from a job. Locks: one
// mutex guards the queues, the threads and the settings; it is never held while a job runs or ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Zyld::State {

// Bounds of the pool's settings (values outside are clamped into them).
inline constexpr int kMinKeyServerThreads = 1;
inline constexpr int kMaxKeyServerThreads = 64;
inline constexpr int kMinKeyServerJobsPerProvider = 1;
inline constexpr int kMaxKeyServerJobsPerProvider = 64;
inline constexpr int kMinKeyServerQueuePerProvider = 0;
inline constexpr int kMaxKeyServerQueuePerProvider = 4096;

struct KeyServerPoolSettings {
  int threads = 16;           // most threads at once, over all providers
  int jobsPerProvider = 8;    // most jobs of one provider running at once
  int queuePerProvider = 64;  // most jobs of one provider waiting for a thread
};

class KeyServerPool {
 public:
  using Clock = std::chrono::steady_clock;
  enum class JobEnd { Ran, Refused, Expired, Stopped };
  // Called once with how the job ended; only Ran means it may do its work.
  using Job = std::function<void(JobEnd)>;

  explicit KeyServerPool(KeyServerPoolSettings settings = {});
  ~KeyServerPool();
  KeyServerPool(const KeyServerPool&) = delete;
  KeyServerPool& operator=(const KeyServerPool&) = delete;

  // Replaces the settings (clamped); jobs already accepted and threads already started stay.
  void Configure(KeyServerPoolSettings settings);
  KeyServerPoolSettings Settings() const;
  // Queues job for provider; it expires when it has waited longer than maxWait.
  void Submit(const std::string& provider, Clock::duration maxWait, Job job);
  void Stop();

 private:
  class PendingJob;
  struct Waiting {
    std::unique_ptr<PendingJob> job;
    Clock::time_point deadline;
    Clock::duration maxWait;
    uint64_t sequence = 0;
  };
  struct ProviderJobs {
    std::deque<Waiting> waiting;
    int running = 0;
  };
  using Expired = std::vector<std::pair<std::string, Waiting>>;

  void WorkerLoop();
  void WakeLocked();
  size_t RunnableLocked() const;
  bool BlockedWaitingLocked() const;
  Expired TakeExpiredLocked(Clock::time_point now);
  std::unique_ptr<PendingJob> TakeRunnableLocked(std::string& provider);
  void FinishLocked(const std::string& provider);
  std::optional<Clock::time_point> EarliestDeadlineLocked() const;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  KeyServerPoolSettings settings_;
  std::unordered_map<std::string, ProviderJobs> providers_;
  std::vector<std::thread> threads_;
  int idle_ = 0;
  uint64_t nextSequence_ = 0;
  bool stopping_ = false;
};

}  // namespace Zyld::State
