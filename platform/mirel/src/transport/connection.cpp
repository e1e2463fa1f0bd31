#include "connection.h"

#include "log_at.h"

#include <mirel/errors.h>
#include <mirel/messages.h>
#include <mirel/transport/errors.h>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <deque>
#include <malloc.h>
#include <exception>
#include <utility>
#include <vector>

namespace Mirel::Transport::PicoHttp {
namespace {

namespace net = boost::asio;
using boost::system::error_code;

constexpr size_t kReadChunk = 16 * 1024;
constexpr size_t kShrinkAbove = 256 * 1024;
constexpr size_t kMaxChunkLine = 8192;
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr size_t kLingerMaxBytes = 4 * 1024 * 1024;

constexpr std::string_view kCanned400 =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n"
    "Server: Mirel-PicoHttp\r\n\r\n";
constexpr std::string_view kCanned417 =
    "HTTP/1.1 417 Expectation Failed\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view kCanned503 =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n"
    "Server: Mirel-PicoHttp\r\n\r\n";
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kLastChunk = "0\r\n\r\n";
constexpr std::string_view kChunkEndAndLastChunk = "\r\n0\r\n\r\n";

// A completion handler that continues the connection's own flow (its next read or write). The I/O
// context then queues a completion that is ready at once on the thread that started the
// operation, instead of waking another thread for it; the connection's handlers never run in
// parallel anyway.
template <class F>
struct Continuation {
  F f;
  template <class... Args>
  void operator()(Args&&... args) {
    f(std::forward<Args>(args)...);
  }
  friend bool asio_handler_is_continuation(Continuation*) { return true; }
};

template <class F>
Continuation<std::decay_t<F>> AsContinuation(F&& f) {
  return {std::forward<F>(f)};
}

const std::string* FindHeader(const Headers& headers, std::string_view name) {
  auto it =
      std::lower_bound(headers.begin(), headers.end(), name,
                       [](const auto& header, std::string_view n) { return header.first < n; });
  return it != headers.end() && it->first == name ? &it->second : nullptr;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::optional<Har::Secret> BearerToken(const std::string* authorization) {
  constexpr std::string_view kScheme = "bearer ";
  if (authorization == nullptr || authorization->size() <= kScheme.size()) return std::nullopt;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    char c = (*authorization)[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kScheme[i])
      return std::nullopt;
  }
  std::string_view token = Trim(std::string_view(*authorization).substr(kScheme.size()));
  if (token.empty()) return std::nullopt;
  return Har::Secret(token);
}

// The bearer token of the fields, which no longer hold it (every Authorization value is wiped).
std::optional<Har::Secret> TakeBearerToken(Headers& headers) {
  std::optional<Har::Secret> token = BearerToken(FindHeader(headers, "authorization"));
  for (auto it = headers.begin(); it != headers.end();) {
    if (it->first != "authorization") {
      ++it;
      continue;
    }
    Har::Cleanse(it->second.data(), it->second.size());
    it = headers.erase(it);
  }
  return token;
}

// The field values of a head that was not taken over (parsed in part, or left behind by a move).
void WipeValues(Headers& headers) {
  for (auto& [name, value] : headers) Har::Cleanse(value.data(), value.size());
}

// A header value as written: line breaks would end the header, so they become spaces.
void AppendHeader(std::string& out, std::string_view name, std::string_view value) {
  out.append(name).append(": ");
  for (char c : value) out += (c == '\r' || c == '\n') ? ' ' : c;
  out += "\r\n";
}

void AppendDecimal(std::string& out, uint64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof(digits), value);
  out.append(digits, result.ptr);
}

// Puts a guard on every string of the value (member values and array elements, at any depth):
// they are wiped when the guards go. Iterative, so that the value's depth does not bound the stack.
void WatchStrings(boost::json::value& value, std::deque<Har::WipeGuard>& wipes) {
  std::vector<boost::json::value*> pending{&value};
  while (!pending.empty()) {
    boost::json::value* v = pending.back();
    pending.pop_back();
    if (auto* text = v->if_string()) {
      wipes.emplace_back(*text);
    } else if (auto* object = v->if_object()) {
      for (auto& member : *object) pending.push_back(&member.value());
    } else if (auto* array = v->if_array()) {
      for (auto& element : *array) pending.push_back(&element);
    }
  }
}

// Gives freed heap memory back to the system once a load has passed: called whenever a buffer is
// freed, it trims once after large buffers were freed, when no connection holds more than its
// first read buffer any longer. The heap otherwise keeps much of a burst's freed blocks mapped.
void TrimAfterLoad(ServerContext& context, bool freedLarge) {
  if (freedLarge) context.trimPending.store(true, std::memory_order_relaxed);
  if (!context.trimPending.load(std::memory_order_relaxed)) return;
  if (context.buffered.Used() > context.openConnections.load() * kReadChunk) return;
  if (context.trimPending.exchange(false, std::memory_order_relaxed)) malloc_trim(0);
}

// Completes a call exactly once: a second completion is ignored, and a call whose callback is
// dropped without completing is answered internal_server_error.
class PendingCall {
 public:
  explicit PendingCall(std::shared_ptr<Connection> connection)
      : connection_(std::move(connection)) {}
  ~PendingCall() {
    if (!done_.exchange(true))
      connection_->Complete(MethodResult::Error(InternalServerError()), true);
  }
  PendingCall(const PendingCall&) = delete;
  PendingCall& operator=(const PendingCall&) = delete;

  void Complete(MethodResult result) {
    if (!done_.exchange(true)) connection_->Complete(std::move(result));
  }

 private:
  std::shared_ptr<Connection> connection_;
  std::atomic<bool> done_{false};
};

}  // namespace

Connection::Connection(std::shared_ptr<ServerContext> context, net::ip::tcp::socket socket)
    : context_(std::move(context)),
      config_(context_->config),
      log_(*context_->logger),
      socket_(std::move(socket)),
      executor_(socket_.get_executor()),
      timer_(executor_),
      charge_(context_->buffered) {
  charge_.Force(kReadChunk);
  in_.resize(kReadChunk);
}

Connection::~Connection() {
  LeaveIdle();
  bool large = in_.size() > kShrinkAbove || chunkedReserved_ > kShrinkAbove;
  in_ = Har::Secret();  // releasing the storage wipes it
  chunkedBody_ = Har::Secret();
  chunkedReserved_ = 0;
  charge_.Set(0);
  context_->openConnections.fetch_sub(1);
  TrimAfterLoad(*context_, large);
}

void Connection::Start() {
  net::dispatch(executor_, [self = shared_from_this()] { self->ReadHead(); });
}

// ---- Request head ----------------------------------------------------------------------------

int Connection::ParseHead() {
  PhrRequest request;
  int result = PhrParse(Buffered(), request, scanned_, {config_.maxHeadBytes, config_.maxHeaders});
  if (result > 0) {
    head_ = MakeRequestHead(std::move(request));
    bearerToken_ = TakeBearerToken(head_.headers);
  }
  WipeValues(request.headers);
  return result;
}

void Connection::ReadHead() {
  if (inLength_ > 0) {
    int result = ParseHead();
    if (result > 0) {
      scanned_ = 0;
      headStart_.reset();
      Consume(static_cast<size_t>(result));
      HandleHead(static_cast<size_t>(result));
      return;
    }
    if (result == kPhrMalformed) {
      LogAt(log_, Log::kWarning,
            "Malformed request head: ", make_error_code(TransportError::kHeadersParse).message());
      WriteCanned(kCanned400);
      return;
    }
    if (result == kPhrTooLong) {
      WriteTransportError(TransportError::kHeadersTooLong);
      return;
    }
    scanned_ = inLength_;
  }
  Clock::time_point now = Clock::now();
  Clock::time_point deadline = now + config_.readTimeout;
  if (inLength_ > 0 || served_ == 0) {  // a head under way, or the first one of the connection
    if (!headStart_) headStart_ = now;
    deadline = std::min(deadline, *headStart_ + config_.headTimeout);
  } else {
    deadline = std::min(deadline, now + config_.keepAliveTimeout);
  }
  if (inLength_ == 0) {
    if (in_.size() > kReadChunk) ResizeInput(kReadChunk);
    EnterIdle();
  }
  ReadMore(deadline, config_.maxHeadBytes + 1, &Connection::ReadHead);
}

void Connection::HandleHead(size_t headLength) {
  MIREL_LOG(&log_, Log::kTrace) << "Request head: " << head_.Describe() << " (" << headLength
                                << " bytes)";
  LogAt(log_, Log::kDebug, "Request received");
  if (head_.bad) {
    WriteCanned(kCanned400);
    return;
  }
  if (!CheckExpectation() || !ChooseFormats()) return;
  StartBody();
}

bool Connection::CheckExpectation() {
  if (!head_.hasExpect || head_.expectContinue) return true;
  LogAt(log_, Log::kWarning, "Invalid Http request: Expect header value is not 100-continue");
  WriteCanned(kCanned417);
  return false;
}

bool Connection::ChooseFormats() {
  unsigned flags = head_.hasContentType ? MediaTypeFlags(head_.contentType) : 0;
  if (flags & (kMediaFramed | kMediaCleanFramed)) {
    LogAt(log_, Log::kWarning, "Request is framed. Not supported");
    WriteTransportError(TransportError::kFrameParse);
    return false;
  }
  if (flags != kMediaJson) {
    LogAt(log_, Log::kWarning, "Request is considered as bad");
    WriteTransportError(TransportError::kInvalidRequest);
    return false;
  }
  responseFormat_ = ResponseFormatOf(head_.hasAccept ? &head_.accept : nullptr);
  return true;
}

// ---- Body ------------------------------------------------------------------------------------

void Connection::StartBody() {
  bodyDeadline_ = Clock::now() + config_.bodyTimeout;
  uint64_t limit = config_.httpBodySizeLimitInBytes;
  if (head_.chunked) {
    chunks_.emplace(limit, kMaxChunkLine);
    chunkedBody_.Wipe();
  } else if (!head_.hasContentLength) {
    WriteTransportError(TransportError::kHttpProtocol);
    return;
  } else if (head_.contentLength > limit) {
    WriteTransportError(TransportError::kMessageTooLong);
    return;
  }
  void (Connection::*read)() =
      head_.chunked ? &Connection::ReadChunkedBody : &Connection::ReadLengthBody;
  if (!head_.expectContinue || (!head_.chunked && head_.contentLength == 0)) {
    (this->*read)();
    return;
  }
  SetDeadline(Clock::now() + config_.writeTimeout);
  net::async_write(socket_, net::buffer(kContinue.data(), kContinue.size()),
                   [self = shared_from_this(), read](error_code ec, size_t) {
                     if (ec) {
                       self->OnWritten(ec, Written::kTransportResponse);
                       return;
                     }
                     ((*self).*read)();
                   });
}

void Connection::ReadLengthBody() {
  size_t length = static_cast<size_t>(head_.contentLength);
  if (inLength_ >= length) {
    HandleBody(std::string_view(in_.data(), length), length);
    return;
  }
  ReadMore(std::min(Clock::now() + config_.readTimeout, bodyDeadline_), length,
           &Connection::ReadLengthBody);
}

void Connection::ReadChunkedBody() {
  std::string decoded;
  decoded.reserve(inLength_);  // never longer than its encoding, so never reallocated
  Har::WipeGuard wipeDecoded(decoded);
  PhrChunkedDecoder::Result result = chunks_->Decode(Buffered(), decoded);
  if (!ReserveChunkedBody(chunkedBody_.size() + decoded.size())) {
    RefuseOverBudget();
    return;
  }
  chunkedBody_.append(decoded);
  wipeDecoded.Wipe();
  Consume(result.consumed);
  switch (result.status) {
    case PhrChunkedDecoder::Status::kDone:
      chunks_.reset();
      HandleBody(chunkedBody_.view(), 0);
      chunkedBody_ = Har::Secret();  // releasing the storage wipes it
      charge_.Set(in_.size());
      TrimAfterLoad(*context_, std::exchange(chunkedReserved_, 0) > kShrinkAbove);
      return;
    case PhrChunkedDecoder::Status::kNeedMore:
      ReadMore(std::min(Clock::now() + config_.readTimeout, bodyDeadline_), kReadChunk,
               &Connection::ReadChunkedBody);
      return;
    case PhrChunkedDecoder::Status::kTooLong:
      WriteTransportError(TransportError::kMessageTooLong);
      return;
    case PhrChunkedDecoder::Status::kError:
      WriteTransportError(TransportError::kChunkParse);
      return;
  }
}

void Connection::HandleBody(std::string_view body, size_t consumed) {
  Json::DecodeResult decoded = Json::DecodeRequest(body, context_->decodeLimits);
  Consume(consumed);
  if (!decoded.ok) {
    requestId_ = std::move(decoded.request.id);
    bool notJson = decoded.errorCode == Json::kParseErrorCode;
    WriteAnswer(MethodResult::Error(std::move(decoded.error)), decoded.errorCode,
                notJson ? Written::kDeserializerError : Written::kInvalidRequest);
    return;
  }
  Invoke(std::move(decoded));
}

void Connection::Invoke(Json::DecodeResult decoded) {
  auto callContext = std::make_shared<CallContext>();
  if (const std::string* languages = FindHeader(head_.headers, "accept-language")) {
    callContext->locale = L10n::MakeLanguagePreference(*languages, callContext->locale);
  }
  callContext->accessToken = std::move(bearerToken_);
  bearerToken_.reset();
  callContext->headers = std::move(head_.headers);
  requestId_ = decoded.request.id;
  awaitingAnswer_ = true;
  SetDeadline(Clock::time_point::max());
  auto call = std::make_shared<PendingCall>(shared_from_this());
  try {
    context_->provider->Invoke(std::move(callContext), std::move(decoded.request),
                               [call](MethodResult result) { call->Complete(std::move(result)); });
  } catch (const std::exception& e) {
    LogAt(log_, Log::kError, "Handle request error: ", e.what());
    call->Complete(MethodResult::Error(InternalServerError()));
  }
}

void Connection::Complete(MethodResult result, bool deferred) {
  auto deliver = [self = shared_from_this(), result = std::move(result)]() mutable {
    self->Deliver(std::move(result));
  };
  if (deferred) {
    net::post(executor_, std::move(deliver));
  } else {
    net::dispatch(executor_, std::move(deliver));
  }
}

void Connection::Deliver(MethodResult result) {
  std::deque<Har::WipeGuard> wipes;  // the answer's strings can be clear keys
  if (result.value) WatchStrings(*result.value, wipes);
  if (!awaitingAnswer_) return;
  awaitingAnswer_ = false;
  if (!socket_.is_open()) {
    LogAt(log_, Log::kInfo,
          "Failed to deliver response. EC: ", StringOfError(net::error::not_connected));
    return;
  }
  WriteAnswer(result, 0, Written::kAnswer);
}

// ---- Answers ---------------------------------------------------------------------------------

void Connection::WriteAnswer(const MethodResult& result, int code, Written kind) {
  bool clean = responseFormat_ == kMediaCleanJson || responseFormat_ == kMediaCleanStreamJson;
  outBody_.Wipe();
  Json::EncodeResponse(requestId_, result,
                       clean ? Json::ResponseFormat::kClean : Json::ResponseFormat::kStandard,
                       config_.protocolHandlerSpec.localizer, outBody_, code);
  bool streamed = head_.responseStreamed;
  outHead_.assign("HTTP/1.1 200 OK\r\n");
  if (streamed) {
    outHead_ += "Transfer-Encoding: chunked\r\n";
  } else {
    outHead_ += "Content-Length: ";
    AppendDecimal(outHead_, outBody_.size());
    outHead_ += "\r\n";
  }
  AppendHeader(outHead_, "Content-Type", ContentTypeOf(responseFormat_));
  AppendHeader(outHead_, "Connection", head_.keepAlive ? "Keep-Alive" : "close");
  if (result.IsError()) {
    Headers extra;
    for (const auto& extractor : context_->extractors) extractor(*result.error, extra);
    for (const auto& [name, value] : extra) AppendHeader(outHead_, name, value);
  }
  outHead_ += "Server: Mirel-PicoHttp\r\n\r\n";
  outBuffers_ = {net::buffer(outHead_), net::const_buffer(), net::const_buffer(),
                 net::const_buffer()};
  if (!streamed) {
    outBuffers_[1] = net::buffer(outBody_.data(), outBody_.size());
  } else if (outBody_.empty()) {
    outBuffers_[1] = net::buffer(kLastChunk.data(), kLastChunk.size());
  } else {
    char hex[20];
    auto end = std::to_chars(hex, hex + sizeof(hex), outBody_.size(), 16).ptr;
    chunkPrefix_.assign(hex, end).append("\r\n");
    outBuffers_[1] = net::buffer(chunkPrefix_);
    outBuffers_[2] = net::buffer(outBody_.data(), outBody_.size());
    outBuffers_[3] = net::buffer(kChunkEndAndLastChunk.data(), kChunkEndAndLastChunk.size());
  }
  after_ = head_.keepAlive ? After::kNextRequest : After::kClose;
  StartWrite(kind);
}

void Connection::WriteCanned(std::string_view response) {
  outBuffers_ = {net::buffer(response.data(), response.size()), net::const_buffer(),
                 net::const_buffer(), net::const_buffer()};
  after_ = After::kClose;
  StartWrite(Written::kTransportResponse);
}

void Connection::WriteTransportError(TransportError error) {
  std::string text = make_error_code(error).message();
  LogAt(log_, Log::kWarning, "Transport error: ", text);
  outBody_.assign(text);
  outHead_.assign("HTTP/1.1 400 Bad Request\r\nContent-Length: ");
  AppendDecimal(outHead_, outBody_.size());
  outHead_ += "\r\nContent-Type: text/plain\r\nConnection: close\r\nServer: Mirel-PicoHttp\r\n\r\n";
  outBuffers_ = {net::buffer(outHead_), net::buffer(outBody_.data(), outBody_.size()),
                 net::const_buffer(), net::const_buffer()};
  after_ = After::kClose;
  StartWrite(Written::kTransportResponse);
}

void Connection::StartWrite(Written kind) {
  SetDeadline(Clock::now() + config_.writeTimeout);
  net::async_write(socket_, outBuffers_,
                   AsContinuation([self = shared_from_this(), kind](error_code ec, size_t) {
                     self->OnWritten(ec, kind);
                   }));
}

void Connection::OnWritten(error_code ec, Written kind) {
  outBody_.Wipe();
  if (ec) {
    const char* text = kind == Written::kDeserializerError ? "Failed to sent Deserializer error "
                       : kind == Written::kInvalidRequest
                           ? "Failed to send InvalidRequest response:"
                           : "Failed to sent response head ";
    LogAt(log_, Log::kInfo, text, make_error_code(HttpError::kSendFailed).message(),
          " Error: ", StringOfError(ec));
    CloseSocket();
    return;
  }
  const char* text = kind == Written::kDeserializerError
                         ? "Response head sent (Deserializer error): "
                     : kind == Written::kInvalidRequest ? "Sent InvalidRequest response:"
                                                        : "Response head sent: ";
  LogAt(log_, Log::kTrace, text, responseFormat_);
  LogAt(log_, Log::kTrace, "ResponseSentCb");
  LogAt(log_, Log::kDebug, "Request handled");
  if (after_ == After::kClose) {
    Linger();
    return;
  }
  ++served_;
  ReadHead();
}

// Half-closes, then reads and discards what the client still sends (for a short time), so that
// closing with unread input does not reset the connection before the client read the answer.
void Connection::Linger() {
  if (!lingering_) {
    lingering_ = true;
    error_code ignored;
    socket_.shutdown(net::ip::tcp::socket::shutdown_send, ignored);
    SetDeadline(Clock::now() + kLingerTime);
  }
  inLength_ = 0;
  socket_.async_read_some(net::buffer(in_.data(), in_.size()),
                          [self = shared_from_this()](error_code ec, size_t n) {
                            self->lingerBytes_ += n;
                            if (ec || self->lingerBytes_ > kLingerMaxBytes) {
                              self->CloseSocket();
                              return;
                            }
                            self->Linger();
                          });
}

void Connection::CloseSocket() {
  error_code ignored;
  socket_.close(ignored);
  timer_.cancel();
}

// ---- Input buffer ----------------------------------------------------------------------------

void Connection::ReadMore(Clock::time_point deadline, size_t fill, void (Connection::*next)()) {
  if (inLength_ == in_.size() &&
      !ResizeInput(std::max(in_.size() + 1, std::min(in_.size() * 2, fill)))) {
    RefuseOverBudget();
    return;
  }
  SetDeadline(deadline);
  socket_.async_read_some(
      net::buffer(in_.data() + inLength_, in_.size() - inLength_),
      AsContinuation([self = shared_from_this(), next](error_code ec, size_t n) {
        if (!self->LeaveIdle()) return;  // evicted: Evict closes the connection
        if (ec) {
          self->OnReadFailed(ec, next == &Connection::ReadHead);
          return;
        }
        self->inLength_ += n;
        ((*self).*next)();
      }));
}

void Connection::OnReadFailed(error_code ec, bool readingHead) {
  if (!socket_.is_open()) return;  // timed out
  if (readingHead && inLength_ == 0 && ec == net::error::eof) {
    LogAt(log_, Log::kTrace, "Connection closed by the client");
    CloseSocket();
    return;
  }
  LogAt(log_, Log::kDebug, make_error_code(HttpError::kRecvFailed).message(),
        " Error: ", StringOfError(ec));
  if (ec != net::error::eof) {
    CloseSocket();
    return;
  }
  WriteTransportError(readingHead ? TransportError::kHeadersParse
                                  : TransportError::kIncompleteBody);
}

// The bytes that the move leaves behind (a copy of what was consumed or moved) are wiped at once.
void Connection::Consume(size_t count) {
  std::memmove(in_.data(), in_.data() + count, inLength_ - count);
  Har::Cleanse(in_.data() + inLength_ - count, count);
  inLength_ -= count;
  if (in_.size() > kShrinkAbove && inLength_ <= kReadChunk) ResizeInput(kReadChunk);
}

// A new buffer of exactly `size` bytes (so that the charge is the storage held) takes the buffered
// input; the old one is wiped as it is released. Shrinking always succeeds.
bool Connection::ResizeInput(size_t size) {
  if (!charge_.Set(size + chunkedReserved_)) return false;
  if (size > in_.size()) context_->bufferedFull.store(false, std::memory_order_relaxed);
  bool shrinks = size < in_.size();
  bool freesLarge = shrinks && in_.size() > kShrinkAbove;
  Har::Secret resized(size);
  std::memcpy(resized.data(), in_.data(), std::min(inLength_, size));
  in_ = std::move(resized);
  if (shrinks) TrimAfterLoad(*context_, freesLarge);
  return true;
}

// Grows the chunked body's storage geometrically (up to the body limit) ahead of what it holds.
bool Connection::ReserveChunkedBody(size_t size) {
  if (size <= chunkedReserved_) return true;
  size_t doubled = std::max(chunkedReserved_ * 2, kReadChunk);
  size_t limit = static_cast<size_t>(config_.httpBodySizeLimitInBytes);
  size_t reserved = std::max(size, std::min(doubled, limit));
  if (!charge_.Set(in_.size() + reserved)) return false;
  chunkedBody_.reserve(reserved);
  chunkedReserved_ = reserved;
  return true;
}

// Logged once until a buffer grows again, so a flood of refusals is one line.
void Connection::RefuseOverBudget() {
  if (!context_->bufferedFull.exchange(true, std::memory_order_relaxed)) {
    LogAt(log_, Log::kWarning, "Buffered input limit reached (", config_.maxBufferedBytes,
          " bytes): requests refused");
  }
  WriteCanned(kCanned503);
}

// ---- Idle registry ---------------------------------------------------------------------------

void Connection::EnterIdle() {
  if (!idleTicket_) idleTicket_ = context_->idle.Enter(weak_from_this());
}

bool Connection::LeaveIdle() {
  if (!idleTicket_) return true;
  bool stayed = context_->idle.Leave(*idleTicket_);
  idleTicket_.reset();
  return stayed;
}

void Connection::Evict() {
  net::post(executor_, [self = shared_from_this()] {
    LogAt(self->log_, Log::kDebug, "Idle connection closed to admit another");
    self->CloseSocket();
  });
}

// ---- Deadline --------------------------------------------------------------------------------

// One timer serves every deadline: it is re-armed only when the new deadline is earlier than the
// pending wake-up; a wake-up before the deadline re-arms it for the deadline.
void Connection::SetDeadline(Clock::time_point deadline) {
  deadline_ = deadline;
  if (deadline == Clock::time_point::max()) return;
  if (timerArmed_ && timer_.expiry() <= deadline) return;
  timer_.expires_at(deadline);
  timerArmed_ = true;
  uint64_t generation = ++timerGeneration_;
  timer_.async_wait(
      [self = shared_from_this(), generation](error_code ec) { self->OnTimer(ec, generation); });
}

void Connection::OnTimer(error_code ec, uint64_t generation) {
  if (generation != timerGeneration_) return;
  timerArmed_ = false;
  if (ec || !socket_.is_open() || deadline_ == Clock::time_point::max()) return;
  if (deadline_ <= Clock::now()) {
    LogAt(log_, Log::kDebug, "Connection timed out");
    CloseSocket();
    return;
  }
  SetDeadline(deadline_);
}

}  // namespace Mirel::Transport::PicoHttp
