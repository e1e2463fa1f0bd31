// Token handlers: the authentication side of the call pipeline. A TokenHandler looks at the
// bearer token of a call and answers through its callback, exactly once: none (not a token of its
// kind), authentication data {"username": ..., "entitlements": [...]}, or an error value that ends
// the call (Mirel::Authn::AuthnAnswer).
//
// HostTokenHandler accepts the host's administration tokens: JWTs signed RS256 or ES256 with the
// key of the PEM certificate that `CertificateReader` returns (read on every call, so a replaced
// certificate takes effect at once). A token that does not verify with that key, or uses another
// algorithm, is not its kind (none). A verified token must have "aud" "zyld" (or a list holding
// it), an "exp" that has not passed, a string "sub" (the user name) and a string-list claim
// "entitlements"; failing any of these answers Unauthenticated.
#pragma once

#include <mirel/authn.h>
#include <mirel/log.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace Ovik::Authn {

inline constexpr const char* ENTITLEMENTS_GRANTS = "entitlements";
inline constexpr const char* kInvalidTokenMessageId =
    "com.velora.ovik.kms.authentication.invalid_token";

using AuthnAnswer = Mirel::Authn::AuthnAnswer;
using AuthnCallback = Mirel::Authn::AuthnCallback;

class TokenHandler : public Mirel::Authn::Authenticator {
 public:
  ~TokenHandler() override = default;
  void Authenticate(const Mirel::CallContext& ctx, AuthnCallback answer) override = 0;
};

// Returns the PEM certificate text, or nullopt when there is none.
using CertificateReader = std::function<std::optional<std::string>()>;

class HostTokenHandler final : public TokenHandler {
 public:
  HostTokenHandler(CertificateReader reader, std::shared_ptr<Mirel::Log::Logger> logger);
  void Authenticate(const Mirel::CallContext& ctx, AuthnCallback answer) override;

  // The same decision as a value (what Authenticate answers).
  AuthnAnswer Check(const std::string& token) const;

 private:
  CertificateReader reader_;
  std::shared_ptr<Mirel::Log::Logger> logger_;
};

// The Unauthenticated error value carrying the invalid-token message.
Mirel::ErrorValue InvalidTokenError();

}  // namespace Ovik::Authn
