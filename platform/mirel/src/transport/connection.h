// One accepted connection of the HTTP server: reads a request head, checks it, reads the body
// (by length or chunked), decodes the JSON-RPC request, invokes the provider and writes its answer,
// then reads the next request or closes. Every handler runs on the socket's strand; the provider's
// completion may come from any thread and is dispatched back to it. A single timer enforces the
// deadline of whatever the connection is waiting for (head, body, write, lingering close).
// The connection owns its slot in the server's connection count until it is destroyed. While it
// waits for the first byte of a request it is in the server's idle registry, from which a listener
// at the connection cap may take it out and close it (Evict).
//
// Memory: the input buffer grows as bytes arrive (never beyond what the current stage needs, such
// as the announced body length) and goes back to its first size when the connection turns idle;
// its storage and a chunked body's are charged to the server's buffer budget, and a request that
// would pass it is answered 503 and the connection closed.
//
// Secrets: the input buffer and a chunked body are Har::Secret and every byte consumed from the
// input is wiped at once, so a request (its bearer token, its body) leaves no copy behind. The
// bearer token is taken out of the head's fields as soon as the head is parsed and handed to the
// call's context as a Secret. The answer body is a Secret wiped once written, and the strings of
// the provider's answer value are wiped when the answer has been delivered.
#pragma once

#include <mirel/json_rpc.h>
#include <mirel/log.h>
#include <mirel/provider.h>
#include <mirel/transport/chunked_decoder.h>
#include <mirel/transport/errors.h>
#include <mirel/transport/http_head.h>
#include <mirel/transport/server_config.h>

#include "buffer_budget.h"
#include "idle_connections.h"

#include <harlibs/secure.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Mirel::Transport::PicoHttp {

// What the listeners and the connections of one server share.
struct ServerContext {
  explicit ServerContext(ServerConfig serverConfig)
      : config(std::move(serverConfig)), buffered(config.maxBufferedBytes) {}

  ServerConfig config;
  ApiProviderPtr provider;
  std::shared_ptr<Log::Logger> logger;
  std::vector<ErrorHeaderExtractor> extractors;
  Json::DecodeLimits decodeLimits;
  std::atomic<size_t> openConnections{0};
  IdleConnections idle;
  BufferBudget buffered;
  std::atomic<bool> bufferedFull{false};  // a refusal was logged since the last growth
  std::atomic<bool> trimPending{false};   // large buffers were freed since the last heap trim
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // The caller has already counted the connection in context->openConnections.
  Connection(std::shared_ptr<ServerContext> context, boost::asio::ip::tcp::socket socket);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Start();
  // Delivers the provider's answer (on any thread). `deferred`: never run it inline.
  void Complete(MethodResult result, bool deferred = false);
  // Closes the connection on its strand. Only for a connection taken out of the idle registry.
  void Evict();

 private:
  using Clock = std::chrono::steady_clock;
  enum class After { kNextRequest, kClose };
  // What is being written, for the log lines of its outcome.
  enum class Written { kAnswer, kDeserializerError, kInvalidRequest, kTransportResponse };

  // Request head.
  void ReadHead();
  void HandleHead(size_t headLength);
  bool CheckExpectation();
  bool ChooseFormats();
  // Body.
  void StartBody();
  void ReadLengthBody();
  void ReadChunkedBody();
  void DecodeChunks();
  void HandleBody(std::string_view body, size_t consumed);
  void Invoke(Json::DecodeResult decoded);
  int ParseHead();
  void Deliver(MethodResult result);
  // Answers.
  void WriteAnswer(const MethodResult& result, int code, Written kind);
  void WriteCanned(std::string_view response);
  void WriteTransportError(TransportError error);
  void StartWrite(Written kind);
  void OnWritten(boost::system::error_code ec, Written kind);
  void Linger();
  void CloseSocket();
  // Input buffer.
  // Reads into the buffer, grown towards `fill` (the bytes the stage needs buffered) when full.
  void ReadMore(Clock::time_point deadline, size_t fill, void (Connection::*next)());
  bool ResizeInput(size_t size);
  bool ReserveChunkedBody(size_t size);
  void RefuseOverBudget();
  void OnReadFailed(boost::system::error_code ec, bool readingHead);
  void Consume(size_t count);
  std::string_view Buffered() const { return {in_.data(), inLength_}; }
  // Idle registry: entered while waiting for a request's first byte. LeaveIdle is false when the
  // connection was taken out to be evicted.
  void EnterIdle();
  bool LeaveIdle();
  // Deadline.
  void SetDeadline(Clock::time_point deadline);
  void OnTimer(boost::system::error_code ec, uint64_t generation);

  std::shared_ptr<ServerContext> context_;
  const ServerConfig& config_;
  Log::Logger& log_;
  boost::asio::ip::tcp::socket socket_;
  boost::asio::any_io_executor executor_;  // the connection's strand
  boost::asio::steady_timer timer_;
  bool timerArmed_ = false;
  uint64_t timerGeneration_ = 0;
  Clock::time_point deadline_ = Clock::time_point::max();

  BufferBudget::Charge charge_;  // in_.size() + chunkedReserved_
  Har::Secret in_;
  size_t inLength_ = 0;
  size_t scanned_ = 0;  // bytes of the current head already scanned
  std::optional<Clock::time_point> headStart_;
  uint64_t served_ = 0;
  std::optional<IdleConnections::Ticket> idleTicket_;

  RequestHead head_;
  unsigned responseFormat_ = kMediaJson;
  std::optional<PhrChunkedDecoder> chunks_;
  Har::Secret chunkedBody_;
  size_t chunkedReserved_ = 0;
  Clock::time_point bodyDeadline_;
  std::optional<Har::Secret> bearerToken_;  // of the current head
  bool continueSent_ = false;
  boost::json::value requestId_;
  bool awaitingAnswer_ = false;
  After after_ = After::kNextRequest;

  std::string outHead_;
  Har::Secret outBody_;  // wiped once sent: it can carry a clear key
  std::string chunkPrefix_;
  std::array<boost::asio::const_buffer, 4> outBuffers_;
  size_t lingerBytes_ = 0;
  bool lingering_ = false;
};

}  // namespace Mirel::Transport::PicoHttp
