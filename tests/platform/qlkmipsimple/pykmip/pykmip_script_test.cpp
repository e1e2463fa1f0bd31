// scripts/pykmip/pykmip-server.sh itself: stopping leaves no process behind and can be repeated,
// the owner watcher stops a server whose test process has gone, and misuse fails cleanly.
#include "pykmip_peer.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

extern char** environ;

namespace {

using PykmipTest::ProcessResult;
using PykmipTest::RunProcess;

constexpr int kScriptTimeoutSeconds = 90;

ProcessResult Script(const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {}) {
  std::vector<std::string> argv{"/bin/bash", ZYLD_PYKMIP_SCRIPT};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, kScriptTimeoutSeconds, env);
}

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
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (RunningInGroup(pgid) > 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

class PykmipScriptTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!PykmipTest::PykmipPeer::Installed()) {
      GTEST_SKIP() << "/usr/bin/pykmip-server is not installed";
    }
    std::string pattern =
        std::filesystem::temp_directory_path().string() + "/zyld-pykmip-script-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) {
      Script({"stop", dir_});
      std::filesystem::remove_all(dir_);
    }
  }
  pid_t Group() const { return std::atoi(PykmipTest::ReadFile(dir_ + "/server.pid").c_str()); }

  std::string dir_;
};

TEST_F(PykmipScriptTest, StopEndsEveryProcessAndCanBeRepeated) {
  ProcessResult started = Script({"start", dir_});
  ASSERT_EQ(started.exitCode, 0) << started.err;
  ASSERT_EQ(Script({"proxy-start", dir_}).exitCode, 0);
  pid_t server = Group();
  pid_t proxy = std::atoi(PykmipTest::ReadFile(dir_ + "/proxy.pid").c_str());
  ASSERT_GT(server, 1);
  ASSERT_GT(proxy, 1);
  EXPECT_EQ(RunningInGroup(server), 3);  // server, policy store manager, policy monitor

  ProcessResult stopped = Script({"stop", dir_});
  EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
  EXPECT_TRUE(GroupEnds(server, 10));
  EXPECT_TRUE(GroupEnds(proxy, 10));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/server.pid"));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/port"));
  EXPECT_EQ(Script({"stop", dir_}).exitCode, 0);
  EXPECT_EQ(Script({"state", dir_, "1"}).exitCode, 1);
}

TEST_F(PykmipScriptTest, WatcherStopsTheServerOnceItsOwnerHasGone) {
  pid_t owner = -1;
  const char* sleepArgs[] = {"/bin/sleep", "60", nullptr};
  ASSERT_EQ(
      posix_spawn(&owner, sleepArgs[0], nullptr, nullptr, const_cast<char**>(sleepArgs), environ),
      0);
  ProcessResult started = Script({"start", dir_}, {"PYKMIP_OWNER_PID=" + std::to_string(owner)});
  pid_t server = Group();
  kill(owner, SIGKILL);
  waitpid(owner, nullptr, 0);
  ASSERT_EQ(started.exitCode, 0) << started.err;
  EXPECT_TRUE(GroupEnds(server, 20));
}

TEST_F(PykmipScriptTest, MisuseFailsWithoutLeavingProcesses) {
  EXPECT_EQ(Script({"create-key", dir_, "256", "active"}).exitCode, 1);  // nothing runs

  // A port that is already taken: the server cannot bind, start reports it and cleans up.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  ProcessResult taken = Script({"start", dir_, std::to_string(ntohs(addr.sin_port))});
  close(fd);
  EXPECT_EQ(taken.exitCode, 1);
  EXPECT_NE(taken.err.find("did not become ready"), std::string::npos) << taken.err;
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/server.pid"));

  ProcessResult started = Script({"start", dir_});
  ASSERT_EQ(started.exitCode, 0) << started.err;
  ProcessResult again = Script({"start", dir_});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.err.find("already runs"), std::string::npos) << again.err;
}

}  // namespace
