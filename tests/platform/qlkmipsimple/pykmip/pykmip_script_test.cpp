// scripts/pykmip/pykmip-server.sh itself: stopping leaves no process behind, and the owner
// watcher stops a server whose test process has gone.
#include "pykmip_peer.h"

#include <gtest/gtest.h>
#include <test_wait.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

extern char** environ;

namespace {

using PykmipTest::ProcessResult;
using PykmipTest::Script;

// Running (non-zombie) processes whose process group is pgid.
int RunningInGroup(pid_t pgid) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) {
      continue;
    }
    // pid (comm) state ppid pgrp ...; comm may hold spaces, so parse after the last ')'.
    size_t close = line.rfind(')');
    char state = 0;
    long ppid = 0;
    long pgrp = 0;
    if (close != std::string::npos &&
        sscanf(line.c_str() + close + 1, " %c %ld %ld", &state, &ppid, &pgrp) == 3 &&
        pgrp == pgid && state != 'Z') {
      ++count;
    }
  }
  return count;
}

// Waits (bounded, to catch a hang only) until the group has no running process.
bool GroupEnds(pid_t pgid, int seconds) {
  return TestSupport::Eventually([&] { return RunningInGroup(pgid) == 0; },
                                 std::chrono::seconds(seconds), std::chrono::milliseconds(100));
}

class PykmipScriptTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!PykmipTest::PykmipPeer::Installed()) {
      GTEST_SKIP() << "/usr/bin/pykmip-server is not installed";
    }
    dir_ = temp_.Path();
  }
  void TearDown() override {
    if (!dir_.empty()) Script({"stop", dir_});
  }
  pid_t Group() const { return std::atoi(PykmipTest::ReadFile(dir_ + "/server.pid").c_str()); }

  TestSupport::TempDir temp_;
  std::string dir_;
};

TEST_F(PykmipScriptTest, StopAndTheOwnerWatcherLeaveNoProcess) {
  ProcessResult started = Script({"start", dir_});
  ASSERT_EQ(started.exitCode, 0) << started.err;
  ASSERT_EQ(Script({"proxy-start", dir_}).exitCode, 0);
  const pid_t server = Group();
  const pid_t proxy = std::atoi(PykmipTest::ReadFile(dir_ + "/proxy.pid").c_str());
  ASSERT_GT(server, 1);
  ASSERT_GT(proxy, 1);
  ProcessResult stopped = Script({"stop", dir_});
  EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
  EXPECT_TRUE(GroupEnds(server, 10));
  EXPECT_TRUE(GroupEnds(proxy, 10));

  pid_t owner = -1;
  const char* sleepArgs[] = {"/bin/sleep", "60", nullptr};
  ASSERT_EQ(
      posix_spawn(&owner, sleepArgs[0], nullptr, nullptr, const_cast<char**>(sleepArgs), environ),
      0);
  started = Script({"start", dir_}, {"PYKMIP_OWNER_PID=" + std::to_string(owner)});
  const pid_t watched = Group();
  kill(owner, SIGKILL);
  waitpid(owner, nullptr, 0);
  ASSERT_EQ(started.exitCode, 0) << started.err;
  EXPECT_TRUE(GroupEnds(watched, 20));
}

}  // namespace
