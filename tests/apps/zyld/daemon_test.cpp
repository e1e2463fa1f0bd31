// The real daemon binary: start-up lines, exit by SIGTERM or SIGINT, and start-up faults. Runs
// without a usable configuration file happen in a private mount namespace with an empty /var/lib
// and /var/log, so that the default store and audit paths do not touch the host.
#include "provider_fixture.h"
#include "stack.h"

#include <test_net.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>

#ifndef ZYL_MIREL_METADATA
#error "ZYL_MIREL_METADATA must name the generated API metadata file"
#endif

namespace {

using namespace ZyldTest;
using namespace std::chrono_literals;
using ZyldIt::DaemonProcess;

// Generous bounds that only catch hangs.
constexpr auto kStartBound = 30s;
constexpr auto kExitBound = 20s;

// The daemon with its output in dir/daemon.out; with privateVarLib, on default paths only: a
// private /var/lib and /var/log, the metadata file at its installed place and a network namespace
// of its own so that the default port is free.
class Daemon : public DaemonProcess {
 public:
  Daemon(const TempDir& dir, const std::string& configPath, bool privateVarLib = false)
      : DaemonProcess(privateVarLib ? Unshared() : std::vector<std::string>{}, configPath,
                      dir.File("daemon.out")),
        output_(dir.File("daemon.out")) {}

  std::string Output() const { return ReadFile(output_); }
  bool WaitForOutput(const std::string& needle) { return WaitForLog(needle, kStartBound); }
  // Sends the signal and waits for the exit; the exit status, or -1 for a hang or a crash.
  int Stop(int signal = SIGTERM) {
    kill(Pid(), signal);
    return WaitExit(kExitBound).value_or(-1);
  }

 private:
  static std::vector<std::string> Unshared() {
    return {"unshare", "-mn", "sh", "-c",
            std::string("mkdir -p /usr/lib/velora && mount -t tmpfs tmpfs /var/lib && "
                        "mount -t tmpfs tmpfs /var/log && "
                        "mount -t tmpfs tmpfs /usr/lib/velora && mkdir /usr/lib/velora/mirel && "
                        "cp ") +
                ZYL_MIREL_METADATA + " /usr/lib/velora/mirel/ && ip link set lo up && exec \"$0\""};
  }

  std::string output_;
};

std::string WriteConfig(const TempDir& dir) {
  return ZyldIt::WriteConfig(dir.Path(), TestSupport::FreeLoopbackPort());
}

bool PrivateMountsWork() {
  return std::system(
             "unshare -mn sh -c 'mount -t tmpfs tmpfs /var/lib && ip link set lo up' >/dev/null "
             "2>&1") == 0;
}

// The start-up lines in their order and the exit with status zero, on SIGTERM and on SIGINT; the
// audit file's missing directories are created owner-only.
TEST(DaemonTest, StartsInOrderAndExitsWithZeroOnSigtermOrSigint) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    TempDir dir;
    // A stored provider is restored at start-up.
    OvikConfigStore::ConfigStore::Configure(dir.File("store/ovik.db"));
    ASSERT_EQ(WriteProvider({.id = "seeded", .servers = {{"s1", "127.0.0.1", 1}}}), PC::Success);
    OvikConfigStore::ConfigStore::Configure(":memory:");
    const std::string config = WriteConfig(dir);
    std::string xml = ReadFile(config);
    const std::string audit = "/audit.log";
    xml.replace(xml.find(audit), audit.size(), "/audit/zyld/audit.log");
    WriteFile(config, xml);

    Daemon daemon(dir, config);
    ASSERT_TRUE(daemon.WaitForOutput("Start-up complete")) << daemon.Output();
    EXPECT_EQ(daemon.Stop(signal), 0) << daemon.Output();
    const std::string out = daemon.Output();
    EXPECT_EQ(out.find("Initializing quorex failed"), std::string::npos) << out;
    // The start-up lines in their order, and the firewall closed after the exit line.
    size_t from = 0;
    for (const char* line :
         {"Restoring configuration key providers instance seeded",
          "Restoring configuration key zyld_config", "ruleset ironveil-zyld enabled",
          "admits host 127.0.0.1", "Stats logging interval = 300s", "Start-up complete",
          "Exiting with status 0", "released host 127.0.0.1", "ruleset ironveil-zyld disabled"}) {
      const size_t at = out.find(line, from);
      ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << out;
      from = at;
    }
    struct stat st {};
    ASSERT_EQ(::stat(dir.File("audit/zyld").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(::stat(dir.File("audit/zyld/audit.log").c_str(), &st), 0);
  }
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

// Start-up faults end the process with status one before it serves: a store that cannot be
// opened, an audit file that cannot be opened, an unknown firewall backend (logged as a failure),
// and a port that neither loopback address can listen on.
TEST(DaemonTest, StartUpFaultsEndWithStatusOne) {
  namespace asio = boost::asio;
  using asio::ip::tcp;
  struct Case {
    const char* fault;
    const char* firewall;
    const char* reason;
  };
  const Case cases[] = {
      {"store", "none", "Exiting with error: "},
      {"audit", "none", "/audit.log: Is a directory. Exiting.\n"},
      {"firewall", "iptables", "Unknown firewall backend 'iptables'. Exiting.\n"},
      {"endpoint", "none", "HTTP endpoint failed to start. Exiting."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string fault = c.fault;
    TempDir dir;
    if (fault == "store") WriteFile(dir.File("store"), "a file where the store directory is");
    if (fault == "audit") ::mkdir(dir.File("audit.log").c_str(), 0700);
    const uint16_t port = TestSupport::FreeLoopbackPort();
    asio::io_context io;
    tcp::acceptor v4(io), v6(io);
    if (fault == "endpoint") {
      v4 = tcp::acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), port));
      v6.open(tcp::v6());
      v6.set_option(asio::ip::v6_only(true));
      v6.bind(tcp::endpoint(asio::ip::address_v6::loopback(), port));
      v6.listen();
    }
    Daemon daemon(dir, ZyldIt::WriteConfig(dir.Path(), port, c.firewall));
    EXPECT_EQ(daemon.WaitExit(kStartBound), std::optional<int>(1)) << daemon.Output();
    const std::string out = daemon.Output();
    EXPECT_EQ(out.find("Start-up complete"), std::string::npos) << out;
    const size_t at = out.find(c.reason);
    ASSERT_NE(at, std::string::npos) << out;
    if (fault != "firewall") continue;
    const size_t lineStart = out.rfind('\n', at) + 1;  // npos + 1 is 0: the first line
    EXPECT_NE(out.substr(lineStart, at - lineStart).find(" 2 ["), std::string::npos) << out;
  }
}

}  // namespace
