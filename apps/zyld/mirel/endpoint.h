// Zyld::ZylApi::Endpoint: the daemon's HTTP endpoint. It owns the JSON-RPC server, configured to
// listen on 127.0.0.1 and ::1 (IPv6 socket v6-only) at the given port with the daemon's
// time-outs (read 20 min, write 30 min), body limit (2500000 bytes) and TCP_NODELAY on accepted
// sockets, serving the given API provider.
//
// Start opens both listeners (one family is enough; false when neither opens) and runs the I/O
// context on the thread pool with kIoTasks tasks (fewer when the pool is too small to keep a
// worker free for scheduled jobs). Stop stops the I/O context (callable from any thread, any
// number of times). The destructor closes the listeners and, when I/O tasks are still running,
// stops the I/O context and waits for them to return, so no handler outlives the server.
#pragma once

#include "include/logger.h"
#include "mirel/stoppable_endpoint.h"

#include <mirel/messages.h>
#include <mirel/provider.h>
#include <mirel/transport/server.h>
#include <quorex/quorex.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace Zyld::ZylApi {

inline constexpr uint32_t kDefaultPort = 7888;
inline constexpr int kIoTasks = 5;

class Endpoint final : public StoppableEndpoint {
 public:
  // `pool` null: the application's thread pool.
  Endpoint(uint32_t port, boost::asio::io_context* io, Mirel::ApiProviderPtr provider,
           std::shared_ptr<const Mirel::L10n::Localizer> localizer,
           std::shared_ptr<MirelLoggerWrapper> logBridge,
           Quorex::Service::ThreadPool* pool = nullptr);
  ~Endpoint() override;
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;

  bool Start();
  void Stop() override;

  // How many I/O tasks a pool of maxThreads workers gets (1..kIoTasks).
  static int IoTasksFor(int maxThreads);

  const Mirel::Transport::PicoHttp::AsioTcpApiServer& Server() const { return server_; }

 private:
  void RunIo();

  uint32_t port_;
  boost::asio::io_context* io_;
  std::shared_ptr<MirelLoggerWrapper> logBridge_;
  Quorex::Service::ThreadPool* pool_;
  Mirel::Transport::PicoHttp::AsioTcpApiServer server_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
  std::mutex mutex_;
  std::condition_variable idle_;
  int running_ = 0;
};

// The server configuration of the daemon's endpoint at `port`.
Mirel::Transport::PicoHttp::ServerConfig MakeServerConfig(
    uint32_t port, std::shared_ptr<const Mirel::L10n::Localizer> localizer);

}  // namespace Zyld::ZylApi
