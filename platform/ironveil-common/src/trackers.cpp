// API traffic and error trackers: bounded tables of atomic counters and a self-rescheduling
// summary job on the service library's thread pool.
#include <ironveil-common/quorex_mirel.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>

namespace Brask::Common::QuorexMirel {

namespace {

constexpr int kSummaryLevel = 5;
constexpr const char* kOtherKey = "(other)";
constexpr std::chrono::milliseconds kMinPeriod{10};
constexpr size_t kMaxNameLength = 200;

// Name -> four counters. Slots are never removed, so a reference stays valid.
class CounterTable {
 public:
  struct Slot {
    std::atomic<uint64_t> count{0};
    std::atomic<uint64_t> failures{0};
    std::atomic<uint64_t> totalUs{0};
    std::atomic<uint64_t> maxUs{0};
  };

  Slot& Get(const std::string& name) {
    {
      std::shared_lock<std::shared_mutex> lock(mutex_);
      if (auto it = slots_.find(name); it != slots_.end()) {
        return *it->second;
      }
    }
    std::unique_lock<std::shared_mutex> lock(mutex_);
    const bool fits =
        name.size() <= kMaxNameLength && (slots_.size() < kMaxKeys || slots_.count(name) != 0);
    const std::string key = fits ? name : std::string(kOtherKey);
    auto& slot = slots_[key];
    if (!slot) {
      slot = std::make_unique<Slot>();
    }
    return *slot;
  }

  // Calls f(name, slot) for every slot in name order.
  template <typename F>
  void ForEach(F f) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    for (auto& [name, slot] : slots_) {
      f(name, *slot);
    }
  }

 private:
  std::shared_mutex mutex_;
  std::map<std::string, std::unique_ptr<Slot>> slots_;
};

void RaiseMax(std::atomic<uint64_t>& max, uint64_t value) {
  uint64_t seen = max.load(std::memory_order_relaxed);
  while (value > seen && !max.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

// The scheduling shared by both trackers: one chain of one-shot jobs per Start.
class TrackerBase : public std::enable_shared_from_this<TrackerBase> {
 public:
  TrackerBase(std::shared_ptr<Quorex::Service::Logger> logger, std::chrono::milliseconds period,
              Quorex::Service::ThreadPool* pool)
      : logger_(std::move(logger)), period_(std::max(period, kMinPeriod)), pool_(pool) {}
  virtual ~TrackerBase() = default;

  virtual void LogSummary() = 0;

  void Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) {
      return;
    }
    running_ = true;
    ScheduleLocked(++generation_);
  }

  void Stop() {
    Quorex::Service::TimerHandle handle;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      running_ = false;
      std::swap(handle, handle_);
    }
    if (handle.IsSet()) {
      Pool().Cancel(handle);
    }
  }

 protected:
  void Log(const std::string& line) {
    if (logger_) {
      Quorex::Service::LogInternal(logger_, kSummaryLevel, "%1", line);
    }
  }
  // "300 s" or, for sub-second periods, "20 ms".
  std::string PeriodText() const {
    const auto ms = period_.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
  }

  CounterTable table_;

 private:
  Quorex::Service::ThreadPool& Pool() {
    return pool_ != nullptr ? *pool_ : Quorex::Service::GetApp().GetThreadPool();
  }

  void ScheduleLocked(uint64_t generation) {
    std::weak_ptr<TrackerBase> weak = weak_from_this();
    auto job = [weak, generation] {
      if (auto self = weak.lock()) {
        self->Run(generation);
      }
    };
    const uint64_t delayUs = static_cast<uint64_t>(std::chrono::microseconds(period_).count());
    Pool().ScheduleOnce(std::move(job), delayUs, &handle_);
  }

  // Holds the mutex while logging, so that Stop waits for a summary in progress.
  void Run(uint64_t generation) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || generation != generation_) {
      return;
    }
    LogSummary();
    ScheduleLocked(generation);
  }

  std::shared_ptr<Quorex::Service::Logger> logger_;
  std::chrono::milliseconds period_;
  Quorex::Service::ThreadPool* pool_;
  std::mutex mutex_;
  bool running_ = false;
  uint64_t generation_ = 0;
  Quorex::Service::TimerHandle handle_;
};

}  // namespace

class TrafficTracker::Impl : public TrackerBase {
 public:
  using TrackerBase::TrackerBase;

  void Record(const std::string& op, uint64_t latencyUs, bool ok) {
    CounterTable::Slot& slot = table_.Get(op);
    slot.count.fetch_add(1, std::memory_order_relaxed);
    if (!ok) {
      slot.failures.fetch_add(1, std::memory_order_relaxed);
    }
    slot.totalUs.fetch_add(latencyUs, std::memory_order_relaxed);
    RaiseMax(slot.maxUs, latencyUs);
  }

  std::map<std::string, OpCounts> Counts(bool reset) {
    std::map<std::string, OpCounts> out;
    table_.ForEach([&](const std::string& name, CounterTable::Slot& s) {
      OpCounts c;
      c.calls = reset ? s.count.exchange(0) : s.count.load();
      c.failures = reset ? s.failures.exchange(0) : s.failures.load();
      c.totalLatencyUs = reset ? s.totalUs.exchange(0) : s.totalUs.load();
      c.maxLatencyUs = reset ? s.maxUs.exchange(0) : s.maxUs.load();
      if (c.calls != 0) {
        out.emplace(name, c);
      }
    });
    return out;
  }

  void LogSummary() override {
    std::string line = "API traffic in the last " + PeriodText() + ":";
    const auto counts = Counts(true);
    if (counts.empty()) {
      line += " no calls";
    }
    for (const auto& [op, c] : counts) {
      line += " " + op + " calls=" + std::to_string(c.calls) +
              " failed=" + std::to_string(c.failures) +
              " avgUs=" + std::to_string(c.totalLatencyUs / c.calls) +
              " maxUs=" + std::to_string(c.maxLatencyUs) + ";";
    }
    Log(line + "\n");
  }
};

class ErrorsTracker::Impl : public TrackerBase {
 public:
  using TrackerBase::TrackerBase;

  void Record(const std::string& type) {
    table_.Get(type).count.fetch_add(1, std::memory_order_relaxed);
  }

  std::map<std::string, uint64_t> Counts(bool reset) {
    std::map<std::string, uint64_t> out;
    table_.ForEach([&](const std::string& name, CounterTable::Slot& s) {
      const uint64_t n = reset ? s.count.exchange(0) : s.count.load();
      if (n != 0) {
        out.emplace(name, n);
      }
    });
    return out;
  }

  void LogSummary() override {
    std::string line = "API errors in the last " + PeriodText() + ":";
    const auto counts = Counts(true);
    if (counts.empty()) {
      line += " none";
    }
    for (const auto& [type, n] : counts) {
      line += " " + type + "=" + std::to_string(n) + ";";
    }
    Log(line + "\n");
  }
};

TrafficTracker::TrafficTracker(std::shared_ptr<Quorex::Service::Logger> logger,
                               std::chrono::milliseconds period, Quorex::Service::ThreadPool* pool)
    : impl_(std::make_shared<Impl>(std::move(logger), period, pool)) {}
TrafficTracker::~TrafficTracker() { impl_->Stop(); }
void TrafficTracker::RecordCall(const std::string& op, uint64_t latencyUs, bool ok) {
  impl_->Record(op, latencyUs, ok);
}
void TrafficTracker::StartScheduling() { impl_->Start(); }
void TrafficTracker::Stop() { impl_->Stop(); }
std::map<std::string, OpCounts> TrafficTracker::Snapshot() const { return impl_->Counts(false); }
void TrafficTracker::LogSummary() { impl_->LogSummary(); }

ErrorsTracker::ErrorsTracker(std::shared_ptr<Quorex::Service::Logger> logger,
                             std::chrono::milliseconds period, Quorex::Service::ThreadPool* pool)
    : impl_(std::make_shared<Impl>(std::move(logger), period, pool)) {}
ErrorsTracker::~ErrorsTracker() { impl_->Stop(); }
void ErrorsTracker::RecordError(const std::string& type) { impl_->Record(type); }
void ErrorsTracker::StartErrorScheduling() { impl_->Start(); }
void ErrorsTracker::Stop() { impl_->Stop(); }
std::map<std::string, uint64_t> ErrorsTracker::Snapshot() const { return impl_->Counts(false); }
void ErrorsTracker::LogSummary() { impl_->LogSummary(); }

}  // namespace Brask::Common::QuorexMirel
