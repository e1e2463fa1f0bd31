// The call interface between the HTTP transport and the API provider (and between the stages of
// the call pipeline). A request is one decoded JSON-RPC call; its answer is delivered exactly once
// through the completion callback, with a result value or an error value.
#pragma once

#include <harlibs/secure.h>
#include <harlibs/wiping_json.h>

#include <boost/json/value.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Mirel {

// A localizable message: catalogue identifier, English template (may be empty until rendered) and
// named arguments. Rendering replaces every "{name}" of the template with the argument.
struct Message {
  std::string id;
  std::string defaultMessage;
  std::map<std::string, std::string> args;
};

// An error answer: the error type (e.g. "com.velora.mirel.std.errors.not_found") and its messages.
struct ErrorValue {
  std::string type;
  std::vector<Message> messages;
};

// What a call answers: exactly one of a value (JSON null for operations without a result) or an
// error.
struct MethodResult {
  std::optional<boost::json::value> value;
  std::optional<ErrorValue> error;

  static MethodResult Value(boost::json::value v) { return {std::move(v), std::nullopt}; }
  static MethodResult Error(ErrorValue e) { return {std::nullopt, std::move(e)}; }
  bool IsError() const { return error.has_value(); }
};

using Headers = std::vector<std::pair<std::string, std::string>>;  // lower-case names, sorted

// The decoded JSON-RPC request.
struct ApiRequest {
  boost::json::value id;    // echoed in the answer
  std::string serviceId;    // e.g. "com.velora.ovik.kms.key_operation"
  std::string operationId;  // e.g. "generate_key"
  // Object, or null when absent. Its storage wipes every block it releases: params can carry
  // passwords, keys and whole configurations.
  boost::json::value params = boost::json::value(Har::WipingJsonStorage());
};

// Per-call state shared by the pipeline stages: request headers, the locale, the bearer token and
// the authentication data that an authentication stage attached.
struct CallContext {
  Headers headers;
  std::string locale = "en_US";
  std::optional<Har::Secret> accessToken;  // from "Authorization: Bearer <token>"
  // SHA-256 of accessToken, kept by the first authentication stage that needs it so that the
  // others do not hash the token again.
  mutable std::optional<std::array<uint8_t, 32>> accessTokenDigest;
  std::optional<boost::json::value> authData;     // set by an authentication stage
  std::map<std::string, std::string> attributes;  // extra audit items put by stages
};

using CompletionCallback = std::function<void(MethodResult)>;

class ApiProvider {
 public:
  virtual ~ApiProvider() = default;
  // Must complete `done` exactly once, on this thread or later on another.
  virtual void Invoke(std::shared_ptr<CallContext> ctx, ApiRequest request,
                      CompletionCallback done) = 0;
};

using ApiProviderPtr = std::shared_ptr<ApiProvider>;

}  // namespace Mirel
