#include "state/key_server_pool.h"

#include <harlibs/log.h>

#include <algorithm>
#include <exception>

namespace Zyld::State {

namespace {

KeyServerPoolSettings Clamped(KeyServerPoolSettings settings) {
  settings.threads = std::clamp(settings.threads, kMinKeyServerThreads, kMaxKeyServerThreads);
  settings.jobsPerProvider = std::clamp(settings.jobsPerProvider, kMinKeyServerJobsPerProvider,
                                        kMaxKeyServerJobsPerProvider);
  settings.queuePerProvider = std::clamp(settings.queuePerProvider, kMinKeyServerQueuePerProvider,
                                         kMaxKeyServerQueuePerProvider);
  return settings;
}

long long WholeSeconds(KeyServerPool::Clock::duration duration) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

}  // namespace

// A job's callback, called exactly once: with the end given to End, or Stopped when the job is
// dropped without one.
class KeyServerPool::PendingJob {
 public:
  explicit PendingJob(Job job) : job_(std::move(job)) {}
  ~PendingJob() { End(JobEnd::Stopped); }
  PendingJob(const PendingJob&) = delete;
  PendingJob& operator=(const PendingJob&) = delete;

  void End(JobEnd end) noexcept {
    Job job = std::exchange(job_, nullptr);
    if (!job) {
      return;
    }
    try {
      job(end);
    } catch (const std::exception& e) {
      Log_Level(kLogFailure, "Key-server job failed: %s\n", e.what());
    } catch (...) {
      Log_Level(kLogFailure, "Key-server job failed with an unknown exception\n");
    }
  }

 private:
  Job job_;
};

KeyServerPool::KeyServerPool(KeyServerPoolSettings settings) : settings_(Clamped(settings)) {}

KeyServerPool::~KeyServerPool() { Stop(); }

void KeyServerPool::Configure(KeyServerPoolSettings settings) {
  std::lock_guard lock(mutex_);
  settings_ = Clamped(settings);
}

KeyServerPoolSettings KeyServerPool::Settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

void KeyServerPool::Submit(const std::string& provider, Clock::duration maxWait, Job job) {
  auto pending = std::make_unique<PendingJob>(std::move(job));
  size_t held = 0;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      return;  // pending ends as Stopped
    }
    ProviderJobs& jobs = providers_[provider];
    held = static_cast<size_t>(jobs.running) + jobs.waiting.size();
    if (held < static_cast<size_t>(settings_.jobsPerProvider + settings_.queuePerProvider)) {
      jobs.waiting.push_back(
          {std::move(pending), Clock::now() + maxWait, maxWait, nextSequence_++});
      WakeLocked();
      return;
    }
  }
  Log_Level(kLogFailure, "Key-server queue of provider %s is full (%zu jobs): call refused\n",
            provider.c_str(), held);
  pending->End(JobEnd::Refused);
}

void KeyServerPool::Stop() {
  std::vector<std::thread> threads;
  std::vector<std::unique_ptr<PendingJob>> dropped;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    threads.swap(threads_);
    for (auto& [provider, jobs] : providers_) {
      for (Waiting& waiting : jobs.waiting) {
        dropped.push_back(std::move(waiting.job));
      }
      jobs.waiting.clear();
    }
    wake_.notify_all();
  }
  if (!dropped.empty()) {
    Log_Level(kLogNotable, "Key-server pool stopping: %zu waiting jobs failed\n", dropped.size());
  }
  dropped.clear();  // each ends as Stopped
  for (std::thread& thread : threads) {
    thread.join();
  }
}

size_t KeyServerPool::RunnableLocked() const {
  size_t runnable = 0;
  for (const auto& [provider, jobs] : providers_) {
    const size_t free = static_cast<size_t>(std::max(0, settings_.jobsPerProvider - jobs.running));
    runnable += std::min(free, jobs.waiting.size());
  }
  return runnable;
}

bool KeyServerPool::BlockedWaitingLocked() const {
  return std::any_of(providers_.begin(), providers_.end(), [this](const auto& entry) {
    return entry.second.waiting.size() >
           static_cast<size_t>(std::max(0, settings_.jobsPerProvider - entry.second.running));
  });
}

void KeyServerPool::WakeLocked() {
  // One thread per runnable job, and one more idle to expire jobs that wait for a busy provider.
  const size_t wanted = RunnableLocked() + (BlockedWaitingLocked() ? 1 : 0);
  if (wanted > static_cast<size_t>(idle_) &&
      threads_.size() < static_cast<size_t>(settings_.threads)) {
    threads_.emplace_back([this] { WorkerLoop(); });
  }
  wake_.notify_all();
}

KeyServerPool::Expired KeyServerPool::TakeExpiredLocked(Clock::time_point now) {
  Expired expired;
  for (auto& [provider, jobs] : providers_) {
    auto kept = std::stable_partition(jobs.waiting.begin(), jobs.waiting.end(),
                                      [now](const Waiting& w) { return w.deadline > now; });
    for (auto it = kept; it != jobs.waiting.end(); ++it) {
      expired.emplace_back(provider, std::move(*it));
    }
    jobs.waiting.erase(kept, jobs.waiting.end());
  }
  return expired;
}

std::unique_ptr<KeyServerPool::PendingJob> KeyServerPool::TakeRunnableLocked(
    std::string& provider) {
  ProviderJobs* oldest = nullptr;
  for (auto& [name, jobs] : providers_) {
    if (jobs.waiting.empty() || jobs.running >= settings_.jobsPerProvider) {
      continue;
    }
    if (oldest == nullptr || jobs.waiting.front().sequence < oldest->waiting.front().sequence) {
      oldest = &jobs;
      provider = name;
    }
  }
  if (oldest == nullptr) {
    return nullptr;
  }
  std::unique_ptr<PendingJob> job = std::move(oldest->waiting.front().job);
  oldest->waiting.pop_front();
  ++oldest->running;
  return job;
}

void KeyServerPool::FinishLocked(const std::string& provider) {
  const auto it = providers_.find(provider);
  if (it == providers_.end()) {
    return;
  }
  --it->second.running;
  if (it->second.running == 0 && it->second.waiting.empty()) {
    providers_.erase(it);
  }
}

std::optional<KeyServerPool::Clock::time_point> KeyServerPool::EarliestDeadlineLocked() const {
  std::optional<Clock::time_point> earliest;
  for (const auto& [provider, jobs] : providers_) {
    for (const Waiting& waiting : jobs.waiting) {
      if (!earliest || waiting.deadline < *earliest) {
        earliest = waiting.deadline;
      }
    }
  }
  return earliest;
}

void KeyServerPool::WorkerLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    Expired expired = TakeExpiredLocked(Clock::now());
    if (!expired.empty()) {
      lock.unlock();
      for (auto& [provider, waiting] : expired) {
        Log_Level(
            kLogFailure,
            "Key-server job of provider %s waited longer than %llds: failed without running\n",
            provider.c_str(), WholeSeconds(waiting.maxWait));
        waiting.job->End(JobEnd::Expired);
      }
      expired.clear();
      lock.lock();
      continue;
    }
    std::string provider;
    if (std::unique_ptr<PendingJob> job = TakeRunnableLocked(provider)) {
      lock.unlock();
      job->End(JobEnd::Ran);
      job.reset();
      lock.lock();
      FinishLocked(provider);
      continue;
    }
    ++idle_;
    if (const std::optional<Clock::time_point> deadline = EarliestDeadlineLocked()) {
      wake_.wait_until(lock, *deadline);
    } else {
      wake_.wait(lock);
    }
    --idle_;
  }
}

}  // namespace Zyld::State
