// Where the daemon listens, as seen by a real process: loopback only, checked from another network
// namespace. The daemon runs without a key server.
#include "rpc.h"
#include "stack.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace ZyldIt {
namespace {

constexpr auto kStartBound = std::chrono::seconds(20);
const char* const kListening = "HTTP endpoint listening on TCP port";

// Two private network namespaces joined by a veth pair: the daemon runs in the first; loopback
// there answers, while its veth addresses refuse connections, from either namespace. A refusal
// (not a time-out) shows the address itself is reachable.
class EndpointNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir("zyld-it-endpoint");
    ASSERT_FALSE(dir_.empty());
    log_ = dir_ + "/zyld.log";
    const std::string id = std::to_string(::getpid());
    nsA_ = "zyldit-a-" + id;
    nsB_ = "zyldit-b-" + id;
    if (Ip({"netns", "add", nsA_}) != 0) GTEST_SKIP() << "`ip netns add` is not permitted here";
    ASSERT_EQ(Ip({"netns", "add", nsB_}), 0);
    const std::string vethA = "zia" + id, vethB = "zib" + id;
    ASSERT_EQ(Ip({"link", "add", vethA, "netns", nsA_, "type", "veth", "peer", "name", vethB,
                  "netns", nsB_}),
              0);
    for (const auto& [ns, dev, v4, v6] :
         {std::tuple{nsA_, vethA, "10.231.0.1/24", "fd31:231::1/64"},
          std::tuple{nsB_, vethB, "10.231.0.2/24", "fd31:231::2/64"}}) {
      ASSERT_EQ(Ip({"-n", ns, "addr", "add", v4, "dev", dev}), 0);
      ASSERT_EQ(Ip({"-n", ns, "addr", "add", v6, "dev", dev, "nodad"}), 0);
      ASSERT_EQ(Ip({"-n", ns, "link", "set", dev, "up"}), 0);
      ASSERT_EQ(Ip({"-n", ns, "link", "set", "lo", "up"}), 0);
    }
  }
  void TearDown() override {
    for (const std::string& ns : {nsA_, nsB_}) {
      if (!ns.empty()) Ip({"netns", "del", ns});
    }
    if (std::getenv("ZYLD_IT_KEEP") == nullptr) std::filesystem::remove_all(dir_);
  }
  std::string Log() const { return ReadFile(log_); }
  static int Ip(std::vector<std::string> args) {
    args.insert(args.begin(), "ip");
    return RunCommand(args);
  }
  // curl's exit status for one call from namespace ns to url (0 served, 7 refused).
  static int CurlFrom(const std::string& ns, const std::string& url, std::string* out = nullptr) {
    return RunCommand({"ip", "netns", "exec", ns, "curl", "-sS", "-g", "--max-time", "10", "-H",
                       "Content-Type: application/json", "-d", RpcBody(kProviderGet), url},
                      out);
  }

  std::string dir_, log_, nsA_, nsB_;
};

TEST_F(EndpointNetns, AnswersOnLoopbackOnly) {
  constexpr uint16_t kPort = 7888;  // the namespace is private: the default port is free there
  DaemonProcess daemon({"ip", "netns", "exec", nsA_}, WriteConfig(dir_, kPort), log_);
  ASSERT_TRUE(daemon.WaitForLog(kListening, kStartBound)) << Log();
  for (const char* url : {"http://127.0.0.1:7888/api", "http://[::1]:7888/api"}) {
    std::string out;
    EXPECT_EQ(CurlFrom(nsA_, url, &out), 0) << url;
    EXPECT_TRUE(ResultOf(ParseJson(out)).is_object()) << url << ": " << out;
  }
  for (const std::string& ns : {nsB_, nsA_}) {
    for (const char* url : {"http://10.231.0.1:7888/api", "http://[fd31:231::1]:7888/api"}) {
      EXPECT_EQ(CurlFrom(ns, url), 7)
          << "from " << ns << " to " << url << " (7: connection refused)";
    }
  }
}

}  // namespace
}  // namespace ZyldIt
