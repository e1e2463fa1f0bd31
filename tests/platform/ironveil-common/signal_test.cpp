// Signal handling changes process-wide state, so every case runs in a forked child and reports
// through its exit status.
#include <ironveil-common/signal_utils.h>

#include <gtest/gtest.h>
#include <test_wait.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using namespace Brask::Common;

// Runs body in a child process and returns its exit status, or 128 plus the signal that ended it.
int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

using TestSupport::Eventually;

TEST(Signals, TerminationSignalRunsTheCallbackOnceOnItsOwnThread) {
  for (int signo : {SIGTERM, SIGINT}) {
    const int rc = InChild([signo] {
      std::atomic<int> calls{0};
      std::atomic<bool> otherThread{false};
      const auto mainId = std::this_thread::get_id();
      if (!SignalUtils::SignalsInit([&] {
            otherThread = std::this_thread::get_id() != mainId;
            ++calls;
          })) {
        return 10;
      }
      kill(getpid(), signo);
      if (!Eventually([&] { return calls.load() == 1; })) return 11;
      kill(getpid(), SIGTERM);  // a second signal neither kills the process nor calls again
      kill(getpid(), SIGINT);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      SignalUtils::SignalsExit();
      if (calls.load() != 1) return 12;
      return otherThread ? 0 : 13;
    });
    EXPECT_EQ(rc, 0) << signo;
  }
}

TEST(Signals, HangUpRunsItsCallbackEveryTimeAndNeverTheExitOne) {
  const int rc = InChild([] {
    std::atomic<int> exits{0}, hangUps{0};
    if (!SignalUtils::SignalsInit([&] { ++exits; }, [&] { ++hangUps; })) return 10;
    kill(getpid(), SIGHUP);
    if (!Eventually([&] { return hangUps.load() == 1; })) return 11;
    kill(getpid(), SIGHUP);
    if (!Eventually([&] { return hangUps.load() == 2; })) return 12;
    if (exits.load() != 0) return 13;
    kill(getpid(), SIGTERM);
    if (!Eventually([&] { return exits.load() == 1; })) return 14;
    SignalUtils::SignalsExit();
    return 0;
  });
  EXPECT_EQ(rc, 0);
}

TEST(Signals, ExitRemovesTheHandlersWithoutRunningTheCallback) {
  const int rc = InChild([] {
    std::atomic<int> calls{0};
    if (!SignalUtils::SignalsInit([&] { ++calls; })) return 10;
    if (SignalUtils::SignalsInit([] {})) return 11;  // one installation at a time
    SignalUtils::SignalsExit();
    SignalUtils::SignalsExit();  // harmless twice
    if (calls.load() != 0) return 12;
    kill(getpid(), SIGTERM);  // default action again: the process dies by the signal
    pause();
    return 13;
  });
  EXPECT_EQ(rc, 128 + SIGTERM);
}

TEST(Signals, CallbackMayRemoveTheHandlersItself) {
  const int rc = InChild([] {
    std::atomic<bool> done{false};
    if (!SignalUtils::SignalsInit([&] {
          SignalUtils::SignalsExit();  // as the exit path does
          done = true;
        })) {
      return 10;
    }
    kill(getpid(), SIGINT);
    if (!Eventually([&] { return done.load(); })) return 11;
    // A new installation is possible once the old one is gone.
    if (!SignalUtils::SignalsInit([] {})) return 12;
    SignalUtils::SignalsExit();
    return 0;
  });
  EXPECT_EQ(rc, 0);
}

}  // namespace
