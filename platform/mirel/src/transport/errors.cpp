#include <mirel/transport/errors.h>

namespace Mirel::Transport::PicoHttp {
namespace {

class TransportCategoryImpl final : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "Mirel Transport PicoHttp"; }
  std::string message(int value) const override {
    switch (static_cast<TransportError>(value)) {
      case TransportError::kHeadersParse:
        return "headers parse error";
      case TransportError::kChunkParse:
        return "chunk parse error";
      case TransportError::kHttpProtocol:
        return "http protocol error";
      case TransportError::kListenFailed:
        return "server failed to listen";
      case TransportError::kInvalidRequest:
        return "invalid request";
      case TransportError::kIncompleteBody:
        return "incomplete body";
      case TransportError::kHeadersTooLong:
        return "http headers too long";
      case TransportError::kTransport:
        return "transport error";
      case TransportError::kFrameParse:
        return "frame parse error";
      case TransportError::kMessageTooLong:
        return "message too long";
      case TransportError::kEndOfBody:
        return "end of body";
    }
    return "unknown transport error";
  }
};

class HttpCategoryImpl final : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "Mirel Transport Http"; }
  std::string message(int value) const override {
    switch (static_cast<HttpError>(value)) {
      case HttpError::kSendFailed:
        return "mirel.send.failed";
      case HttpError::kRecvFailed:
        return "mirel.recv.failed";
    }
    return "unknown http error";
  }
};

}  // namespace

const boost::system::error_category& TransportCategory() {
  static const TransportCategoryImpl category;
  return category;
}

const boost::system::error_category& HttpCategory() {
  static const HttpCategoryImpl category;
  return category;
}

boost::system::error_code make_error_code(TransportError e) {
  return {static_cast<int>(e), TransportCategory()};
}

boost::system::error_code make_error_code(HttpError e) {
  return {static_cast<int>(e), HttpCategory()};
}

std::string StringOfError(const boost::system::error_code& ec) {
  return ec.message() + ":" + std::to_string(ec.value());
}

}  // namespace Mirel::Transport::PicoHttp
