// The daemon's HTTP endpoint on real sockets: the loopback addresses, calls served through the
// daemon's pipeline, and stop and destruction with the I/O tasks running on a thread pool.
// Listening per address family is the transport's and is tested there; that no other address
// answers, the integration tests show from another network namespace.
#include "api_fixture.h"
#include "mirel/endpoint.h"

#include <test_net.h>

namespace {

using namespace ZyldTest;
using boost::asio::ip::tcp;
using TestSupport::BodyOf;
using TestSupport::CanConnect;
using TestSupport::FreeLoopbackPort;
using TestSupport::PostOnce;
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

TEST_F(EndpointTest, ListensOnTheLoopbackAddressesAndServesThePipeline) {
  const uint16_t port = FreeLoopbackPort();
  auto endpoint = Make(port);
  ASSERT_TRUE(endpoint->Start());
  ASSERT_TRUE(endpoint->Server().LocalEndpoint4());
  ASSERT_TRUE(endpoint->Server().LocalEndpoint6());
  EXPECT_EQ(*endpoint->Server().LocalEndpoint4(), Loopback4(port));
  EXPECT_EQ(*endpoint->Server().LocalEndpoint6(), Loopback6(port));

  const std::string token = SignToken(AttestationClaims(), Attestation().key);
  const std::string call =
      R"({"jsonrpc":"2.0","id":3,"method":"com.velora.ovik.kms.key_operation.generate_key","params":{"provider":"prov1","keySize":16}})";
  for (const auto& to : {Loopback4(port), Loopback6(port)}) {
    const std::string response = PostOnce(to, call, token);
    EXPECT_EQ(response.rfind("HTTP/1.1 200", 0), 0u) << response;
    const auto answer = boost::json::parse(BodyOf(response)).as_object();
    EXPECT_EQ(answer.at("id").as_int64(), 3);
    EXPECT_EQ(answer.at("result").at("wrappedKey").as_string(), "wrapped-by-s1");
  }

  // The daemon's shutdown order: stop, destroy the endpoint (returns once the I/O tasks have
  // ended), destroy the I/O context.
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

TEST(EndpointConfigTest, IoTasksLeaveTwoWorkersFreeWithinTheirBounds) {
  EXPECT_EQ(Endpoint::IoTasksFor(10), 5);
  EXPECT_EQ(Endpoint::IoTasksFor(6), 4);
  EXPECT_EQ(Endpoint::IoTasksFor(1), 1);
}

TEST(EndpointConfigTest, ConnectionCapLeavesTheReservedDescriptors) {
  using Zyld::ZylApi::ConnectionCapFor;
  using Zyld::ZylApi::kReservedDescriptors;
  EXPECT_EQ(ConnectionCapFor(1024, 1024), 1024 - kReservedDescriptors);
  EXPECT_EQ(ConnectionCapFor(1024, 1'048'576), 1024u);
  EXPECT_EQ(ConnectionCapFor(1024, kReservedDescriptors), 1u);
}

}  // namespace
