// The real daemon binary: start-up lines, exit by SIGTERM or SIGINT, and configuration faults;
// in process, the typed defaults the daemon registers. Runs without a usable configuration file
// happen in a private mount namespace with an empty /var/lib, so that the default store path does
// not touch the host.
#include "daemon.h"
#include "provider_fixture.h"

#include <test_net.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#ifndef ZYLD_BINARY
#error "ZYLD_BINARY must name the daemon executable"
#endif
#ifndef ZYL_MIREL_METADATA
#error "ZYL_MIREL_METADATA must name the generated API metadata file"
#endif

namespace {

using namespace ZyldTest;
using namespace std::chrono_literals;

// Generous bounds that only catch hangs.
constexpr auto kStartBound = 30s;
constexpr auto kExitBound = 20s;

class Daemon {
 public:
  Daemon(const TempDir& dir, const std::string& configPath, bool privateVarLib = false)
      : output_(dir.File("daemon.out")) {
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      dup2(fd, 2);
      setenv("ZYLD_CONFIG", configPath.c_str(), 1);
      if (privateVarLib) {
        // Default paths only: a private /var/lib, the metadata file at its installed place and a
        // network namespace of its own so that the default port is free.
        const std::string script =
            std::string(
                "mkdir -p /usr/lib/velora && mount -t tmpfs tmpfs /var/lib && "
                "mount -t tmpfs tmpfs /usr/lib/velora && mkdir /usr/lib/velora/mirel && "
                "cp ") +
            ZYL_MIREL_METADATA + " /usr/lib/velora/mirel/ && ip link set lo up && exec " +
            ZYLD_BINARY;
        execlp("unshare", "unshare", "-mn", "sh", "-c", script.c_str(),
               static_cast<char*>(nullptr));
      } else {
        execl(ZYLD_BINARY, ZYLD_BINARY, static_cast<char*>(nullptr));
      }
      _exit(127);
    }
  }
  ~Daemon() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  std::string Output() const { return ReadFile(output_); }

  bool WaitForOutput(const std::string& needle) const {
    const auto deadline = std::chrono::steady_clock::now() + kStartBound;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Output().find(needle) != std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  // Sends the signal and waits for the exit; the exit status, or -1 for a hang or a crash.
  int Stop(int signal = SIGTERM) {
    kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + kExitBound;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  bool Running() const { return kill(pid_, 0) == 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  std::string output_;
  pid_t pid_ = -1;
  bool exited_ = false;
};

std::string WriteConfig(const TempDir& dir, const std::string& extra,
                        const std::string& firewallBackend = "none") {
  const std::string path = dir.File("config.xml");
  WriteFile(path,
            "<config>\n"
            "  <log><level>verbose</level></log>\n"
            "  <configStore><path>" +
                dir.File("store/ovik.db") +
                "</path></configStore>\n"
                "  <audit><path>" +
                dir.File("audit.log") +
                "</path></audit>\n"
                "  <firewall><backend>" +
                firewallBackend +
                "</backend></firewall>\n"
                "  <metadata><path>" ZYL_MIREL_METADATA
                "</path></metadata>\n"
                "  <endpoint><port>" +
                std::to_string(TestSupport::FreeLoopbackPort()) + "</port></endpoint>\n" + extra +
                "</config>\n");
  return path;
}

bool PrivateMountsWork() {
  return std::system(
             "unshare -mn sh -c 'mount -t tmpfs tmpfs /var/lib && ip link set lo up' >/dev/null "
             "2>&1") == 0;
}

size_t Position(const std::string& text, const std::string& needle) {
  const size_t at = text.find(needle);
  EXPECT_NE(at, std::string::npos) << needle;
  return at;
}

// Every key the daemon reads has a typed default, so a value of the wrong type rejects the file.
TEST(StartupDefaultsTest, WronglyTypedDaemonKeyRejectsTheFile) {
  for (const char* element : {"<statsLogIntervalSeconds>soon</statsLogIntervalSeconds>",
                              "<endpoint><port>http</port></endpoint>", "<caching>yes</caching>",
                              "<statusUpdateIntervalSeconds>1m</statusUpdateIntervalSeconds>",
                              "<cacheStaleTimeoutSeconds>-</cacheStaleTimeoutSeconds>"}) {
    TempDir dir;
    const std::string path = dir.File("config.xml");
    WriteFile(path, std::string("<config>") + element + "</config>");
    std::shared_ptr<Quorex::Service::Config> scratch;
    Quorex::Service::CreateScratchConfig(scratch);
    Zyld::SetStartupDefaults(*scratch);
    EXPECT_THROW(Quorex::Service::InitApp(scratch, path), std::runtime_error) << element;
  }
}

TEST(DaemonTest, StartsInOrderAndExitsWithZeroOnSigterm) {
  TempDir dir;
  // A stored provider is restored at start-up.
  OvikConfigStore::ConfigStore::Configure(dir.File("store/ovik.db"));
  ProviderSpec spec;
  spec.id = "seeded";
  ASSERT_EQ(WriteProvider(spec), PC::Success);
  OvikConfigStore::ConfigStore::Configure(":memory:");

  Daemon daemon(dir, WriteConfig(dir, ""));
  ASSERT_TRUE(daemon.WaitForOutput("Start-up complete")) << daemon.Output();
  EXPECT_TRUE(daemon.Running());
  EXPECT_EQ(daemon.Stop(SIGTERM), 0) << daemon.Output();
  const std::string out = daemon.Output();
  EXPECT_EQ(out.find("Initializing quorex failed"), std::string::npos) << out;
  const size_t restoreProvider =
      Position(out, "Restoring configuration key providers instance seeded");
  const size_t restoreKey = Position(out, "Restoring configuration key zyld_config");
  const size_t firewallOn = Position(out, "ruleset ironveil-zyld enabled");
  const size_t stats = Position(out, "Stats logging interval = 300s");
  const size_t started = Position(out, "Start-up complete");
  const size_t exiting = Position(out, "Exiting with status 0");
  const size_t firewallOff = Position(out, "ruleset ironveil-zyld disabled");
  EXPECT_LT(restoreProvider, restoreKey);
  EXPECT_LT(restoreKey, firewallOn);
  EXPECT_LT(firewallOn, stats);
  EXPECT_LT(stats, started);
  EXPECT_LT(started, exiting);
  EXPECT_LT(exiting, firewallOff);
}

TEST(DaemonTest, SigintAlsoExitsWithZero) {
  TempDir dir;
  Daemon daemon(dir, WriteConfig(dir, ""));
  ASSERT_TRUE(daemon.WaitForOutput("Start-up complete")) << daemon.Output();
  EXPECT_EQ(daemon.Stop(SIGINT), 0) << daemon.Output();
  EXPECT_NE(daemon.Output().find("Exiting with status 0"), std::string::npos);
}

// A missing or malformed configuration file is reported and the defaults apply.
TEST(DaemonTest, UnusableConfigurationFileRunsOnDefaults) {
  if (!PrivateMountsWork()) {
    GTEST_SKIP() << "needs a private mount namespace for the default store path";
  }
  for (const char* name : {"absent.xml", "bad.xml"}) {
    SCOPED_TRACE(name);
    TempDir dir;
    WriteFile(dir.File("bad.xml"),
              "<config>\n<statsLogIntervalSeconds>600</statsLogIntervalSeconds>\n"
              "<log><level>info</log>\n");
    Daemon daemon(dir, dir.File(name), true);
    ASSERT_TRUE(daemon.WaitForOutput("Start-up complete")) << daemon.Output();
    const std::string out = daemon.Output();
    EXPECT_NE(out.find("Initializing quorex failed: "), std::string::npos) << out;
    EXPECT_NE(out.find(name), std::string::npos) << out;
    EXPECT_NE(out.find("Stats logging interval = 300s"), std::string::npos) << out;
    EXPECT_EQ(daemon.Stop(), 0);
  }
}

TEST(DaemonTest, UnusableStoreEndsStartUpWithStatusOne) {
  TempDir dir;
  WriteFile(dir.File("store"), "a file where the store directory should be");
  Daemon daemon(dir, WriteConfig(dir, ""));
  ASSERT_TRUE(daemon.WaitForOutput("Exiting with status 1")) << daemon.Output();
  EXPECT_EQ(daemon.Stop(0), 1);
  const std::string out = daemon.Output();
  EXPECT_NE(out.find("Exiting with error: "), std::string::npos) << out;
}

TEST(DaemonTest, UnknownFirewallBackendEndsStartUpWithStatusOne) {
  TempDir dir;
  Daemon daemon(dir, WriteConfig(dir, "", "nftables"));
  ASSERT_TRUE(daemon.WaitForOutput("Exiting with status 1")) << daemon.Output();
  EXPECT_EQ(daemon.Stop(0), 1);
  const std::string out = daemon.Output();
  const size_t at = out.find("Unknown firewall backend 'nftables'. Exiting.\n");
  ASSERT_NE(at, std::string::npos) << out;
  const size_t lineStart = out.rfind('\n', at) + 1;  // npos + 1 is 0: the first line
  EXPECT_NE(out.substr(lineStart, at - lineStart).find(" 2 ["), std::string::npos) << out;
  EXPECT_EQ(out.find("Start-up complete"), std::string::npos) << out;
}

}  // namespace
