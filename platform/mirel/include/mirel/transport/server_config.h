// Configuration of the HTTP API server: where it listens, its time-outs and limits, how answers
// are rendered and which headers an error answer carries. ToString gives the one-line printed
// form the server logs; DurationToString the duration form used in it ("20 minutes",
// "1 minutes and 1 seconds", "500 milliseconds").
#pragma once

#include <mirel/provider.h>

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Mirel::Transport::PicoHttp {

using RenderFunction = std::function<std::string(const Message&)>;
// Adds the response headers that an error answer carries.
using ErrorHeaderExtractor = std::function<void(const ErrorValue&, Headers& out)>;

// The "mirel-error: <error type>" header.
ErrorHeaderExtractor MirelErrorHeaderExtractor();

struct ProtocolHandlerSpec {
  RenderFunction localizer;  // message text; unset: the message's defaultMessage
  size_t sizeLimit = 2'500'000;
  // Unset: the mirel-error header alone.
  std::optional<std::vector<ErrorHeaderExtractor>> extractors;
};

// Sets TCP_NODELAY on an accepted socket.
void SetNoDelay(boost::asio::ip::tcp::socket& socket);

struct ServerConfig {
  bool explicitEndpoints = true;  // false: the wildcard address of each family with `port`
  uint16_t port = 0;
  boost::asio::ip::tcp::endpoint endpoint4;
  boost::asio::ip::tcp::endpoint endpoint6;
  std::chrono::nanoseconds readTimeout = std::chrono::seconds(1200);
  std::chrono::nanoseconds writeTimeout = std::chrono::seconds(1800);
  uint64_t httpBodySizeLimitInBytes = 2'500'000;
  ProtocolHandlerSpec protocolHandlerSpec;
  std::function<void(boost::asio::ip::tcp::socket&)> streamTuner = SetNoDelay;

  // Limits of a request head and of the connections, beyond the printed form.
  // A request head must arrive within headTimeout of its first byte, and a new connection must
  // send its first head within headTimeout; a persistent connection waits for the first byte of
  // its next request up to keepAliveTimeout. Every read waits at most readTimeout.
  std::chrono::nanoseconds headTimeout = std::chrono::seconds(30);
  std::chrono::nanoseconds keepAliveTimeout = std::chrono::seconds(60);
  // A request body must arrive within bodyTimeout of the end of its head.
  std::chrono::nanoseconds bodyTimeout = std::chrono::seconds(30);
  size_t maxHeadBytes = 64 * 1024;
  size_t maxHeaders = 100;
  // At the cap, the connection idle the longest (waiting for a request's first byte) is closed to
  // admit a new one; with none idle the new connection is accepted and closed at once.
  size_t maxConnections = 1024;
  // Input buffered by all connections together (read buffers and chunked bodies). A request that
  // needs more is answered 503 and its connection closed; each connection's first 16 KiB of read
  // buffer is always granted (the connection cap bounds them).
  size_t maxBufferedBytes = 64 * 1024 * 1024;
};

std::string DurationToString(std::chrono::nanoseconds duration);
std::string EndpointToString(const boost::asio::ip::tcp::endpoint& endpoint);
std::string ToString(const ServerConfig& config);

}  // namespace Mirel::Transport::PicoHttp
