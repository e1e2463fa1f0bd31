#include "session.h"

#include <qlkmipsimple.h>

namespace Qlkmip {
namespace {

Net::Outcome Connect(const ConnectionSpec& spec, Net::Fd* fd) {
  if (spec.proxyHost.empty()) {
    return Net::TcpConnect(spec.host, spec.port, Net::Deadline::In(spec.timeoutSeconds), fd);
  }
  Net::Outcome outcome = Net::TcpConnect(spec.proxyHost, spec.proxyPort,
                                         Net::Deadline::In(spec.timeoutSeconds), fd);
  if (!outcome.ok()) {
    outcome.text = "Proxy: " + outcome.text;
    return outcome;
  }
  return Net::ProxyConnect(fd->get(), spec.host, spec.port,
                           Net::Deadline::In(spec.timeoutSeconds));
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
  Net::Fd fd;
  outcome = Connect(spec, &fd);
  if (outcome.ok()) {
    outcome = channel->Handshake(std::move(fd), Net::Deadline::In(spec.timeoutSeconds),
                                 presentedPem);
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

Kmip::Reply Session::Exchange(const Kmip::Request& request) {
  const SecureBytes message = Kmip::EncodeRequest(request);
  const Net::Deadline deadline = Net::Deadline::In(timeoutSeconds_);
  Net::Outcome outcome = channel_->WriteAll(message.data(), message.size(), deadline);
  SecureBytes response(Ttlv::kHeaderSize);
  if (outcome.ok()) {
    outcome = channel_->ReadExact(response.data(), response.size(), deadline);
  }
  if (!outcome.ok()) {
    return Failed(outcome);
  }
  const Ttlv::Header header = Ttlv::ReadHeader(response.data());
  if (header.tag != Tag::ResponseMessage || header.type != 0x01 || header.length % 8 != 0) {
    return BadResponse("not a response message");
  }
  if (header.length > kMaxResponseSize - Ttlv::kHeaderSize) {
    return BadResponse("announced length " + std::to_string(header.length) + " exceeds the limit");
  }
  response.resize(Ttlv::kHeaderSize + header.length);
  outcome = channel_->ReadExact(response.data() + Ttlv::kHeaderSize, header.length, deadline);
  if (!outcome.ok()) {
    return Failed(outcome);
  }
  Ttlv::Item decoded;
  std::string error;
  Ttlv::Limits limits;
  limits.maxSize = kMaxResponseSize;
  if (!Ttlv::Decode(response.data(), response.size(), limits, &decoded, &error)) {
    return BadResponse(error);
  }
  return Kmip::InterpretResponse(decoded, request.operation);
}

void Session::Perform(const Kmip::Request& request, qlc_result* result) {
  std::lock_guard<std::mutex> lock(mutex_);
  Kmip::Reply reply;
  if (broken_) {
    reply = Failed(Net::Communication("The session failed earlier and is closed"));
  } else {
    reply = Exchange(request);
    // Any failure other than a well-formed answer leaves the stream in an unknown state.
    broken_ = reply.status != 0 && reply.status != QLC_KMIP_FAILURE;
  }
  result->status = reply.status;
  result->explain = std::move(reply.explain);
  if (reply.tree) {
    result->root = std::move(reply.tree);
  }
}

}  // namespace Qlkmip
