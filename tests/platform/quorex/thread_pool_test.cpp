// Thread pool: tasks, scheduled jobs in due order, cancellation, and scheduled jobs that still
// run while long-lived tasks occupy the workers.
#include <quorex/quorex.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Quorex::Service::ThreadPool;
using Quorex::Service::TimerHandle;

constexpr auto kHang = 30s;  // only catches a hang

TEST(ThreadPoolTest, EnqueuedTasksRunAndExceptionsDoNotKillWorkers) {
  ThreadPool pool(1, 3);
  pool.Enqueue([] { throw std::runtime_error("task failure"); });
  std::atomic<int> count{0};
  std::promise<void> done;
  for (int i = 0; i < 50; ++i) {
    pool.Enqueue([&] {
      if (++count == 50) {
        done.set_value();
      }
    });
  }
  EXPECT_EQ(done.get_future().wait_for(kHang), std::future_status::ready);
}

TEST(ThreadPoolTest, ScheduledJobsRunInDueOrder) {
  ThreadPool pool(1, 1);  // one worker: jobs run one after another in the order they fall due
  std::mutex mutex;
  std::vector<int> order;
  std::promise<void> done;
  auto record = [&](int id) {
    std::lock_guard lock(mutex);
    order.push_back(id);
    if (order.size() == 4) {
      done.set_value();
    }
  };
  pool.ScheduleOnce([&] { record(3); }, 150000, nullptr);
  pool.ScheduleOnce([&] { record(1); }, 0, nullptr);
  pool.ScheduleOnce([&] { record(4); }, 200000, nullptr);
  pool.ScheduleOnce([&] { record(2); }, 100000, nullptr);
  ASSERT_EQ(done.get_future().wait_for(kHang), std::future_status::ready);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(ThreadPoolTest, CancelStopsAPendingJobOnly) {
  ThreadPool pool(1, 1);
  std::atomic<bool> cancelledRan{false};
  TimerHandle cancelled;
  pool.ScheduleOnce([&] { cancelledRan = true; }, 50000, &cancelled);
  EXPECT_TRUE(cancelled.IsSet());
  EXPECT_TRUE(pool.Cancel(cancelled));
  EXPECT_FALSE(cancelled.IsSet());
  EXPECT_FALSE(pool.Cancel(cancelled));  // already cancelled

  std::promise<void> later;
  TimerHandle ran;
  pool.ScheduleOnce([&] { later.set_value(); }, 100000, &ran);
  ASSERT_EQ(later.get_future().wait_for(kHang), std::future_status::ready);
  EXPECT_FALSE(cancelledRan.load());  // it fell due before the later job, yet never ran
  EXPECT_FALSE(pool.Cancel(ran));     // already ran
  TimerHandle never;
  EXPECT_FALSE(pool.Cancel(never));
}

// The daemon's endpoint keeps five tasks running for the life of the process; its periodic jobs
// must still run, even when more long tasks are enqueued than there are workers.
TEST(ThreadPoolTest, ScheduledJobRunsWhileLongTasksHoldWorkers) {
  const std::pair<int, int> shapes[] = {{5, 10}, {10, 10}, {6, 6}, {3, 1}};  // blockers, max
  for (auto [blockers, maxThreads] : shapes) {
    std::atomic<bool> open{false};  // the blocking tasks wait until it is set
    const auto openGate = [&] {
      open = true;
      open.notify_all();
    };
    {
      ThreadPool pool(1, maxThreads);
      for (int i = 0; i < blockers; ++i) {
        pool.Enqueue([&] { open.wait(false); });
      }
      std::promise<void> ran;
      pool.ScheduleOnce([&] { ran.set_value(); }, 1000, nullptr);
      if (maxThreads == 1) {
        // A single worker is shared: the job runs once the task in front of it returns.
        openGate();
      }
      EXPECT_EQ(ran.get_future().wait_for(kHang), std::future_status::ready) << blockers;
      std::promise<void> again;
      pool.ScheduleOnce([&] { again.set_value(); }, 0, nullptr);
      EXPECT_EQ(again.get_future().wait_for(kHang), std::future_status::ready) << blockers;
      openGate();
    }
  }
}

TEST(ThreadPoolTest, ShutdownDropsPendingWorkWithoutWaitingForIt) {
  std::atomic<bool> ran{false};
  auto shut = std::async(std::launch::async, [&] {
    ThreadPool pool(2, 4);
    pool.ScheduleOnce([&] { ran = true; }, 3600ULL * 1000000, nullptr);
    pool.Shutdown();
    pool.Enqueue([&] { ran = true; });
  });
  EXPECT_EQ(shut.wait_for(kHang), std::future_status::ready);
  EXPECT_FALSE(ran.load());
}

}  // namespace
