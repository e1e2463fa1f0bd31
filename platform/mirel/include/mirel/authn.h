// Authentication stage of the call pipeline. An Authenticator (a token handler) looks at a call's
// context and answers: none (not its kind of caller), authentication data (a JSON object with at
// least "username" and "entitlements"), or an error that ends the call.
//
// AsyncAuthnFilter passes a call that already carries authentication data on unchanged. Otherwise
// it asks its handler: an error answers the call and no inner stage runs; data or none becomes the
// call's authentication data and the call goes on inwards.
#pragma once

#include <mirel/log.h>
#include <mirel/provider.h>

#include <boost/json/value.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

namespace Mirel::Authn {

// Members of the authentication data.
inline constexpr std::string_view kSubjectKey = "username";
inline constexpr std::string_view kEntitlementsKey = "entitlements";

class AuthnAnswer {
 public:
  static AuthnAnswer None() { return AuthnAnswer(std::monostate{}); }
  static AuthnAnswer Data(boost::json::value data) { return AuthnAnswer(std::move(data)); }
  static AuthnAnswer Failure(ErrorValue error) { return AuthnAnswer(std::move(error)); }

  bool IsNone() const { return std::holds_alternative<std::monostate>(answer_); }
  bool IsData() const { return std::holds_alternative<boost::json::value>(answer_); }
  bool IsFailure() const { return std::holds_alternative<ErrorValue>(answer_); }
  const boost::json::value& GetData() const { return std::get<boost::json::value>(answer_); }
  const ErrorValue& GetFailure() const { return std::get<ErrorValue>(answer_); }
  boost::json::value TakeData() { return std::move(std::get<boost::json::value>(answer_)); }
  ErrorValue TakeFailure() { return std::move(std::get<ErrorValue>(answer_)); }

 private:
  template <class V>
  explicit AuthnAnswer(V v) : answer_(std::move(v)) {}
  std::variant<std::monostate, boost::json::value, ErrorValue> answer_;
};

using AuthnCallback = std::function<void(AuthnAnswer)>;

class Authenticator {
 public:
  virtual ~Authenticator() = default;
  // Answers exactly once, on this thread or later on another. `ctx` is valid until this returns;
  // a handler that answers later copies what it needs first.
  virtual void Authenticate(const CallContext& ctx, AuthnCallback answer) = 0;
};

// The subject ("username") of authentication data, if it has one.
std::optional<std::string_view> SubjectOf(const std::optional<boost::json::value>& authData);

class AsyncAuthnFilter final : public ApiProvider {
 public:
  AsyncAuthnFilter(ApiProviderPtr inner, std::shared_ptr<Authenticator> handler,
                   std::shared_ptr<Log::Logger> logger = nullptr);
  void Invoke(std::shared_ptr<CallContext> ctx, ApiRequest request,
              CompletionCallback done) override;

 private:
  ApiProviderPtr inner_;
  std::shared_ptr<Authenticator> handler_;
  std::shared_ptr<Log::Logger> logger_;
};

}  // namespace Mirel::Authn
