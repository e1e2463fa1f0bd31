#include "mirel/endpoint.h"

#include <harlibs/log.h>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

namespace Zyld::ZylApi {

namespace {

namespace Http = Mirel::Transport::PicoHttp;
using boost::asio::ip::tcp;

constexpr uint64_t kBodyLimit = 2'500'000;

}  // namespace

size_t ConnectionCapFor(size_t configured, uint64_t descriptorLimit) {
  uint64_t available =
      descriptorLimit > kReservedDescriptors ? descriptorLimit - kReservedDescriptors : 1;
  return static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(available, 1), configured));
}

uint64_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::numeric_limits<uint64_t>::max();
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised{limit.rlim_max, limit.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur;
}

Http::ServerConfig MakeServerConfig(uint32_t port,
                                    std::shared_ptr<const Mirel::L10n::Localizer> localizer,
                                    const EndpointLimits& limits) {
  Http::ServerConfig config;
  config.explicitEndpoints = true;
  config.port = static_cast<uint16_t>(port);
  config.endpoint4 = tcp::endpoint(boost::asio::ip::address_v4::loopback(), config.port);
  config.endpoint6 = tcp::endpoint(boost::asio::ip::address_v6::loopback(), config.port);
  config.readTimeout = std::chrono::minutes(20);
  config.writeTimeout = std::chrono::minutes(30);
  config.httpBodySizeLimitInBytes = kBodyLimit;
  config.maxConnections = limits.maxConnections;
  config.keepAliveTimeout = limits.keepAliveTimeout;
  config.bodyTimeout = limits.bodyTimeout;
  config.maxBufferedBytes = limits.maxBufferedBytes;
  if (localizer) {
    config.protocolHandlerSpec.localizer = [localizer](const Mirel::Message& message) {
      return localizer->Render(message);
    };
  }
  config.protocolHandlerSpec.sizeLimit = kBodyLimit;
  config.protocolHandlerSpec.extractors =
      std::vector<Http::ErrorHeaderExtractor>{Http::MirelErrorHeaderExtractor()};
  config.streamTuner = Http::SetNoDelay;
  return config;
}

Endpoint::Endpoint(uint32_t port, boost::asio::io_context* io, Mirel::ApiProviderPtr provider,
                   std::shared_ptr<const Mirel::L10n::Localizer> localizer,
                   std::shared_ptr<MirelLoggerWrapper> logBridge, Quorex::Service::ThreadPool* pool,
                   const EndpointLimits& limits)
    : port_(port),
      io_(io),
      logBridge_(logBridge),
      pool_(pool),
      server_(*io, MakeServerConfig(port, std::move(localizer), limits), std::move(provider),
              logBridge) {}

Endpoint::~Endpoint() {
  server_.CloseListeners();
  std::unique_lock lock(mutex_);
  if (running_ > 0) {
    io_->stop();
    idle_.wait(lock, [this] { return running_ == 0; });
  }
}

int Endpoint::IoTasksFor(int maxThreads) {
  // The pool runs enqueued tasks on all workers but one; keep one more free for other tasks.
  return std::clamp(maxThreads - 2, 1, kIoTasks);
}

bool Endpoint::Start() {
  if (!server_.Start()) {
    return false;
  }
  Quorex::Service::ThreadPool& pool = pool_ ? *pool_ : Quorex::Service::GetApp().GetThreadPool();
  const int tasks = IoTasksFor(pool.MaxThreads());
  if (tasks < kIoTasks) {
    Log_Level(kLogNotable, "Thread pool of %d workers: running the HTTP endpoint on %d I/O tasks\n",
              pool.MaxThreads(), tasks);
  }
  work_.emplace(io_->get_executor());
  {
    std::lock_guard lock(mutex_);
    running_ += tasks;
  }
  for (int i = 0; i < tasks; ++i) {
    pool.Enqueue([this] { RunIo(); });
  }
  Log_Level(kLogInfo, "HTTP endpoint listening on TCP port %d\n", static_cast<int>(port_));
  return true;
}

void Endpoint::RunIo() {
  // Counted down however the run ends; an exception out of a handler goes on to the pool, which
  // logs it.
  struct Finished {
    Endpoint* self;
    ~Finished() {
      // Notified under the lock: the destructor may return as soon as it sees zero.
      std::lock_guard lock(self->mutex_);
      --self->running_;
      self->idle_.notify_all();
    }
  } finished{this};
  io_->run();
}

void Endpoint::Stop() { io_->stop(); }

}  // namespace Zyld::ZylApi
