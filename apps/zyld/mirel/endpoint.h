// Zyld::ZylApi::Endpoint: the daemon's HTTP endpoint. It owns the JSON-RPC server, configured to
// listen on 127.0.0.1 and ::1 (IPv6 socket v6-only) at the given port with the daemon's
// time-outs (read 20 min, write 30 min), body limit (2500000 bytes), the limits of
// EndpointLimits and TCP_NODELAY on accepted sockets, serving the given API provider.
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

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace Zyld::ZylApi {

inline constexpr uint32_t kDefaultPort = 7888;
inline constexpr int kIoTasks = 5;
// Descriptors kept out of the connection cap: the listeners, the I/O context's own, the store,
// the log and audit files and the key-server sockets of calls in flight.
inline constexpr uint64_t kReservedDescriptors = 64;

// The limits that keep one local caller from locking others out or exhausting memory.
struct EndpointLimits {
  size_t maxConnections = 1024;
  std::chrono::seconds keepAliveTimeout{60};
  std::chrono::seconds bodyTimeout{30};
  size_t maxBufferedBytes = 64 * 1024 * 1024;
};

// The connection cap under `descriptorLimit` open files: the configured cap, or fewer when the
// descriptors beyond kReservedDescriptors do not allow it (at least one).
size_t ConnectionCapFor(size_t configured, uint64_t descriptorLimit);
// Raises the soft RLIMIT_NOFILE to the hard limit; returns the soft limit in effect (the largest
// value when it cannot be read).
uint64_t RaiseDescriptorLimit();

class Endpoint final : public StoppableEndpoint {
 public:
  // `pool` null: the application's thread pool.
  Endpoint(uint32_t port, boost::asio::io_context* io, Mirel::ApiProviderPtr provider,
           std::shared_ptr<const Mirel::L10n::Localizer> localizer,
           std::shared_ptr<MirelLoggerWrapper> logBridge,
           Quorex::Service::ThreadPool* pool = nullptr, const EndpointLimits& limits = {});
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
    uint32_t port, std::shared_ptr<const Mirel::L10n::Localizer> localizer,
    const EndpointLimits& limits = {});

}  // namespace Zyld::ZylApi
