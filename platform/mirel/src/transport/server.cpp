#include <mirel/transport/server.h>

#include "connection.h"
#include "log_at.h"

#include <mirel/transport/errors.h>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <utility>

namespace Mirel::Transport::PicoHttp {
namespace {

namespace net = boost::asio;
using boost::system::error_code;
using net::ip::tcp;

constexpr int kBacklog = 128;
constexpr auto kAcceptDelay = std::chrono::milliseconds(500);

class NullLogger final : public Log::Logger {
 public:
  std::unique_ptr<Log::LogRecord> CreateRecord(int) override { return nullptr; }
};

// Errors after which the socket cannot accept again.
bool IsTerminalAcceptError(const error_code& ec) {
  return ec == net::error::operation_aborted || ec == net::error::bad_descriptor ||
         ec == net::error::invalid_argument || ec == net::error::not_socket ||
         ec == net::error::operation_not_supported;
}

// Errors of exhausted resources, worth a pause before accepting again.
bool IsDelayAcceptError(const error_code& ec) {
  return ec == net::error::no_descriptors ||
         ec == boost::system::errc::too_many_files_open_in_system ||
         ec == net::error::no_buffer_space || ec == net::error::no_memory;
}

}  // namespace

// One listening socket and its accept loop. Every handler runs on the listener's strand; closing
// is posted to it, so it never races an accept in progress.
class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(net::io_context& io, std::shared_ptr<ServerContext> context, const char* family)
      : io_(io),
        context_(std::move(context)),
        log_(*context_->logger),
        strand_(net::make_strand(io)),
        acceptor_(strand_),
        delay_(strand_),
        family_(family) {}

  error_code Open(const tcp::endpoint& endpoint) {
    error_code ec = TryOpen(endpoint);
    if (ec) {
      LogAt(log_, Log::kInfo, family_, " Failed to listen on: ", EndpointToString(endpoint),
            " ec: ", ec.message(), ":", ec.value());
      error_code ignored;
      acceptor_.close(ignored);
    }
    return ec;
  }

  void StartAccepting() {
    net::post(strand_, [self = shared_from_this()] { self->Accept(); });
  }

  void Close() {
    closing_ = true;
    net::post(strand_, [self = shared_from_this()] {
      error_code ignored;
      self->acceptor_.close(ignored);
      self->delay_.cancel();
    });
  }

  const std::optional<tcp::endpoint>& Local() const { return local_; }

 private:
  error_code TryOpen(const tcp::endpoint& endpoint) {
    error_code ec;
    acceptor_.open(endpoint.protocol(), ec);
    if (ec) return ec;
    acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (ec) return ec;
    if (endpoint.protocol() == tcp::v6()) {
      acceptor_.set_option(net::ip::v6_only(true), ec);
      if (ec) return ec;
    }
    acceptor_.bind(endpoint, ec);
    if (ec) return ec;
    acceptor_.listen(kBacklog, ec);
    if (ec) return ec;
    tcp::endpoint local = acceptor_.local_endpoint(ec);
    if (ec) return ec;
    local_ = local;
    description_ = family_ + " " + EndpointToString(local);
    LogAt(log_, Log::kInfo, "Listening on: ", EndpointToString(local));
    return {};
  }

  void Accept() {
    acceptor_.async_accept(net::make_strand(io_),
                           [self = shared_from_this()](error_code ec, tcp::socket socket) {
                             self->OnAccept(ec, std::move(socket));
                           });
  }

  void OnAccept(error_code ec, tcp::socket socket) {
    if (!ec) {
      backingOff_ = false;
      Admit(std::move(socket));
      Accept();
      return;
    }
    if (closing_) return;
    bool terminal = IsTerminalAcceptError(ec);
    bool delay = !terminal && IsDelayAcceptError(ec);
    // Out of descriptors or memory: one line per episode, then wait and retry quietly.
    if (!delay || !backingOff_)
      LogAt(log_, Log::kError, "Accept Error: ", ec ? ec.message() : std::string("NoError"),
            terminal ? ";TerminalAcceptError" : "", delay ? ";DelayAcceptError" : "",
            ".Acceptor info:", description_);
    if (terminal) return;
    if (!delay) {
      Accept();
      return;
    }
    backingOff_ = true;
    delay_.expires_after(kAcceptDelay);
    delay_.async_wait([self = shared_from_this()](error_code timerError) {
      if (self->closing_) return;
      if (timerError)
        LogAt(self->log_, Log::kError, "Delay timer Accept Error: ", timerError.message());
      self->Accept();
    });
  }

  // At the connection cap the connection idle the longest is closed to make room: idle
  // connections cannot lock others out. With none idle, the accepted connection is closed at once:
  // a flood then costs no descriptors beyond the cap, and the clients learn it at once instead of
  // waiting. The evicted connection keeps its slot until its strand has closed it, so the count
  // can pass the cap for that short while.
  void Admit(tcp::socket socket) {
    const ServerConfig& config = context_->config;
    if (context_->openConnections.fetch_add(1) >= config.maxConnections && !EvictIdle()) {
      context_->openConnections.fetch_sub(1);
      if (!atCapacity_)
        LogAt(log_, Log::kWarning, "Connection limit reached (", config.maxConnections, ")");
      atCapacity_ = true;
      error_code ignored;
      socket.close(ignored);
      return;
    }
    atCapacity_ = false;
    if (config.streamTuner) config.streamTuner(socket);
    std::make_shared<Connection>(context_, std::move(socket))->Start();
  }

  bool EvictIdle() {
    std::shared_ptr<Connection> oldest = context_->idle.TakeOldest();
    if (!oldest) return false;
    oldest->Evict();
    return true;
  }

  net::io_context& io_;
  std::shared_ptr<ServerContext> context_;
  Log::Logger& log_;
  net::strand<net::io_context::executor_type> strand_;
  tcp::acceptor acceptor_;
  net::steady_timer delay_;
  std::string family_;
  std::string description_;
  std::optional<tcp::endpoint> local_;
  std::atomic<bool> closing_{false};
  bool atCapacity_ = false;
  bool backingOff_ = false;  // accepting failed for want of resources; retrying after a delay
};

AsioTcpApiServer::AsioTcpApiServer(net::io_context& io, ServerConfig config,
                                   ApiProviderPtr provider, std::shared_ptr<Log::Logger> logger)
    : io_(io), context_(std::make_shared<ServerContext>(std::move(config))) {
  context_->provider = std::move(provider);
  context_->logger = logger ? std::move(logger) : std::make_shared<NullLogger>();
  const auto& extractors = context_->config.protocolHandlerSpec.extractors;
  context_->extractors =
      extractors ? *extractors : std::vector<ErrorHeaderExtractor>{MirelErrorHeaderExtractor()};
  context_->decodeLimits.maxBodyBytes = context_->config.httpBodySizeLimitInBytes;
}

AsioTcpApiServer::~AsioTcpApiServer() { CloseListeners(); }

bool AsioTcpApiServer::Start() {
  const ServerConfig& config = context_->config;
  LogAt(*context_->logger, Log::kInfo, "Starting HTTP server: ", ToString(config));
  tcp::endpoint endpoint4 =
      config.explicitEndpoints ? config.endpoint4 : tcp::endpoint(tcp::v4(), config.port);
  tcp::endpoint endpoint6 =
      config.explicitEndpoints ? config.endpoint6 : tcp::endpoint(tcp::v6(), config.port);
  listener4_ = std::make_shared<Listener>(io_, context_, "IPv4");
  listenError4_ = listener4_->Open(endpoint4);
  if (listenError4_) listener4_.reset();
  listener6_ = std::make_shared<Listener>(io_, context_, "IPv6");
  listenError6_ = listener6_->Open(endpoint6);
  if (listenError6_) listener6_.reset();
  if (!listener4_ && !listener6_) return false;
  if (listener4_) listener4_->StartAccepting();
  if (listener6_) listener6_->StartAccepting();
  return true;
}

void AsioTcpApiServer::CloseListeners() {
  if (listener4_) listener4_->Close();
  if (listener6_) listener6_->Close();
  listener4_.reset();
  listener6_.reset();
}

std::optional<tcp::endpoint> AsioTcpApiServer::LocalEndpoint4() const {
  return listener4_ ? listener4_->Local() : std::nullopt;
}

std::optional<tcp::endpoint> AsioTcpApiServer::LocalEndpoint6() const {
  return listener6_ ? listener6_->Local() : std::nullopt;
}

size_t AsioTcpApiServer::OpenConnections() const { return context_->openConnections.load(); }
size_t AsioTcpApiServer::IdleConnections() const { return context_->idle.Count(); }

size_t AsioTcpApiServer::BufferedBytes() const { return context_->buffered.Used(); }

const ServerConfig& AsioTcpApiServer::Config() const { return context_->config; }

}  // namespace Mirel::Transport::PicoHttp
