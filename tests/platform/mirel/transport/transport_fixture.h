// Test support for the HTTP server: a fake API provider (echoes the call, or answers what the test
// sets, inline or from its own worker thread), a logger that keeps the lines, a server running on
// its own io_context threads, and a blocking raw-socket client with a receive time-out that only
// guards against hangs.
#pragma once

#include <mirel/log.h>
#include <mirel/provider.h>
#include <mirel/transport/server.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace MirelTransportTest {

namespace net = boost::asio;
namespace http = boost::beast::http;
using net::ip::tcp;
using namespace Mirel;
using namespace Mirel::Transport::PicoHttp;

// Keeps the server's log lines.
class RecordingLogger final : public Log::Logger {
 public:
  class Record final : public Log::LogRecord {
   public:
    explicit Record(RecordingLogger& owner) : owner_(owner) {}
    ~Record() override {
      std::lock_guard lock(owner_.mutex_);
      owner_.text_ += stream_.str() + "\n";
    }
    std::ostream& GetStream() override { return stream_; }

   private:
    RecordingLogger& owner_;
    std::ostringstream stream_;
  };

  std::unique_ptr<Log::LogRecord> CreateRecord(int) override {
    return std::make_unique<Record>(*this);
  }

  bool Contains(const std::string& text) {
    std::lock_guard lock(mutex_);
    return text_.find(text) != std::string::npos;
  }

 private:
  std::mutex mutex_;
  std::string text_;
};

// Answers with `answer` (default: an echo of the call), inline or from a worker thread.
class FakeProvider final : public ApiProvider {
 public:
  using Answer = std::function<MethodResult(const CallContext&, const ApiRequest&)>;

  ~FakeProvider() override { Shutdown(); }

  // Ends the worker; answers still queued are dropped.
  void Shutdown() {
    if (!worker_) return;
    worker_->stop();
    worker_->join();
  }

  void SetAnswer(Answer answer) { answer_ = std::move(answer); }
  // Calls whose answer is null are dropped: their callback is never run.
  void DropNullAnswers() { dropNull_ = true; }
  void CompleteOnWorker() { worker_.emplace(1); }

  void Invoke(std::shared_ptr<CallContext> ctx, ApiRequest request,
              CompletionCallback done) override {
    {
      std::lock_guard lock(mutex_);
      ++calls_;
    }
    MethodResult result = answer_ ? answer_(*ctx, request) : Echo(*ctx, request);
    if (dropNull_ && result.value && result.value->is_null()) return;
    if (!worker_) {
      done(std::move(result));
      return;
    }
    net::post(*worker_, [done = std::move(done), result = std::move(result)]() mutable {
      done(std::move(result));
    });
  }

  int Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  static MethodResult Echo(const CallContext& ctx, const ApiRequest& request) {
    boost::json::object out;
    out["service"] = request.serviceId;
    out["operation"] = request.operationId;
    out["params"] = request.params;
    out["locale"] = ctx.locale;
    if (ctx.accessToken) out["token"] = ctx.accessToken->view();
    boost::json::object headers;
    for (const auto& [name, value] : ctx.headers) headers[name] = value;
    out["headers"] = std::move(headers);
    return MethodResult::Value(std::move(out));
  }

 private:
  Answer answer_;
  std::mutex mutex_;
  std::optional<net::thread_pool> worker_;
  int calls_ = 0;
  bool dropNull_ = false;
};

// Both loopback addresses on free ports, then whatever `adjust` changes.
inline ServerConfig LoopbackConfig(const std::function<void(ServerConfig&)>& adjust = {}) {
  ServerConfig config;
  config.endpoint4 = tcp::endpoint(net::ip::make_address("127.0.0.1"), 0);
  config.endpoint6 = tcp::endpoint(net::ip::make_address("::1"), 0);
  if (adjust) adjust(config);
  return config;
}

// A server on its own io_context, run by `threads` threads until destruction.
class TestServer {
 public:
  explicit TestServer(ServerConfig config = LoopbackConfig(), int threads = 2)
      : provider(std::make_shared<FakeProvider>()),
        logger(std::make_shared<RecordingLogger>()),
        server(std::make_unique<AsioTcpApiServer>(io_, std::move(config), provider, logger)),
        threads_(threads) {}
  ~TestServer() {
    server.reset();
    io_.stop();
    for (auto& thread : running_) thread.join();
    provider->Shutdown();
  }

  bool Start() {
    if (!server->Start()) return false;
    for (int i = 0; i < threads_; ++i) running_.emplace_back([this] { io_.run(); });
    return true;
  }
  tcp::endpoint Endpoint4() const { return *server->LocalEndpoint4(); }

  std::shared_ptr<FakeProvider> provider;
  std::shared_ptr<RecordingLogger> logger;
  net::io_context io_;
  std::unique_ptr<AsioTcpApiServer> server;

 private:
  int threads_;
  std::vector<std::thread> running_;
};

inline std::string Post(std::string_view body, std::string_view extraHeaders = "",
                        std::string_view contentType = "application/json") {
  std::string request = "POST /api HTTP/1.1\r\nHost: localhost\r\n";
  if (!contentType.empty()) request += "Content-Type: " + std::string(contentType) + "\r\n";
  request += extraHeaders;
  request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  request += body;
  return request;
}

inline std::string Call(int id, std::string_view method = "com.velora.test.svc.op",
                        std::string_view params = "{\"a\":1}") {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"" +
         std::string(method) + "\",\"params\":" + std::string(params) + "}";
}

inline boost::json::value JsonOf(const http::response<http::string_body>& response) {
  return boost::json::parse(response.body());
}

// A blocking client; every receive gives up after 20 seconds (a hang, not a timing check).
class Client {
 public:
  explicit Client(const tcp::endpoint& endpoint) : socket_(io_) {
    socket_.connect(endpoint);
    timeval timeout{20, 0};
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  }

  void Send(std::string_view bytes) {
    net::write(socket_, net::buffer(bytes.data(), bytes.size()));
  }

  // Sends call `id` (with any extra `headers`) and reads the answer's JSON.
  boost::json::value Ask(int id, std::string_view headers = "") {
    Send(Post(Call(id), headers));
    return JsonOf(Read());
  }

  http::response<http::string_body> Read() {
    http::response_parser<http::string_body> parser;
    parser.body_limit(16 * 1024 * 1024);
    http::read(socket_, buffer_, parser);
    return parser.release();
  }

  // Everything up to the server's close (or the time-out).
  std::string ReadToEnd() {
    std::string all(static_cast<const char*>(buffer_.data().data()), buffer_.size());
    buffer_.clear();
    char chunk[4096];
    boost::system::error_code ec;
    for (;;) {
      size_t n = socket_.read_some(net::buffer(chunk), ec);
      if (ec) break;
      all.append(chunk, n);
    }
    closedByPeer_ = ec == net::error::eof || ec == net::error::connection_reset;
    return all;
  }

  // True when the server closed the connection (nothing more arrives before the close).
  bool ServerClosed() {
    std::string rest = ReadToEnd();
    return rest.empty() && closedByPeer_;
  }

  tcp::socket& Socket() { return socket_; }

 private:
  net::io_context io_;
  tcp::socket socket_;
  boost::beast::flat_buffer buffer_;
  bool closedByPeer_ = false;
};

}  // namespace MirelTransportTest
