// The server's listeners, connection cap and admission, deadlines, buffers and concurrent use over
// real sockets.
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

// The IPv6 listener serves IPv6 only, also when bound to the wildcard address.
TEST(ServerListen, Ipv6ListenerServesNoIpv4Connections) {
  TestServer server(LoopbackConfig(
      [](ServerConfig& c) { c.endpoint6 = tcp::endpoint(net::ip::address_v6::any(), 0); }));
  ASSERT_TRUE(server.Start());
  uint16_t port6 = server.server->LocalEndpoint6()->port();
  Client v6(tcp::endpoint(net::ip::make_address("::1"), port6));
  EXPECT_EQ(v6.Ask(1).at("id"), 1);
  EXPECT_FALSE(CanConnect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port6)));
}

// Started without its IPv6 listener, the server still answers on IPv4.
void ExpectIpv4Only(TestServer& server) {
  EXPECT_FALSE(server.server->LocalEndpoint6().has_value());
  EXPECT_TRUE(server.server->ListenError6());
  Client client(server.Endpoint4());
  EXPECT_EQ(client.Ask(2).at("id"), 2);
}

TEST(ServerListen, OneUnavailableFamilyStillStarts) {
  TestServer server(LoopbackConfig([](ServerConfig& c) {
    c.endpoint6 = tcp::endpoint(net::ip::make_address("2001:db8::7"), 0);  // not on this host
  }));
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
  TestServer server(LoopbackConfig([&](ServerConfig& c) {
    c.endpoint4 = taken4.local_endpoint();
    c.endpoint6 = taken6.local_endpoint();
  }));
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
  EXPECT_EQ(client.Ask(3).at("id"), 3);
}

TEST(ServerLimits, HeadAndReadTimeoutsCloseSilentTricklingAndStalledConnections) {
  TestServer server(LoopbackConfig([](ServerConfig& c) {
    c.headTimeout = 200ms;
    c.readTimeout = 1500ms;
  }));
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
  EXPECT_EQ(kept.Ask(1).at("id"), 1);
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(kept.Ask(2).at("id"), 2);
}

TEST(ServerLimits, ConnectionsBeyondTheCapAreClosed) {
  TestServer server(LoopbackConfig([](ServerConfig& c) { c.maxConnections = 2; }));
  ASSERT_TRUE(server.Start());
  auto first = std::make_unique<Client>(server.Endpoint4());
  Client second(server.Endpoint4());
  first->Send("POST /api HTTP/1.1\r\n");  // requests under way: not idle, so not evicted
  second.Send("POST /api HTTP/1.1\r\n");
  // Until the server has read the heads' start, the two count as idle.
  ASSERT_TRUE(Eventually([&] {
    return server.server->OpenConnections() == 2 && server.server->IdleConnections() == 0;
  }));
  Client third(server.Endpoint4());
  EXPECT_TRUE(third.ServerClosed());
  // Closed on admission, not by the head time-out: only a refused connection is logged.
  EXPECT_TRUE(server.logger->Contains("Connection limit reached (2)"));

  first.reset();
  ASSERT_TRUE(Eventually([&] { return server.server->OpenConnections() == 1; }));
  Client fourth(server.Endpoint4());
  EXPECT_EQ(fourth.Ask(4).at("id"), 4);
}

// What one local caller can take from others: connection slots held by idle connections, the
// time a connection may stay idle or trickle a body, and buffer memory.
TEST(ServerAdmission, AtTheCapTheOldestIdleConnectionMakesRoom) {
  TestServer server(LoopbackConfig([](ServerConfig& c) { c.maxConnections = 3; }));
  ASSERT_TRUE(server.Start());
  // Each step settles on the server before the next, so the idle order is certain.
  const auto settled = [&](size_t open, size_t idle) {
    return Eventually([&] {
      return server.server->OpenConnections() == open && server.server->IdleConnections() == idle;
    });
  };
  Client oldest(server.Endpoint4());
  EXPECT_EQ(oldest.Ask(1).at("id"), 1);
  ASSERT_TRUE(settled(1, 1));
  Client midRequest(server.Endpoint4());
  midRequest.Send("POST /api HTTP/1.1\r\nContent-Type: application/json\r\n");
  ASSERT_TRUE(settled(2, 1));
  Client newer(server.Endpoint4());
  EXPECT_EQ(newer.Ask(2).at("id"), 2);
  ASSERT_TRUE(settled(3, 2));

  Client arriving(server.Endpoint4());
  EXPECT_TRUE(oldest.ServerClosed());
  EXPECT_EQ(arriving.Ask(3).at("id"), 3);
  std::string body = Call(4);
  midRequest.Send("Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(JsonOf(midRequest.Read()).at("id"), 4);
  EXPECT_EQ(newer.Ask(5).at("id"), 5);
}

TEST(ServerAdmission, KeepAliveTimeoutClosesAnIdleConnection) {
  TestServer server(LoopbackConfig([](ServerConfig& c) { c.keepAliveTimeout = 200ms; }));
  ASSERT_TRUE(server.Start());
  Client client(server.Endpoint4());
  EXPECT_EQ(client.Ask(1).at("id"), 1);
  EXPECT_TRUE(client.ServerClosed());
}

std::string HeadAnnouncing(size_t contentLength) {
  return "POST /api HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(contentLength) + "\r\n\r\n";
}

TEST(ServerBuffers, ABodyIsBufferedAsItArrivesNotAsAnnounced) {
  TestServer server;
  ASSERT_TRUE(server.Start());
  constexpr size_t kArrived = 40 * 1024;
  Client client(server.Endpoint4());
  client.Send(HeadAnnouncing(2'000'000) + std::string(kArrived, ' '));
  ASSERT_TRUE(Eventually([&] { return server.server->BufferedBytes() >= kArrived; }));
  EXPECT_LE(server.server->BufferedBytes(), 2 * kArrived);
}

TEST(ServerBuffers, RequestBeyondTheServersBufferedBytesIsAnswered503) {
  TestServer server(LoopbackConfig([](ServerConfig& c) { c.maxBufferedBytes = 64 * 1024; }));
  ASSERT_TRUE(server.Start());
  Client client(server.Endpoint4());
  client.Send(HeadAnnouncing(200'000) + std::string(100'000, ' '));
  auto response = client.Read();
  EXPECT_EQ(response.result_int(), 503);
  EXPECT_EQ(response[http::field::connection], "close");
  EXPECT_TRUE(server.logger->Contains("Buffered input limit reached (65536 bytes)"));
}

TEST(ServerBuffers, TricklingBodyIsCutAtTheBodyDeadline) {
  TestServer server(LoopbackConfig([](ServerConfig& c) { c.bodyTimeout = 300ms; }));
  ASSERT_TRUE(server.Start());
  Client client(server.Endpoint4());
  client.Send(HeadAnnouncing(1000));
  boost::system::error_code ec;
  for (int i = 0; i < 100 && !ec; ++i) {  // one byte every 50 ms, 5 s at most
    net::write(client.Socket(), net::buffer(" ", 1), ec);
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(ec) << "the connection was still open after 5 s";
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
        if (client.Ask(id, accept).at("id") == id) ++answered;
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
