// The daemon binary served over HTTP: start-up with its metadata file, calls and their audit
// records, exit by SIGTERM, a port taken on both loopback addresses, a missing metadata file.
#include "api_fixture.h"
#include "http_post.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#ifndef ZYLD_BINARY
#error "ZYLD_BINARY must name the daemon executable"
#endif

namespace {

using namespace ZyldTest;
using namespace std::chrono_literals;
namespace asio = boost::asio;
using asio::ip::tcp;

// Generous bounds that only catch hangs.
constexpr auto kBound = 30s;

uint16_t FreePort() {
  asio::io_context io;
  tcp::acceptor probe(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  return probe.local_endpoint().port();
}

class Daemon {
 public:
  Daemon(const std::string& config, const std::string& output) : output_(output) {
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      dup2(fd, 2);
      setenv("ZYLD_CONFIG", config.c_str(), 1);
      execl(ZYLD_BINARY, ZYLD_BINARY, static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Daemon() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  std::string Output() const { return ReadFile(output_); }
  bool WaitForOutput(const std::string& needle) const {
    for (auto end = std::chrono::steady_clock::now() + kBound;
         std::chrono::steady_clock::now() < end;) {
      if (Output().find(needle) != std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  // The wait status once the process has ended (nullopt if it did not within the bound).
  std::optional<int> Wait() {
    for (auto end = std::chrono::steady_clock::now() + kBound;
         !status_ && std::chrono::steady_clock::now() < end;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
      } else {
        std::this_thread::sleep_for(20ms);
      }
    }
    return status_;
  }
  void Signal(int sig) const { kill(pid_, sig); }

 private:
  std::string output_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// The body of the answer to one POST to the daemon on 127.0.0.1:port.
std::string Post(uint16_t port, const std::string& body, const std::string& token = "") {
  return BodyOf(PostOnce({asio::ip::address_v4::loopback(), port}, body, token));
}

class DaemonApiTest : public StoreTest {
 protected:
  static void SetUpTestSuite() { attestation_ = std::make_unique<Identity>(NewIdentity()); }
  static void TearDownTestSuite() { attestation_.reset(); }

  void SetUp() override {
    StoreTest::SetUp();
    StoreCertificate("attestation", attestation_->cert);
    port_ = FreePort();
  }

  std::string Config(const std::string& metadataPath) const {
    const std::string path = dir_.File("config.xml");
    WriteFile(path,
              "<config><log><level>info</level></log>"
              "<configStore><path>" +
                  dbPath_ +
                  "</path></configStore>"
                  "<audit><path>" +
                  dir_.File("audit.log") +
                  "</path></audit>"
                  "<firewall><backend>none</backend></firewall>"
                  "<endpoint><port>" +
                  std::to_string(port_) +
                  "</port></endpoint>"
                  "<metadata><path>" +
                  metadataPath + "</path></metadata></config>\n");
    return path;
  }

  static std::unique_ptr<Identity> attestation_;
  uint16_t port_ = 0;
};

std::unique_ptr<Identity> DaemonApiTest::attestation_;

TEST_F(DaemonApiTest, ServesCallsAuditsThemAndExitsOnSigterm) {
  Daemon daemon(Config(ZYL_MIREL_METADATA), dir_.File("out.log"));
  ASSERT_TRUE(daemon.WaitForOutput("HTTP endpoint listening on TCP port " + std::to_string(port_)))
      << daemon.Output();

  const auto provider = boost::json::parse(Post(
      port_,
      R"({"jsonrpc":"2.0","id":1,"method":"com.velora.mirel.std.introspection.provider.get"})"));
  EXPECT_TRUE(provider.at("result").as_object().contains("checksum")) << provider;
  const std::string generate =
      R"({"jsonrpc":"2.0","id":2,"method":"com.velora.ovik.kms.key_operation.generate_key","params":{"provider":"absent","keySize":32}})";
  const auto anonymous = boost::json::parse(Post(port_, generate));
  EXPECT_EQ(anonymous.at("error").at("data").at("type").as_string(), kUnauthenticated) << anonymous;
  const std::string token = SignToken(AttestationClaims(), attestation_->key);
  const auto attested = boost::json::parse(Post(port_, generate, token));
  // Past authentication and authorisation: the service itself answers about the provider.
  EXPECT_EQ(attested.at("error").at("data").at("type").as_string(),
            "com.velora.mirel.std.errors.not_found")
      << attested;

  daemon.Signal(SIGTERM);
  const auto status = daemon.Wait();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << daemon.Output();
  EXPECT_NE(daemon.Output().find("Exiting with status 0"), std::string::npos);

  const auto records = ReadAuditRecords(dir_.File("audit.log"));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].at("subject").as_string(), "");
  EXPECT_EQ(records[2].at("subject").as_string(), "<ATTEST>");
  EXPECT_EQ(ReadFile(dir_.File("audit.log")).find(token), std::string::npos);
}

TEST_F(DaemonApiTest, PortTakenOnBothLoopbackAddressesExitsWithStatusOne) {
  asio::io_context io;
  tcp::acceptor v4(io, tcp::endpoint(asio::ip::address_v4::loopback(), port_));
  tcp::acceptor v6(io);
  v6.open(tcp::v6());
  v6.set_option(asio::ip::v6_only(true));
  v6.bind({asio::ip::address_v6::loopback(), port_});
  v6.listen();
  Daemon daemon(Config(ZYL_MIREL_METADATA), dir_.File("out.log"));
  const auto status = daemon.Wait();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << daemon.Output();
  EXPECT_NE(daemon.Output().find("HTTP endpoint failed to start. Exiting."), std::string::npos);
}

TEST_F(DaemonApiTest, DoesNotStartWithoutItsMetadataFile) {
  Daemon daemon(Config(dir_.File("absent.json")), dir_.File("out.log"));
  const auto status = daemon.Wait();
  ASSERT_TRUE(status);
  EXPECT_FALSE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_NE(daemon.Output().find("Error loading file: "), std::string::npos) << daemon.Output();
  EXPECT_EQ(daemon.Output().find("HTTP endpoint listening"), std::string::npos);
}

}  // namespace
