// Token handlers: the authentication side of the call pipeline. A TokenHandler looks at the
// bearer token of a call and answers through its callback, exactly once: none (not a token of its
// kind), authentication data {"username": ..., "entitlements": [...]}, or an error value that ends
// the call (Mirel::Authn::AuthnAnswer).
//
// HostTokenHandler accepts the host's administration tokens: JWTs signed RS256 or ES256 with the
// key of the PEM certificate that `CertificateReader` returns (asked for on every call, so a
// replaced certificate takes effect as soon as the reader returns it). A token that does not verify
// with that key, or uses another algorithm, is not its kind (none). A verified token must have
// "aud" "zyld" (or a list holding it), an "exp" that has not passed, "nbf" and "iat" (when present)
// that have come (see TimeClaimsCame), a string "sub" (the user name) and a string-list claim
// "entitlements"; failing any of these answers Unauthenticated.
//
// Every call passes this handler first, so repeated work is remembered: the key extracted from the
// last certificate text read (extracted again only when the text changes), and two bounded
// verification caches keyed by that key's identity and the token's digest: tokens that verified
// and passed every claim (their claims are checked again on each use, so expiry still applies),
// and tokens that are not its kind (they do not verify with the key, or use another algorithm).
// The two are kept apart so that a flood of foreign tokens cannot push out accepted ones. Tokens
// that verify but fail a claim, and failures for want of resources, are not remembered. A
// replaced key retires every outcome remembered for the old one. A missing or unusable certificate
// is logged when it becomes so, and its return when it becomes usable again, not on every call.
// Thread-safe.
#pragma once

#include <mirel/authn.h>
#include <mirel/log.h>
#include <tokenauthn/verify_cache.h>

#include <boost/json/value.hpp>
#include <jwt.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace Ovik::Authn {

inline constexpr const char* ENTITLEMENTS_GRANTS = "entitlements";
inline constexpr const char* kInvalidTokenMessageId =
    "com.velora.ovik.kms.authentication.invalid_token";

// How far a token's "nbf" or "iat" may lie ahead of this host's clock: the clock of the host that
// minted the token may run a little ahead of ours.
inline constexpr int64_t kClockSkewSeconds = 60;

// Whether a token with these "nbf" and "iat" claims (as they appear in it; null when absent) may
// be used at `now` (seconds since the epoch): each is absent, or an integer no later than
// now + kClockSkewSeconds. Any other value (a text, a fraction) refuses the token.
bool TimeClaimsCame(const boost::json::value& nbf, const boost::json::value& iat, int64_t now);

// A claim of a decoded token as JSON (null when absent or malformed).
boost::json::value ClaimJson(jwt_t* jwt, const char* name);

using AuthnAnswer = Mirel::Authn::AuthnAnswer;
using AuthnCallback = Mirel::Authn::AuthnCallback;

class TokenHandler : public Mirel::Authn::Authenticator {
 public:
  ~TokenHandler() override = default;
  void Authenticate(const Mirel::CallContext& ctx, AuthnCallback answer) override = 0;
};

// SHA-256 of the call's bearer token (which must be present), computed by the first caller and
// kept in the context for the others.
Digest AccessTokenDigest(const Mirel::CallContext& ctx);

// Returns the PEM certificate text, or null when there is none. A reader that keeps the text
// between calls returns the same object while it is unchanged; the handler then knows it without
// comparing the texts.
using CertificateText = std::shared_ptr<const std::string>;
using CertificateReader = std::function<CertificateText()>;

// What the claim checks need of a token that verified: the claims as they appear in it (null
// when absent).
struct HostTokenClaims {
  int alg = 0;  // jwt_alg_t
  boost::json::value aud;
  boost::json::value exp;
  boost::json::value nbf;
  boost::json::value iat;
  boost::json::value sub;
  boost::json::value entitlements;
};

class HostTokenHandler final : public TokenHandler {
 public:
  // The current time in seconds since the epoch.
  using Clock = std::function<int64_t()>;

  struct Options {
    Clock now;                    // default: std::time
    VerifyCacheOptions accepted;  // tokens that passed every check
    VerifyCacheOptions foreign;   // tokens that are not this handler's kind
  };

  HostTokenHandler(CertificateReader reader, std::shared_ptr<Mirel::Log::Logger> logger);
  HostTokenHandler(CertificateReader reader, std::shared_ptr<Mirel::Log::Logger> logger,
                   Options options);
  ~HostTokenHandler() override;

  void Authenticate(const Mirel::CallContext& ctx, AuthnCallback answer) override;

  // The same decision as a value (what Authenticate answers).
  AuthnAnswer Check(std::string_view token) const;

  // Tokens currently remembered as accepted, and as not this handler's kind.
  size_t CachedAccepted() const { return accepted_.Size(); }
  size_t CachedForeign() const { return foreign_.Size(); }

 private:
  struct Key;
  using ClaimsPtr = std::shared_ptr<const HostTokenClaims>;
  enum class CertificateState { kUnknown, kUsable, kUnusable };

  // Check, with the token's digest taken from the call's context when there is one.
  AuthnAnswer Check(std::string_view token, const Mirel::CallContext* ctx) const;
  // The key of the certificate now in the store, or null when there is no usable one.
  std::shared_ptr<const Key> CurrentKey() const;
  // Logs changes only: the first call without a usable certificate, and the first with one after.
  void NoteCertificateUsable(bool usable) const;
  // Verifies the token with the key; remembers a deterministic "not its kind".
  ClaimsPtr Verify(const Key& key, std::string_view token, const Digest& tokenId) const;
  // The answer for claims of a verified token (data, or Unauthenticated).
  AuthnAnswer Decide(const HostTokenClaims& claims) const;
  AuthnAnswer Reject(const char* why) const;

  CertificateReader reader_;
  std::shared_ptr<Mirel::Log::Logger> logger_;
  Clock now_;
  mutable std::mutex keyMutex_;
  mutable std::shared_ptr<const Key> key_;  // the last key extracted; guarded by keyMutex_
  mutable std::atomic<CertificateState> certificateState_{CertificateState::kUnknown};
  mutable VerifyCache<HostTokenClaims> accepted_;
  mutable VerifyCache<HostTokenClaims> foreign_;
};

// The Unauthenticated error value carrying the invalid-token message.
Mirel::ErrorValue InvalidTokenError();

}  // namespace Ovik::Authn
