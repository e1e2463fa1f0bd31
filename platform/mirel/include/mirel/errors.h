// Error values of the framework: the error type identifiers, the six standard errors that services
// raise (structures holding messages), their adaptation into ErrorValue, the framework's own errors
// (invalid params, unknown operation, authentication and authorisation failures, internal failure)
// and the JSON forms used on the wire.
#pragma once

#include <mirel/provider.h>

#include <boost/json/value.hpp>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Mirel::ErrorTypes {
inline constexpr std::string_view kError = "com.velora.mirel.std.errors.error";
inline constexpr std::string_view kNotFound = "com.velora.mirel.std.errors.not_found";
inline constexpr std::string_view kInvalidArgument = "com.velora.mirel.std.errors.invalid_argument";
inline constexpr std::string_view kAlreadyExists = "com.velora.mirel.std.errors.already_exists";
inline constexpr std::string_view kUnsupported = "com.velora.mirel.std.errors.unsupported";
inline constexpr std::string_view kUnauthenticated = "com.velora.mirel.std.errors.unauthenticated";
inline constexpr std::string_view kUnauthorized = "com.velora.mirel.std.errors.unauthorized";
inline constexpr std::string_view kInternalServerError =
    "com.velora.mirel.std.errors.internal_server_error";
inline constexpr std::string_view kInvalidRequest = "com.velora.mirel.std.errors.invalid_request";
inline constexpr std::string_view kOperationNotFound =
    "com.velora.mirel.std.errors.operation_not_found";
}  // namespace Mirel::ErrorTypes

namespace Mirel::MessageIds {
inline constexpr std::string_view kInvalidParams = "com.velora.mirel.std.errors.invalid_params";
inline constexpr std::string_view kOperationNotFound =
    "com.velora.mirel.std.errors.operation_not_found";
inline constexpr std::string_view kUnauthenticated = "com.velora.mirel.std.errors.unauthenticated";
inline constexpr std::string_view kUnauthorized = "com.velora.mirel.std.errors.unauthorized";
inline constexpr std::string_view kInternalServerError =
    "com.velora.mirel.std.errors.internal_server_error";
inline constexpr std::string_view kNotFound = "com.velora.mirel.std.errors.not_found";
}  // namespace Mirel::MessageIds

namespace Com::Velora::Mirel::Std::Errors {

#define MIREL_STD_ERROR(Name, TypeId)                 \
  struct Name {                                       \
    static constexpr std::string_view kType = TypeId; \
    std::vector<::Mirel::Message> messages;           \
  };
MIREL_STD_ERROR(Error, ::Mirel::ErrorTypes::kError)
MIREL_STD_ERROR(NotFound, ::Mirel::ErrorTypes::kNotFound)
MIREL_STD_ERROR(InvalidArgument, ::Mirel::ErrorTypes::kInvalidArgument)
MIREL_STD_ERROR(AlreadyExists, ::Mirel::ErrorTypes::kAlreadyExists)
MIREL_STD_ERROR(Unsupported, ::Mirel::ErrorTypes::kUnsupported)
MIREL_STD_ERROR(Unauthenticated, ::Mirel::ErrorTypes::kUnauthenticated)
#undef MIREL_STD_ERROR

}  // namespace Com::Velora::Mirel::Std::Errors

namespace Mirel {

namespace Data {
// Turns a standard error structure into the error value that a result carries.
struct NativeToValueAdapter {
  template <class E>
  static ErrorValue Adapt(E error) {
    return ErrorValue{std::string(E::kType), std::move(error.messages)};
  }
};
}  // namespace Data

ErrorValue MakeErrorValue(std::string_view type, std::vector<Message> messages = {});

// The framework's own errors; their messages carry the rendered framework text.
ErrorValue InvalidParamsError(std::string member);  // type invalid_argument, arg "member"
ErrorValue OperationNotFoundError(std::string_view serviceId, std::string_view operationId);
ErrorValue UnauthenticatedError();
ErrorValue UnauthorizedError(std::string_view serviceId, std::string_view operationId);
ErrorValue InternalServerError();
ErrorValue InvalidRequestError(std::string reason);

// The JSON-RPC error code of an error value: -32601 operation_not_found, -32602 invalid params,
// -32603 internal_server_error, -32600 invalid_request, -32000 otherwise.
int JsonRpcCode(const ErrorValue& error);
// Text of JSON-RPC "error.message": the first message's text, or the type when it has none.
std::string ErrorText(const ErrorValue& error);
// {"type": ..., "messages": [...]}: the "data" member of the standard answer and the clean answer.
boost::json::value ErrorData(const ErrorValue& error);
boost::json::value MessageToJson(const Message& message);

}  // namespace Mirel

// Code inside namespace Com::Velora finds Com::Velora::Mirel (above) when it writes "Mirel::";
// these names lead such code to the framework's own.
namespace Mirel {
template <class T>
class AsyncResult;
class NamedMessageBuilder;
namespace L10n {}
namespace Codec {}
namespace Binding {}
namespace Log {}
namespace Authn {}
namespace Authz {}
}  // namespace Mirel

namespace Com::Velora::Mirel {
using ::Mirel::ApiProvider;
using ::Mirel::AsyncResult;
using ::Mirel::CallContext;
using ::Mirel::ErrorValue;
using ::Mirel::InternalServerError;
using ::Mirel::InvalidParamsError;
using ::Mirel::MakeErrorValue;
using ::Mirel::Message;
using ::Mirel::MethodResult;
using ::Mirel::NamedMessageBuilder;
namespace Authn = ::Mirel::Authn;
namespace Authz = ::Mirel::Authz;
namespace Binding = ::Mirel::Binding;
namespace Codec = ::Mirel::Codec;
namespace Data = ::Mirel::Data;
namespace ErrorTypes = ::Mirel::ErrorTypes;
namespace L10n = ::Mirel::L10n;
namespace Log = ::Mirel::Log;
namespace MessageIds = ::Mirel::MessageIds;
}  // namespace Com::Velora::Mirel
