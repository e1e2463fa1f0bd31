// One POST of a JSON-RPC body to /api on its own connection ("Connection: close"), for tests of
// the daemon over a real socket.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <string>

namespace ZyldTest {

// The whole response as received until the server closed the connection.
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
  if (!token.empty()) {
    request += "Authorization: Bearer " + token + "\r\n";
  }
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

}  // namespace ZyldTest
