#include "session.h"

#include <qlkmipsimple.h>

namespace Qlkmip {
namespace {

Net::Outcome Connect(const ConnectionSpec& spec, const Net::Deadline& deadline, Net::Fd* fd) {
  if (spec.proxyHost.empty()) {
    return Net::TcpConnect(spec.host, spec.port, deadline, fd);
  }
  Net::Outcome outcome = Net::TcpConnect(spec.proxyHost, spec.proxyPort, deadline, fd);
  if (!outcome.ok()) {
    outcome.text = "Proxy: " + outcome.text;
    return outcome;
  }
  return Net::ProxyConnect(fd->get(), spec.host, spec.port, deadline);
}

Kmip::Reply Failed(const Net::Outcome& outcome) {
  Kmip::Reply reply;
  reply.status = outcome.code;
  reply.explain = outcome.text;
  return reply;
}

Kmip::Reply BadResponse(std::string text) {
  Kmip::Reply reply;
  reply.status = QLC_BAD_RESPONSE;
  reply.explain = "Malformed KMIP response: " + std::move(text);
  return reply;
}

}  // namespace

Net::Outcome Session::Open(const ConnectionSpec& spec, std::unique_ptr<Session>* out,
                           std::string* presentedPem) {
  std::unique_ptr<TlsChannel> channel;
  Net::Outcome outcome = TlsChannel::Prepare(spec, &channel);
  if (!outcome.ok()) {
    return outcome;
  }
  // One deadline for the whole opening, so that a slow connect cannot lengthen the handshake's.
  const Net::Deadline deadline = Net::Deadline::In(spec.timeoutSeconds);
  Net::Fd fd;
  outcome = Connect(spec, deadline, &fd);
  if (outcome.ok()) {
    outcome = channel->Handshake(std::move(fd), deadline, presentedPem);
  }
  if (outcome.ok()) {
    *out = std::make_unique<Session>(std::move(channel), spec.timeoutSeconds);
  } else if (outcome.code == QLC_TIMEOUT || outcome.code == QLC_COMMUNICATION) {
    outcome.text = "Cannot open a session with " + spec.host + ":" + std::to_string(spec.port) +
                   ": " + outcome.text;
  }
  return outcome;
}

Session::Session(std::unique_ptr<TlsChannel> channel, int timeoutSeconds)
    : channel_(std::move(channel)), timeoutSeconds_(timeoutSeconds) {}

Kmip::Reply Session::RoundTrip(const Har::Secret& message, Ttlv::Item* decoded) {
  const Net::Deadline deadline = Net::Deadline::In(timeoutSeconds_);
  Net::Outcome outcome = channel_->WriteAll(message.bytes(), message.size(), deadline);
  Har::Secret response(Ttlv::kHeaderSize);
  if (outcome.ok()) {
    outcome = channel_->ReadExact(response.bytes(), response.size(), deadline);
  }
  if (!outcome.ok()) {
    return Failed(outcome);
  }
  const Ttlv::Header header = Ttlv::ReadHeader(response.bytes());
  if (header.tag != Tag::ResponseMessage || header.type != 0x01 || header.length % 8 != 0) {
    return BadResponse("not a response message");
  }
  if (header.length > kMaxResponseSize - Ttlv::kHeaderSize) {
    return BadResponse("announced length " + std::to_string(header.length) + " exceeds the limit");
  }
  response.resize(Ttlv::kHeaderSize + header.length);
  outcome = channel_->ReadExact(response.bytes() + Ttlv::kHeaderSize, header.length, deadline);
  if (!outcome.ok()) {
    return Failed(outcome);
  }
  Ttlv::Limits limits;
  limits.maxSize = kMaxResponseSize;
  if (const Har::Status s = Ttlv::Decode(response.bytes(), response.size(), limits, decoded); !s) {
    return BadResponse(s.message());
  }
  return Kmip::Reply{};
}

Kmip::Reply Session::Exchange(const Kmip::Request& request) {
  Ttlv::Item decoded;
  Kmip::Reply reply = RoundTrip(Kmip::EncodeRequest(request), &decoded);
  return reply.status != 0 ? std::move(reply) : Kmip::InterpretResponse(decoded, request.operation);
}

Kmip::Reply Session::ExchangeGetWithState(const Kmip::Request& get) {
  Ttlv::Item decoded;
  Kmip::Reply reply = RoundTrip(Kmip::EncodeGetWithState(get), &decoded);
  if (reply.status != 0) {
    return reply;
  }
  Kmip::PairedReply paired = Kmip::InterpretGetWithState(decoded);
  if (paired.state) {
    KeptState kept{get, std::move(*paired.state)};
    kept.query.operation = Kmip::Operation::GetAttributes;
    kept_ = std::move(kept);
  }
  return std::move(paired.get);
}

bool Session::KeptState::Answers(const Kmip::Request& request) const {
  return request.operation == query.operation && request.uniqueId == query.uniqueId &&
         request.withCredential == query.withCredential &&
         (!request.withCredential ||
          (request.username == query.username && request.password == query.password));
}

void Session::Perform(const Kmip::Request& request, qlc_result* result) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<KeptState> kept = std::move(kept_);
  kept_.reset();
  Kmip::Reply reply;
  if (broken_) {
    reply = Failed(Net::Communication("The session failed earlier and is closed"));
  } else if (kept && kept->Answers(request)) {
    reply = std::move(kept->reply);
  } else {
    reply = request.operation == Kmip::Operation::Get ? ExchangeGetWithState(request)
                                                      : Exchange(request);
    // Any failure other than a well-formed answer leaves the stream in an unknown state.
    broken_ = reply.status != 0 && reply.status != QLC_KMIP_FAILURE;
    if (broken_) {
      kept_.reset();
    }
  }
  result->status = reply.status;
  result->explain = std::move(reply.explain);
  if (reply.tree) {
    result->root = std::move(reply.tree);
  }
}

}  // namespace Qlkmip
