#include <mirel/codec.h>
#include <mirel/errors.h>
#include <mirel/messages.h>

namespace Mirel {
namespace {

// A framework message with its text rendered from the framework's template.
Message FrameworkMessage(std::string_view id, std::map<std::string, std::string> args) {
  Message message{std::string(id), {}, std::move(args)};
  const char* templ = L10n::FrameworkTemplate(id);
  message.defaultMessage = L10n::Format(templ != nullptr ? templ : "", message.args);
  return message;
}

std::string JoinOperation(std::string_view serviceId, std::string_view operationId) {
  std::string full;
  full.reserve(serviceId.size() + operationId.size() + 1);
  full.append(serviceId).append(".").append(operationId);
  return full;
}

}  // namespace

ErrorValue MakeErrorValue(std::string_view type, std::vector<Message> messages) {
  return ErrorValue{std::string(type), std::move(messages)};
}

ErrorValue InvalidParamsError(std::string member) {
  return MakeErrorValue(
      ErrorTypes::kInvalidArgument,
      {FrameworkMessage(MessageIds::kInvalidParams, {{"member", std::move(member)}})});
}

ErrorValue OperationNotFoundError(std::string_view serviceId, std::string_view operationId) {
  return MakeErrorValue(ErrorTypes::kOperationNotFound,
                        {FrameworkMessage(MessageIds::kOperationNotFound,
                                          {{"operation", JoinOperation(serviceId, operationId)}})});
}

ErrorValue UnauthenticatedError() {
  return MakeErrorValue(ErrorTypes::kUnauthenticated,
                        {FrameworkMessage(MessageIds::kUnauthenticated, {})});
}

ErrorValue UnauthorizedError(std::string_view serviceId, std::string_view operationId) {
  return MakeErrorValue(ErrorTypes::kUnauthorized,
                        {FrameworkMessage(MessageIds::kUnauthorized,
                                          {{"operation", JoinOperation(serviceId, operationId)}})});
}

ErrorValue InternalServerError() {
  return MakeErrorValue(ErrorTypes::kInternalServerError,
                        {FrameworkMessage(MessageIds::kInternalServerError, {})});
}

ErrorValue InvalidRequestError(std::string reason) {
  return MakeErrorValue(ErrorTypes::kInvalidRequest,
                        {FrameworkMessage("com.velora.mirel.std.errors.invalid_request",
                                          {{"reason", std::move(reason)}})});
}

int JsonRpcCode(const ErrorValue& error) {
  if (error.type == ErrorTypes::kOperationNotFound) {
    return -32601;
  }
  if (error.type == ErrorTypes::kInternalServerError) {
    return -32603;
  }
  if (error.type == ErrorTypes::kInvalidRequest) {
    return -32600;
  }
  if (error.type == ErrorTypes::kInvalidArgument && !error.messages.empty() &&
      error.messages.front().id == MessageIds::kInvalidParams) {
    return -32602;
  }
  return -32000;
}

std::string ErrorText(const ErrorValue& error) {
  if (error.messages.empty()) {
    return error.type;
  }
  const Message& first = error.messages.front();
  return first.defaultMessage.empty() ? first.id : first.defaultMessage;
}

boost::json::value MessageToJson(const Message& message) {
  return Codec::EncodeMessage(message, {});
}

boost::json::value ErrorData(const ErrorValue& error) {
  boost::json::array messages;
  messages.reserve(error.messages.size());
  for (const auto& message : error.messages) {
    messages.push_back(MessageToJson(message));
  }
  return boost::json::object{{"type", error.type}, {"messages", std::move(messages)}};
}

}  // namespace Mirel
