// Self-pipe signal handling: the handler writes one byte, a dedicated thread does the work.
#include <ironveil-common/signal_utils.h>

#include <harlibs/log.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>

namespace Brask::Common::SignalUtils {

namespace {

// The termination signals, then SIGHUP (installed only with a hang-up callback).
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr size_t kTerminationSignals = 2;
constexpr unsigned char kWakeToStop = 0;

// One installation: the pipe, the previous handlers and the waiting thread. The thread holds a
// reference, so the pipe stays open until it has finished even when it was detached.
struct Installation {
  int readFd = -1;
  int writeFd = -1;
  struct sigaction previous[std::size(kSignals)] = {};
  size_t installed = 0;  // how many of kSignals, from the first
  std::function<void()> onExit;
  std::function<void()> onHangUp;
  std::atomic<bool> stopping{false};
  std::thread thread;

  ~Installation() {
    if (readFd >= 0) close(readFd);
    if (writeFd >= 0) close(writeFd);
  }
};

// Process-wide: the handler can only reach the pipe through a global.
std::atomic<int> gWriteFd{-1};
std::mutex gMutex;
std::shared_ptr<Installation> gActive;

extern "C" void OnSignal(int signo) {
  const int savedErrno = errno;
  const int fd = gWriteFd.load();
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] ssize_t n = write(fd, &byte, 1);
  }
  errno = savedErrno;
}

void WaitLoop(std::shared_ptr<Installation> inst) {
  bool fired = false;
  while (!inst->stopping.load()) {
    unsigned char byte = 0;
    const ssize_t n = read(inst->readFd, &byte, 1);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n != 1 || byte == kWakeToStop || inst->stopping.load()) {
      return;
    }
    if (byte == SIGHUP) {
      if (!fired) {
        inst->onHangUp();
      }
    } else if (!fired) {
      fired = true;
      Log_Level(kLogNotable, "Received signal %d\n", static_cast<int>(byte));
      inst->onExit();
    }
  }
}

bool OpenPipe(Installation& inst) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  inst.readFd = fds[0];
  inst.writeFd = fds[1];
  // A full pipe must never block the handler; one pending byte is enough.
  return fcntl(inst.writeFd, F_SETFL, O_NONBLOCK) == 0;
}

bool InstallHandlers(Installation& inst) {
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  const size_t count = inst.onHangUp ? std::size(kSignals) : kTerminationSignals;
  for (size_t i = 0; i < count; ++i) {
    if (sigaction(kSignals[i], &sa, &inst.previous[i]) != 0) {
      for (size_t j = 0; j < i; ++j) {
        sigaction(kSignals[j], &inst.previous[j], nullptr);
      }
      return false;
    }
  }
  inst.installed = count;
  return true;
}

void RestoreHandlers(Installation& inst) {
  for (size_t i = 0; i < inst.installed; ++i) {
    sigaction(kSignals[i], &inst.previous[i], nullptr);
  }
}

}  // namespace

bool SignalsInit(std::function<void()> onExit, std::function<void()> onHangUp) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gActive || !onExit) {
    return false;
  }
  auto inst = std::make_shared<Installation>();
  inst->onExit = std::move(onExit);
  inst->onHangUp = std::move(onHangUp);
  if (!OpenPipe(*inst)) {
    return false;
  }
  gWriteFd.store(inst->writeFd);
  if (!InstallHandlers(*inst)) {
    gWriteFd.store(-1);
    return false;
  }
  inst->thread = std::thread(WaitLoop, inst);
  gActive = std::move(inst);
  return true;
}

void SignalsExit() {
  std::shared_ptr<Installation> inst;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    inst.swap(gActive);
  }
  if (!inst) {
    return;
  }
  RestoreHandlers(*inst);
  gWriteFd.store(-1);
  inst->stopping.store(true);
  const unsigned char wake = kWakeToStop;
  [[maybe_unused]] ssize_t n = write(inst->writeFd, &wake, 1);
  if (inst->thread.get_id() == std::this_thread::get_id()) {
    inst->thread.detach();  // called from the callback: the loop ends when it returns
  } else if (inst->thread.joinable()) {
    inst->thread.join();
  }
}

}  // namespace Brask::Common::SignalUtils
