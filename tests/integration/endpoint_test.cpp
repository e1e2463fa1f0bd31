// Where the daemon listens: loopback only (checked from another network namespace), one address
// family is enough, none is a start-up failure. Each case starts its own daemon (no key server).
#include "rpc.h"
#include "stack.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

// A socket bound (optionally listening) on a loopback address; closed on destruction.
class HeldPort {
 public:
  HeldPort(bool v6, uint16_t port, bool listen) {
    fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int rc;
    if (v6) {
      const int one = 1;
      ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(port);
      a.sin6_addr = in6addr_loopback;
      rc = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(port);
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      rc = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ok_ = rc == 0 && (!listen || ::listen(fd_, 4) == 0);
  }
  ~HeldPort() { ::close(fd_); }
  bool Ok() const { return ok_; }
  uint16_t Port() const {
    sockaddr_storage s{};
    socklen_t n = sizeof s;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&s), &n);
    return ntohs(s.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&s)->sin_port
                                        : reinterpret_cast<sockaddr_in6*>(&s)->sin6_port);
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

// A port free on both loopback addresses right now.
uint16_t FreePort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    HeldPort v4(false, 0, false);
    if (HeldPort(true, v4.Port(), false).Ok()) return v4.Port();
  }
  return 0;
}

class Endpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir("zyld-it-endpoint");
    ASSERT_FALSE(dir_.empty());
    log_ = dir_ + "/zyld.log";
  }
  void TearDown() override {
    if (std::getenv("ZYLD_IT_KEEP") == nullptr) std::filesystem::remove_all(dir_);
  }
  std::string Log() const { return ReadFile(log_); }
  bool Served(uint16_t port, Family family) {
    Connection c(port, family);
    if (!c.Ok() || !c.Send(PostRequest(RpcBody(kProviderGet)))) return false;
    auto r = c.ReadResponse();
    return r && ResultOf(ParseJson(r->body)).is_object();
  }

  std::string dir_;
  std::string log_;
};

TEST_F(Endpoint, ExitsWithStatusOneWhenNeitherFamilyCanListen) {
  const uint16_t port = FreePort();
  HeldPort v4(false, port, true), v6(true, port, true);
  ASSERT_TRUE(v4.Ok() && v6.Ok());
  DaemonProcess daemon({}, WriteConfig(dir_, port), log_);
  EXPECT_EQ(daemon.WaitExit(kStartBound), std::optional<int>(1)) << Log();
  EXPECT_NE(Log().find("IPv4 Failed to listen on: 127.0.0.1:" + std::to_string(port)),
            std::string::npos)
      << Log();
  EXPECT_NE(Log().find("IPv6 Failed to listen on: [::1]:" + std::to_string(port)),
            std::string::npos)
      << Log();
  EXPECT_NE(Log().find("HTTP endpoint failed to start. Exiting."), std::string::npos) << Log();
}

// The other family's address is held by a bound socket that does not listen, so a connection to
// it is refused unless the daemon took it some other way.
TEST_F(Endpoint, ServesOnIPv6AloneWhenIPv4IsTakenAndTakesNoMappedConnections) {
  const uint16_t port = FreePort();
  HeldPort v4(false, port, false);
  ASSERT_TRUE(v4.Ok());
  DaemonProcess daemon({}, WriteConfig(dir_, port), log_);
  ASSERT_TRUE(daemon.WaitForLog(kListening, kStartBound)) << Log();
  EXPECT_NE(Log().find("IPv4 Failed to listen on: 127.0.0.1:" + std::to_string(port)),
            std::string::npos)
      << Log();
  EXPECT_TRUE(Served(port, Family::V6));
  EXPECT_FALSE(Connection(port, Family::V4).Ok());
  EXPECT_FALSE(Connection("::ffff:127.0.0.1", port).Ok())
      << "an IPv4-mapped connection reached the IPv6 socket";
}

TEST_F(Endpoint, ServesOnIPv4AloneWhenIPv6IsTaken) {
  const uint16_t port = FreePort();
  HeldPort v6(true, port, false);
  ASSERT_TRUE(v6.Ok());
  DaemonProcess daemon({}, WriteConfig(dir_, port), log_);
  ASSERT_TRUE(daemon.WaitForLog(kListening, kStartBound)) << Log();
  EXPECT_NE(Log().find("IPv6 Failed to listen on: [::1]:" + std::to_string(port)),
            std::string::npos)
      << Log();
  EXPECT_TRUE(Served(port, Family::V4));
  EXPECT_FALSE(Connection(port, Family::V6).Ok());
}

// Two private network namespaces joined by a veth pair: the daemon runs in the first; loopback
// there answers, while its veth addresses refuse connections, from either namespace. A refusal
// (not a time-out) shows the address itself is reachable.
class EndpointNetns : public Endpoint {
 protected:
  void SetUp() override {
    Endpoint::SetUp();
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
    Endpoint::TearDown();
  }
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

  std::string nsA_, nsB_;
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
