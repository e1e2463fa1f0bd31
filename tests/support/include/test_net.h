// Loopback helpers for tests that run servers on real sockets: a port free on both loopback
// addresses, a connect probe, and one JSON-RPC POST on its own connection.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace TestSupport {

// A port free on 127.0.0.1 and on [::1] right now (another process may take it later).
inline uint16_t FreeLoopbackPort() {
  namespace asio = boost::asio;
  using asio::ip::tcp;
  constexpr int kAttempts = 20;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    asio::io_context io;
    tcp::acceptor v4(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    const uint16_t port = v4.local_endpoint().port();
    boost::system::error_code ec;
    tcp::acceptor v6(io);
    v6.open(tcp::v6(), ec);
    if (!ec) v6.set_option(asio::ip::v6_only(true), ec);
    if (!ec) v6.bind(tcp::endpoint(asio::ip::address_v6::loopback(), port), ec);
    if (!ec) return port;
  }
  throw std::runtime_error("no port is free on both loopback addresses");
}

// True when a TCP connection to `to` is accepted.
inline bool CanConnect(const boost::asio::ip::tcp::endpoint& to) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  boost::system::error_code ec;
  socket.connect(to, ec);
  return !ec;
}

// One POST of `body` to /api with "Connection: close"; the whole response (head and body) as
// received until the server closed the connection.
inline std::string PostOnce(const boost::asio::ip::tcp::endpoint& to, const std::string& body,
                            const std::string& token = "") {
  namespace asio = boost::asio;
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  socket.connect(to);
  std::string request =
      "POST /api HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
      "Connection: close\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n";
  if (!token.empty()) request += "Authorization: Bearer " + token + "\r\n";
  request += "\r\n" + body;
  asio::write(socket, asio::buffer(request));
  std::string response;
  boost::system::error_code ec;
  asio::read(socket, asio::dynamic_buffer(response), ec);
  return response;
}

// The body of a response; empty when it has none.
inline std::string BodyOf(const std::string& response) {
  const size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : response.substr(at + 4);
}

}  // namespace TestSupport
