// Zyld::Authn::KmsAuthTokenHandler: authenticates calls that carry an attestation token of the
// host's attestation daemon (proofd). Answers, exactly once per call: none when the call has no
// bearer token, when proofd's public key cannot be loaded, or when the token does not verify with
// that key (not this handler's kind); Unauthenticated (invalid_token) when a token that verifies
// is not RS256, has expired ("exp" absent or negative counts as 0; a token is good through the
// second of its "exp"), is not yet valid (Ovik::Authn::TimeClaimsCame on "nbf" and "iat"), has an
// "iss" without "/attestation" or an "aud" not beginning with "zyld";
// otherwise {"accessToken": token, "username": "<ATTEST>", "entitlements":
// ["@ATTEST+KEY_OPERATIONS"]}.
//
// The key comes from proofd's certificate in the configuration store, loaded by the first call
// that finds it missing (under the process-wide "kms-auth-lock" taken for writing) and kept for
// the life of the handler; a failed load is tried again by the next call. Tokens that verified and
// passed every claim are remembered in a verification cache, so a repeated token skips the
// signature check; its expiry is still checked on every call. Thread-safe.
#pragma once

#include <mirel/log.h>
#include <tokenauthn/token_handler.h>
#include <tokenauthn/verify_cache.h>

#include <boost/json/value.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace Zyld::Authn {

// The user name of every attestation-token caller.
inline constexpr const char* kAttestationUser = "<ATTEST>";

// What the checks need of a token that verified.
struct AttestationClaims {
  int alg = 0;             // jwt_alg_t
  int64_t exp = 0;         // seconds since the epoch; 0 when absent or negative
  boost::json::value nbf;  // as in the token; null when absent
  boost::json::value iat;  // likewise
  std::string iss;         // empty when absent or not a text
  std::string aud;         // likewise
};

class KmsAuthTokenHandler final : public Ovik::Authn::TokenHandler {
 public:
  // Loads proofd's public key (PEM); false when there is none.
  using KeyLoader = std::function<bool(std::string& key)>;
  // The current time in microseconds since the epoch.
  using Clock = std::function<uint64_t()>;

  struct Options {
    KeyLoader loadKey;  // default: LoadProofdPublicKey
    Clock now;          // default: HarClock_GetTimeOfDay
    Ovik::Authn::VerifyCacheOptions cache;
  };

  explicit KmsAuthTokenHandler(std::shared_ptr<Mirel::Log::Logger> logger);
  KmsAuthTokenHandler(std::shared_ptr<Mirel::Log::Logger> logger, Options options);
  ~KmsAuthTokenHandler() override;

  void Authenticate(const Mirel::CallContext& ctx, Ovik::Authn::AuthnCallback answer) override;

  // The same decision as a value (what Authenticate answers for a call with that bearer token).
  Ovik::Authn::AuthnAnswer Check(std::optional<std::string_view> token);

  // Reads proofd's certificate from the configuration store and extracts its public key.
  static bool LoadProofdPublicKey(std::string& key);

  // Tokens currently remembered as verified.
  size_t CachedTokens() const { return cache_.Size(); }

 private:
  using ClaimsPtr = std::shared_ptr<const AttestationClaims>;

  // Check, with the token's digest taken from the call's context when there is one.
  Ovik::Authn::AuthnAnswer Check(std::optional<std::string_view> token,
                                 const Mirel::CallContext* ctx);
  bool EnsureKey();
  // The claims of a token that verifies with the key (from the cache or a fresh verification),
  // or null when it does not; sets fromCache accordingly.
  ClaimsPtr Verify(std::string_view token, const Ovik::Authn::Digest& tokenDigest, bool& fromCache);
  bool ClaimsAccepted(const AttestationClaims& claims) const;
  Ovik::Authn::AuthnAnswer Reject() const;
  // Writes text, value and a line end when the level is enabled.
  void Log(int level, std::string_view text, std::string_view value = {}) const;

  std::shared_ptr<Mirel::Log::Logger> logger_;
  KeyLoader loadKey_;
  Clock now_;
  std::string key_;  // guarded by the process-wide lock; empty until loaded
  Ovik::Authn::Digest keyId_{};
  Ovik::Authn::VerifyCache<AttestationClaims> cache_;
};

}  // namespace Zyld::Authn
