// The HTTP/1.1 JSON-RPC server: listens on an IPv4 and an IPv6 endpoint, accepts connections and
// serves each one (one request at a time, persistent unless asked otherwise) by invoking the API
// provider. It runs on the caller's io_context: Start opens the listeners and begins accepting;
// the caller runs the io_context on as many threads as it wants (each connection is serialised by
// its own strand). Destruction closes the listeners (the server must go before its io_context);
// connections end when their peers go away or the io_context is stopped. All I/O is asynchronous
// with per-connection deadlines, so a slow or silent client holds only its own connection slot.
#pragma once

#include <mirel/log.h>
#include <mirel/provider.h>
#include <mirel/transport/server_config.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <memory>
#include <optional>

namespace Mirel::Transport::PicoHttp {

struct ServerContext;
class Listener;

class AsioTcpApiServer {
 public:
  // `logger` may be null (nothing is logged).
  AsioTcpApiServer(boost::asio::io_context& io, ServerConfig config, ApiProviderPtr provider,
                   std::shared_ptr<Log::Logger> logger);
  ~AsioTcpApiServer();
  AsioTcpApiServer(const AsioTcpApiServer&) = delete;
  AsioTcpApiServer& operator=(const AsioTcpApiServer&) = delete;

  // Opens the IPv4 then the IPv6 listener and starts accepting on each one that opened. False
  // when neither opened. Call once. Throws boost::system::system_error ("set_option") when an
  // IPv6 socket cannot be made v6-only.
  bool Start();
  // Stops accepting and closes the listening sockets (also done by the destructor).
  void CloseListeners();

  // The bound endpoints of the open listeners (useful with port 0).
  std::optional<boost::asio::ip::tcp::endpoint> LocalEndpoint4() const;
  std::optional<boost::asio::ip::tcp::endpoint> LocalEndpoint6() const;
  // The error that kept a family from listening (empty when it listens or was not tried).
  boost::system::error_code ListenError4() const { return listenError4_; }
  boost::system::error_code ListenError6() const { return listenError6_; }
  size_t OpenConnections() const;
  // Connections waiting for the first byte of a request (the ones the cap may close).
  size_t IdleConnections() const;
  // The input bytes the connections hold in their buffers, counted against maxBufferedBytes.
  size_t BufferedBytes() const;
  const ServerConfig& Config() const;

 private:
  boost::asio::io_context& io_;
  std::shared_ptr<ServerContext> context_;
  std::shared_ptr<Listener> listener4_;
  std::shared_ptr<Listener> listener6_;
  boost::system::error_code listenError4_;
  boost::system::error_code listenError6_;
};

}  // namespace Mirel::Transport::PicoHttp
