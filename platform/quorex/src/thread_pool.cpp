// Thread pool: timers on an asio io_context run by the I/O threads; tasks and due jobs on
// workers started on demand up to the maximum.
#include <quorex/quorex.h>

#include <harlibs/log.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

namespace Quorex::Service {

namespace {

constexpr uint64_t kMaxDelayUs = 10ULL * 366 * 24 * 3600 * 1000000;  // ten years

using Task = std::function<void()>;

struct Timer {
  explicit Timer(boost::asio::io_context& io, Task t) : timer(io), task(std::move(t)) {}
  boost::asio::steady_timer timer;
  Task task;
};

// Joins threads; a pool thread that shuts the pool down itself is detached instead.
void JoinAll(std::vector<std::thread>& threads) {
  for (std::thread& t : threads) {
    if (t.get_id() == std::this_thread::get_id()) {
      t.detach();
    } else {
      t.join();
    }
  }
}

void RunGuarded(Task& task) {
  try {
    task();
  } catch (const std::exception& e) {
    Log_Level(kLogFailure, "Thread pool task failed: %s\n", e.what());
  } catch (...) {
    Log_Level(kLogFailure, "Thread pool task failed with an unknown exception\n");
  }
}

}  // namespace

class ThreadPool::Impl {
 public:
  Impl(int ioThreads, int maxThreads) : ioThreads_(ioThreads), maxThreads_(maxThreads) {}

  void Enqueue(Task task);
  void Schedule(Task task, uint64_t delayUs, TimerHandle* handle);
  bool Cancel(uint64_t id);
  void Shutdown();
  int IoThreads() const { return ioThreads_; }
  int MaxThreads() const { return maxThreads_; }

 private:
  // Enqueued tasks may hold all workers but one, which stays for the due jobs.
  int TaskLimit() const { return maxThreads_ > 1 ? maxThreads_ - 1 : 1; }
  size_t Runnable() const;
  void WakeLocked();
  void StartIoThreadsLocked();
  void OnDue(uint64_t id);
  void WorkerLoop();
  bool TakeLocked(Task* task, bool* isTask);

  const int ioThreads_;
  const int maxThreads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  std::deque<Task> due_;
  int workers_ = 0;
  int idle_ = 0;
  int busyTasks_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workerThreads_;
  boost::asio::io_context io_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
  std::vector<std::thread> ioThreadList_;
  std::map<uint64_t, std::shared_ptr<Timer>> timers_;
  uint64_t nextId_ = 1;
};

size_t ThreadPool::Impl::Runnable() const {
  size_t taskRoom = busyTasks_ < TaskLimit() ? static_cast<size_t>(TaskLimit() - busyTasks_) : 0;
  return due_.size() + std::min(tasks_.size(), taskRoom);
}

void ThreadPool::Impl::WakeLocked() {
  if (Runnable() > static_cast<size_t>(idle_) && workers_ < maxThreads_) {
    ++workers_;
    workerThreads_.emplace_back([this] { WorkerLoop(); });
  }
  wake_.notify_all();
}

void ThreadPool::Impl::Enqueue(Task task) {
  std::lock_guard lock(mutex_);
  if (stopping_ || !task) {
    return;
  }
  tasks_.push_back(std::move(task));
  WakeLocked();
}

void ThreadPool::Impl::StartIoThreadsLocked() {
  if (!ioThreadList_.empty()) {
    return;
  }
  work_.emplace(io_.get_executor());
  for (int i = 0; i < ioThreads_; ++i) {
    ioThreadList_.emplace_back([this] { io_.run(); });
  }
}

void ThreadPool::Impl::Schedule(Task task, uint64_t delayUs, TimerHandle* handle) {
  std::lock_guard lock(mutex_);
  if (stopping_ || !task) {
    return;
  }
  uint64_t id = nextId_++;
  auto timer = std::make_shared<Timer>(io_, std::move(task));
  timers_.emplace(id, timer);
  if (handle != nullptr) {
    handle->id_.store(id);
  }
  StartIoThreadsLocked();
  timer->timer.expires_after(std::chrono::microseconds(std::min(delayUs, kMaxDelayUs)));
  timer->timer.async_wait([this, id, timer](const boost::system::error_code& ec) {
    if (!ec) {
      OnDue(id);
    }
  });
}

void ThreadPool::Impl::OnDue(uint64_t id) {
  std::lock_guard lock(mutex_);
  auto it = timers_.find(id);
  if (it == timers_.end() || stopping_) {
    return;  // cancelled
  }
  due_.push_back(std::move(it->second->task));
  timers_.erase(it);
  WakeLocked();
}

bool ThreadPool::Impl::Cancel(uint64_t id) {
  std::lock_guard lock(mutex_);
  auto it = timers_.find(id);
  if (it == timers_.end()) {
    return false;
  }
  std::shared_ptr<Timer> timer = std::move(it->second);
  timers_.erase(it);
  // The timer object is only touched on the I/O threads from now on.
  boost::asio::post(io_, [timer] { timer->timer.cancel(); });
  return true;
}

bool ThreadPool::Impl::TakeLocked(Task* task, bool* isTask) {
  if (!due_.empty()) {
    *task = std::move(due_.front());
    due_.pop_front();
    *isTask = false;
    return true;
  }
  if (!tasks_.empty() && busyTasks_ < TaskLimit()) {
    *task = std::move(tasks_.front());
    tasks_.pop_front();
    *isTask = true;
    ++busyTasks_;
    return true;
  }
  return false;
}

void ThreadPool::Impl::WorkerLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    Task task;
    bool isTask = false;
    if (!TakeLocked(&task, &isTask)) {
      ++idle_;
      wake_.wait(lock);
      --idle_;
      continue;
    }
    lock.unlock();
    RunGuarded(task);
    task = nullptr;  // release captures outside the lock
    lock.lock();
    if (isTask) {
      --busyTasks_;
    }
  }
}

void ThreadPool::Impl::Shutdown() {
  std::vector<std::thread> workers;
  std::vector<std::thread> ioThreads;
  std::map<uint64_t, std::shared_ptr<Timer>> timers;
  std::deque<Task> tasks;
  std::deque<Task> due;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    workers.swap(workerThreads_);
    ioThreads.swap(ioThreadList_);
    timers.swap(timers_);
    tasks.swap(tasks_);
    due.swap(due_);
    wake_.notify_all();
  }
  io_.stop();
  JoinAll(ioThreads);
  JoinAll(workers);
  work_.reset();
}

ThreadPool::ThreadPool(int ioThreads, int maxThreads)
    : impl_(std::make_unique<Impl>(std::max(ioThreads, 1), std::max(maxThreads, 1))) {}

ThreadPool::~ThreadPool() { Shutdown(); }

void ThreadPool::Enqueue(std::function<void()> task) { impl_->Enqueue(std::move(task)); }

void ThreadPool::ScheduleOnce(std::function<void()> task, uint64_t delayUs, TimerHandle* handle) {
  impl_->Schedule(std::move(task), delayUs, handle);
}

bool ThreadPool::Cancel(TimerHandle& handle) {
  uint64_t id = handle.id_.exchange(0);
  return id != 0 && impl_->Cancel(id);
}

void ThreadPool::Shutdown() { impl_->Shutdown(); }

int ThreadPool::IoThreads() const { return impl_->IoThreads(); }

int ThreadPool::MaxThreads() const { return impl_->MaxThreads(); }

}  // namespace Quorex::Service
