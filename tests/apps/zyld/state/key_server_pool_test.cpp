// The key-server pool with fake jobs (per-provider bounds, refusal, expiry, shutdown) and the
// single flight of server reads.
#include "kms/single_flight.h"
#include "state/key_server_pool.h"

#include <harlibs/secure.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Zyld::State::KeyServerPool;
using JobEnd = KeyServerPool::JobEnd;
using namespace std::chrono_literals;

constexpr auto kBound = 10s;  // generous bound of every condition wait
constexpr auto kLongWait = 1h;

// Jobs that record how they ended and, when run, block until released.
class Jobs {
 public:
  KeyServerPool::Job Make(const std::string& name) {
    return [this, name](JobEnd end) {
      std::unique_lock lock(mutex_);
      ends_[name] = end;
      changed_.notify_all();
      if (end == JobEnd::Ran) {
        changed_.wait(lock, [&] { return released_; });
      }
    };
  }
  // How the job ended, once it has (nullopt when not within the bound).
  std::optional<JobEnd> WaitEnd(const std::string& name) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kBound, [&] { return ends_.count(name) > 0; });
    return ends_.count(name) ? std::optional(ends_[name]) : std::nullopt;
  }
  bool Ended(const std::string& name) {
    std::lock_guard lock(mutex_);
    return ends_.count(name) > 0;
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, JobEnd> ends_;
  bool released_ = false;
};

TEST(KeyServerPool, BoundsEachProviderWithoutHoldingOthers) {
  Jobs jobs;
  KeyServerPool pool({.threads = 4, .jobsPerProvider = 1, .queuePerProvider = 1});
  pool.Submit("stalled", kLongWait, jobs.Make("running"));
  ASSERT_EQ(jobs.WaitEnd("running"), JobEnd::Ran);
  pool.Submit("stalled", kLongWait, jobs.Make("waiting"));
  pool.Submit("stalled", kLongWait, jobs.Make("refused"));
  EXPECT_TRUE(jobs.Ended("refused")) << "a full queue refuses at once";
  EXPECT_EQ(jobs.WaitEnd("refused"), JobEnd::Refused);
  pool.Submit("other", kLongWait, jobs.Make("other"));
  EXPECT_EQ(jobs.WaitEnd("other"), JobEnd::Ran) << "another provider runs meanwhile";
  EXPECT_FALSE(jobs.Ended("waiting")) << "one job of a provider at a time";
  jobs.Release();
  EXPECT_EQ(jobs.WaitEnd("waiting"), JobEnd::Ran);
}

TEST(KeyServerPool, WaitingJobsExpireOrEndAtStopAndNewOnesAreRefused) {
  Jobs jobs;
  KeyServerPool pool({.threads = 2, .jobsPerProvider = 1, .queuePerProvider = 4});
  pool.Submit("p", kLongWait, jobs.Make("running"));
  ASSERT_EQ(jobs.WaitEnd("running"), JobEnd::Ran);
  pool.Submit("p", 20ms, jobs.Make("expiring"));
  EXPECT_EQ(jobs.WaitEnd("expiring"), JobEnd::Expired) << "while the provider is busy";
  pool.Submit("p", kLongWait, jobs.Make("waiting"));
  std::thread stopper([&] { pool.Stop(); });
  EXPECT_EQ(jobs.WaitEnd("waiting"), JobEnd::Stopped) << "before the running job returns";
  jobs.Release();
  stopper.join();
  pool.Submit("p", kLongWait, jobs.Make("late"));
  EXPECT_EQ(jobs.WaitEnd("late"), JobEnd::Stopped);
}

struct Read {
  int result = -1;
  Har::Secret key;
};

TEST(SingleFlight, CallersOfOneKeyShareOneFetch) {
  constexpr size_t kCallers = 5;
  Zyld::Kms::SingleFlight<std::string, Read> flight;
  std::atomic<int> fetches{0};
  auto fetch = [&] {
    ++fetches;
    // Lands only once every caller has joined the flight.
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (flight.Callers("k") < kCallers && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    return Read{7, Har::Secret("master", 6)};
  };
  std::vector<Read> reads(kCallers);
  std::vector<std::thread> callers;
  for (size_t i = 0; i < kCallers; ++i) {
    callers.emplace_back([&, i] { reads[i] = flight.Run("k", fetch); });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(fetches.load(), 1);
  for (const Read& read : reads) {
    EXPECT_EQ(read.result, 7);
    EXPECT_EQ(read.key, Har::Secret("master", 6));
  }
  EXPECT_EQ(flight.Callers("k"), 0u);
  flight.Run("k", [&] { return Read{++fetches}; });
  EXPECT_EQ(fetches.load(), 2) << "a landed flight is not reused";
}

TEST(SingleFlight, WaitersOfAFetchThatThrowsGetTheDefault) {
  Zyld::Kms::SingleFlight<int, Read> flight;
  std::optional<Read> waited;
  std::thread waiter;
  EXPECT_THROW(
      flight.Run(1,
                 [&]() -> Read {
                   waiter = std::thread([&] { waited = flight.Run(1, [] { return Read{1}; }); });
                   const auto deadline = std::chrono::steady_clock::now() + kBound;
                   while (flight.Callers(1) < 2 && std::chrono::steady_clock::now() < deadline) {
                     std::this_thread::yield();
                   }
                   throw std::runtime_error("server gone");
                 }),
      std::runtime_error);
  waiter.join();
  ASSERT_TRUE(waited);
  EXPECT_EQ(waited->result, -1);
}

}  // namespace
