// The daemon's HTTP endpoint on real sockets: stop and destruction with the I/O tasks running on a
// thread pool. Listening and serving per address family is the transport's and is tested there;
// that the daemon answers on loopback only, the integration tests show from another namespace.
#include "api_fixture.h"
#include "mirel/endpoint.h"

#include <test_net.h>

namespace {

using namespace ZyldTest;
using boost::asio::ip::tcp;
using TestSupport::CanConnect;
using TestSupport::FreeLoopbackPort;
using Zyld::ZylApi::Endpoint;

namespace asio = boost::asio;

tcp::endpoint Loopback4(uint16_t port) { return {asio::ip::address_v4::loopback(), port}; }
tcp::endpoint Loopback6(uint16_t port) { return {asio::ip::address_v6::loopback(), port}; }

class EndpointTest : public ApiTest {
 protected:
  std::unique_ptr<Endpoint> Make(uint16_t port) {
    return std::make_unique<Endpoint>(port, io_.get(), provider_, Zyld::ZylApi::MakeLocalizer(),
                                      logBridge_, &ioPool_);
  }

  Quorex::Service::ThreadPool ioPool_{1, 10};
  std::unique_ptr<asio::io_context> io_ = std::make_unique<asio::io_context>();
};

// The daemon's shutdown order: stop, destroy the endpoint (returns once the I/O tasks have ended),
// destroy the I/O context; the port is closed on both addresses.
TEST_F(EndpointTest, ShutdownInTheDaemonsOrderClosesThePort) {
  const uint16_t port = FreeLoopbackPort();
  auto endpoint = Make(port);
  ASSERT_TRUE(endpoint->Start());
  EXPECT_TRUE(CanConnect(Loopback4(port)));
  EXPECT_TRUE(CanConnect(Loopback6(port)));
  endpoint->Stop();
  endpoint.reset();
  io_.reset();
  EXPECT_FALSE(CanConnect(Loopback4(port)));
  EXPECT_FALSE(CanConnect(Loopback6(port)));
}

TEST_F(EndpointTest, DestructionStopsIoTasksThatStillRun) {
  auto endpoint = Make(FreeLoopbackPort());
  ASSERT_TRUE(endpoint->Start());
  endpoint.reset();
  EXPECT_TRUE(io_->stopped());
}

TEST(EndpointConfigTest, ConnectionCapLeavesTheReservedDescriptors) {
  using Zyld::ZylApi::ConnectionCapFor;
  using Zyld::ZylApi::kReservedDescriptors;
  EXPECT_EQ(ConnectionCapFor(1024, 1024), 1024 - kReservedDescriptors);
  EXPECT_EQ(ConnectionCapFor(1024, 1'048'576), 1024u);
  EXPECT_EQ(ConnectionCapFor(1024, kReservedDescriptors), 1u);
}

}  // namespace
