// What one local caller can take from others: connection slots held by idle connections, the
// time a connection may stay idle or trickle a body, and buffer memory.
#include "transport_fixture.h"

#include <test_wait.h>

#include <chrono>

namespace MirelTransportTest {
namespace {

using namespace std::chrono_literals;

using TestSupport::Eventually;

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

}  // namespace
}  // namespace MirelTransportTest
