// The server's listeners, connection cap, deadlines and concurrent use over real sockets.
#include "transport_fixture.h"

#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>

#include <test_net.h>
#include <test_wait.h>

namespace MirelTransportTest {
namespace {

using namespace std::chrono_literals;
using TestSupport::CanConnect;
using TestSupport::Eventually;

// While set, IPV6_V6ONLY cannot be set on any socket (see setsockopt below).
std::atomic<bool> gRefuseV6Only{false};

TEST(ServerListen, ListensOnBothLoopbackFamilies) {
  TestServer server;
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(server.server->LocalEndpoint6().has_value());
  Client v6(*server.server->LocalEndpoint6());
  v6.Send(Post(Call(1)));
  EXPECT_EQ(JsonOf(v6.Read()).at("id"), 1);
}

TEST(ServerListen, Ipv6SocketDoesNotTakeIpv4Connections) {
  ServerConfig config = LoopbackConfig();
  config.endpoint6 = tcp::endpoint(net::ip::address_v6::any(), 0);
  TestServer server(config);
  ASSERT_TRUE(server.Start());
  uint16_t port6 = server.server->LocalEndpoint6()->port();
  EXPECT_TRUE(CanConnect(tcp::endpoint(net::ip::make_address("::1"), port6)));
  EXPECT_FALSE(CanConnect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port6)));
}

// Started without its IPv6 listener, the server still answers on IPv4.
void ExpectIpv4Only(TestServer& server) {
  EXPECT_FALSE(server.server->LocalEndpoint6().has_value());
  EXPECT_TRUE(server.server->ListenError6());
  Client client(server.Endpoint4());
  client.Send(Post(Call(2)));
  EXPECT_EQ(JsonOf(client.Read()).at("id"), 2);
}

TEST(ServerListen, OneUnavailableFamilyStillStarts) {
  ServerConfig config = LoopbackConfig();
  config.endpoint6 = tcp::endpoint(net::ip::make_address("2001:db8::7"), 0);  // not on this host
  TestServer server(config);
  ASSERT_TRUE(server.Start());
  ExpectIpv4Only(server);
}

TEST(ServerListen, FamilyWhoseSetUpFailsIsSkippedLikeAListenFailure) {
  TestServer server;
  gRefuseV6Only = true;
  const bool started = server.Start();
  gRefuseV6Only = false;
  ASSERT_TRUE(started);
  ExpectIpv4Only(server);
}

TEST(ServerListen, BothEndpointsTakenFailsToStart) {
  net::io_context io;
  tcp::acceptor taken4(io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
  tcp::acceptor taken6(io, tcp::endpoint(net::ip::make_address("::1"), 0));
  ServerConfig config = LoopbackConfig();
  config.endpoint4 = taken4.local_endpoint();
  config.endpoint6 = taken6.local_endpoint();
  TestServer server(config);
  EXPECT_FALSE(server.Start());
}

TEST(ServerLimits, SilentAndTricklingClientsDoNotDelayOthers) {
  TestServer server(LoopbackConfig(), 1);  // one I/O thread: any blocking would show
  ASSERT_TRUE(server.Start());
  Client silent(server.Endpoint4());
  Client trickle(server.Endpoint4());
  trickle.Send("POST /api HTTP/1.1\r\nContent-");
  Client slowBody(server.Endpoint4());
  slowBody.Send(
      "POST /api HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{");
  Client client(server.Endpoint4());
  client.Send(Post(Call(3)));
  EXPECT_EQ(JsonOf(client.Read()).at("id"), 3);
}

TEST(ServerLimits, HeadAndReadTimeoutsCloseSilentTricklingAndStalledConnections) {
  ServerConfig config = LoopbackConfig();
  config.headTimeout = 200ms;
  config.readTimeout = 1500ms;
  TestServer server(config);
  ASSERT_TRUE(server.Start());
  Client silent(server.Endpoint4());
  EXPECT_TRUE(silent.ServerClosed());
  Client trickle(server.Endpoint4());
  trickle.Send("POST /api HTTP/1.1\r\n");
  EXPECT_TRUE(trickle.ServerClosed());
  Client stalled(server.Endpoint4());
  stalled.Send(
      "POST /api HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{");
  EXPECT_TRUE(stalled.ServerClosed());

  // A kept connection waits for its next request up to the read time-out, not the head time-out.
  Client kept(server.Endpoint4());
  kept.Send(Post(Call(1)));
  EXPECT_EQ(JsonOf(kept.Read()).at("id"), 1);
  std::this_thread::sleep_for(400ms);
  kept.Send(Post(Call(2)));
  EXPECT_EQ(JsonOf(kept.Read()).at("id"), 2);
}

TEST(ServerLimits, ConnectionsBeyondTheCapAreClosed) {
  ServerConfig config = LoopbackConfig();
  config.maxConnections = 2;
  TestServer server(config);
  ASSERT_TRUE(server.Start());
  auto first = std::make_unique<Client>(server.Endpoint4());
  Client second(server.Endpoint4());
  first->Send("POST /api HTTP/1.1\r\n");  // requests under way: not idle, so not evicted
  second.Send("POST /api HTTP/1.1\r\n");
  ASSERT_TRUE(Eventually([&] { return server.server->OpenConnections() == 2; }));
  Client third(server.Endpoint4());
  EXPECT_TRUE(third.ServerClosed());
  // Closed on admission, not by the head time-out: only a refused connection is logged.
  EXPECT_TRUE(server.logger->Contains("Connection limit reached (2)"));

  first.reset();
  ASSERT_TRUE(Eventually([&] { return server.server->OpenConnections() == 1; }));
  Client fourth(server.Endpoint4());
  fourth.Send(Post(Call(4)));
  EXPECT_EQ(JsonOf(fourth.Read()).at("id"), 4);
}

// Many clients at once on several I/O threads, the provider answering from its own thread: run
// under ThreadSanitizer as well.
TEST(ServerConcurrency, ParallelClientsWithAnswersFromAnotherThread) {
  TestServer server(LoopbackConfig(), 4);
  server.provider->CompleteOnWorker();
  ASSERT_TRUE(server.Start());
  constexpr int kClients = 8;
  constexpr int kRequests = 40;
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      Client client(server.Endpoint4());
      for (int r = 0; r < kRequests; ++r) {
        int id = c * 1000 + r;
        std::string accept = r % 2 ? "Accept: application/vnd.velora.mirel.stream.json\r\n" : "";
        client.Send(Post(Call(id), accept));
        if (JsonOf(client.Read()).at("id") == id) ++answered;
      }
    });
  }
  for (auto& thread : clients) thread.join();
  EXPECT_EQ(answered.load(), kClients * kRequests);
}

}  // namespace
}  // namespace MirelTransportTest

// Interposes the C library's setsockopt for this test program, to make IPV6_V6ONLY fail on demand.
extern "C" int setsockopt(int fd, int level, int name, const void* value,
                          socklen_t length) noexcept {
  using Real = int (*)(int, int, int, const void*, socklen_t);
  static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "setsockopt"));
  if (MirelTransportTest::gRefuseV6Only && level == IPPROTO_IPV6 && name == IPV6_V6ONLY) {
    errno = ENOPROTOOPT;
    return -1;
  }
  return real(fd, level, name, value, length);
}
