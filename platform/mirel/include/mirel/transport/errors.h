// Error codes of the HTTP transport. Transport failures (category "Mirel Transport PicoHttp") close
// the connection after the transport error response when it can still be written; the completion
// reports of failed sends and receives form the category "Mirel Transport Http".
#pragma once

#include <boost/system/error_code.hpp>

#include <string>
#include <type_traits>

namespace Mirel::Transport::PicoHttp {

enum class TransportError {
  kHeadersParse = 1,
  kChunkParse,
  kHttpProtocol,
  kListenFailed,
  kInvalidRequest,
  kIncompleteBody,
  kHeadersTooLong,
  kTransport,
  kFrameParse,
  kMessageTooLong,
  kEndOfBody,
};

enum class HttpError {
  kSendFailed = 1,  // "mirel.send.failed"
  kRecvFailed,      // "mirel.recv.failed"
};

const boost::system::error_category& TransportCategory();
const boost::system::error_category& HttpCategory();

boost::system::error_code make_error_code(TransportError e);
boost::system::error_code make_error_code(HttpError e);

// Text of an error code as the transport logs it: the message, ":", the number.
std::string StringOfError(const boost::system::error_code& ec);

}  // namespace Mirel::Transport::PicoHttp

namespace boost::system {
template <>
struct is_error_code_enum<Mirel::Transport::PicoHttp::TransportError> : std::true_type {};
template <>
struct is_error_code_enum<Mirel::Transport::PicoHttp::HttpError> : std::true_type {};
}  // namespace boost::system
