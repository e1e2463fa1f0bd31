#include "authn/kms_auth_token_handler.h"

#include "configstore/provider_config.h"

#include <harlibs/clock.h>
#include <harlibs/secure.h>
#include <harlibs/wiping_json.h>
#include <harlockpp/harlockpp.h>
#include <tokenauthn/jwt_ptr.h>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <jwt.h>

#include <cerrno>

namespace Zyld::Authn {
namespace {

using Ovik::Authn::AuthnAnswer;

// Guards every handler's cached key; created with the process.
Har::RWLock kmsAuthLock("kms-auth-lock", 0xff000000u);

constexpr size_t kMaxTokenBytes = 16 * 1024;
constexpr const char* kIssuerMarker = "/attestation";
constexpr std::string_view kAudiencePrefix = "zyld";
constexpr const char* kEntitlement = "@ATTEST+KEY_OPERATIONS";

// Host levels 2 and 6 through the framework's log bridge.
constexpr int kLogError = Mirel::Log::kError;
constexpr int kLogDebug = Mirel::Log::kDebug;

using Ovik::Authn::JwtPtr;

std::string TextGrant(jwt_t* jwt, const char* name) {
  const char* value = jwt_get_grant(jwt, name);
  return value != nullptr ? std::string(value) : std::string();
}

AttestationClaims ClaimsOf(jwt_t* jwt) {
  AttestationClaims claims;
  claims.alg = static_cast<int>(jwt_get_alg(jwt));
  const long exp = jwt_get_grant_int(jwt, "exp");
  claims.exp = exp > 0 ? static_cast<int64_t>(exp) : 0;
  claims.nbf = Ovik::Authn::ClaimJson(jwt, "nbf");
  claims.iat = Ovik::Authn::ClaimJson(jwt, "iat");
  claims.iss = TextGrant(jwt, "iss");
  claims.aud = TextGrant(jwt, "aud");
  return claims;
}

// The data carries a copy of the bearer token: its storage is wiped when the call's context
// releases it.
boost::json::value AuthenticationData(std::string_view token) {
  return boost::json::object({{"accessToken", token},
                              {Mirel::Authn::kSubjectKey, kAttestationUser},
                              {Ovik::Authn::ENTITLEMENTS_GRANTS, boost::json::array{kEntitlement}}},
                             Har::WipingJsonStorage());
}

}  // namespace

KmsAuthTokenHandler::KmsAuthTokenHandler(std::shared_ptr<Mirel::Log::Logger> logger)
    : KmsAuthTokenHandler(std::move(logger), Options{}) {}

KmsAuthTokenHandler::KmsAuthTokenHandler(std::shared_ptr<Mirel::Log::Logger> logger,
                                         Options options)
    : logger_(std::move(logger)),
      loadKey_(options.loadKey ? std::move(options.loadKey) : KeyLoader(&LoadProofdPublicKey)),
      now_(options.now ? std::move(options.now) : Clock(&HarClock_GetTimeOfDay)),
      cache_(options.cache) {}

KmsAuthTokenHandler::~KmsAuthTokenHandler() = default;

bool KmsAuthTokenHandler::LoadProofdPublicKey(std::string& key) {
  return ProviderConfig::GetAttestationPublicKey(key);
}

void KmsAuthTokenHandler::Authenticate(const Mirel::CallContext& ctx,
                                       Ovik::Authn::AuthnCallback answer) {
  std::optional<std::string_view> token;
  if (ctx.accessToken) {
    token = ctx.accessToken->view();
  }
  answer(Check(token, &ctx));
}

AuthnAnswer KmsAuthTokenHandler::Check(std::optional<std::string_view> token) {
  return Check(token, nullptr);
}

AuthnAnswer KmsAuthTokenHandler::Check(std::optional<std::string_view> token,
                                       const Mirel::CallContext* ctx) {
  if (!EnsureKey()) {
    Log(kLogError, "Error retrieving proofd pubkey");
    return AuthnAnswer::None();
  }
  if (!token || token->empty()) {
    Log(kLogDebug, "OAuth security context is invalid");
    return AuthnAnswer::None();
  }
  const Ovik::Authn::Digest digest =
      ctx != nullptr ? Ovik::Authn::AccessTokenDigest(*ctx) : Ovik::Authn::Sha256Digest(*token);
  bool fromCache = false;
  const ClaimsPtr claims = Verify(*token, digest, fromCache);
  if (!claims) {
    Log(kLogDebug, "Not an attestation token");
    return AuthnAnswer::None();
  }
  if (!ClaimsAccepted(*claims)) {
    if (fromCache) {
      cache_.Erase(keyId_, digest);  // expired since: no use keeping it
    }
    return Reject();
  }
  if (!fromCache) {
    cache_.PutVerified(keyId_, digest, claims);
  }
  return AuthnAnswer::Data(AuthenticationData(*token));
}

bool KmsAuthTokenHandler::EnsureKey() {
  {
    Har::ReadGuard read(kmsAuthLock);
    if (!key_.empty()) {
      return true;
    }
  }
  Har::WriteGuard write(kmsAuthLock);
  if (!key_.empty()) {
    return true;  // another call loaded it meanwhile
  }
  std::string key;
  if (!loadKey_(key) || key.empty()) {
    return false;
  }
  key_ = std::move(key);
  keyId_ = Ovik::Authn::Sha256Digest(key_);
  Log(kLogDebug, "Successfully cached proofd public key");
  return true;
}

KmsAuthTokenHandler::ClaimsPtr KmsAuthTokenHandler::Verify(std::string_view token,
                                                           const Ovik::Authn::Digest& tokenDigest,
                                                           bool& fromCache) {
  // The key never changes once loaded; the read lock still keeps it steady while in use.
  Har::ReadGuard read(kmsAuthLock);
  if (auto hit = cache_.Find(keyId_, tokenDigest); hit && hit->verified) {
    fromCache = true;
    return hit->claims;
  }
  fromCache = false;
  if (token.size() > kMaxTokenBytes) {
    return nullptr;
  }
  const Har::Secret text(token);  // terminated for libjwt
  jwt_t* raw = nullptr;
  const int rc = jwt_decode(&raw, text.c_str(), reinterpret_cast<const unsigned char*>(key_.data()),
                            static_cast<int>(key_.size()));
  const JwtPtr jwt(raw);
  if (rc != 0 || !jwt) {
    return nullptr;
  }
  return std::make_shared<const AttestationClaims>(ClaimsOf(jwt.get()));
}

bool KmsAuthTokenHandler::ClaimsAccepted(const AttestationClaims& claims) const {
  if (claims.alg != JWT_ALG_RS256) {
    Log(kLogError, "Token algorithm is invalid: ", std::to_string(claims.alg));
    return false;
  }
  const int64_t nowSeconds = static_cast<int64_t>(now_() / 1000000u);
  if (nowSeconds > claims.exp) {
    Log(kLogError, "Token is expired");
    return false;
  }
  if (!Ovik::Authn::TimeClaimsCame(claims.nbf, claims.iat, nowSeconds)) {
    Log(kLogError, "Token is not yet valid");
    return false;
  }
  if (claims.iss.find(kIssuerMarker) == std::string::npos) {
    Log(kLogError, "Jwt issuer grant is invalid: ", claims.iss);
    return false;
  }
  if (claims.aud.compare(0, kAudiencePrefix.size(), kAudiencePrefix) != 0) {
    Log(kLogError, "Jwt aud grant is invalid: ", claims.aud);
    return false;
  }
  return true;
}

AuthnAnswer KmsAuthTokenHandler::Reject() const {
  Log(kLogError, "Attestation token validation failed");
  return AuthnAnswer::Failure(Ovik::Authn::InvalidTokenError());
}

void KmsAuthTokenHandler::Log(int level, std::string_view text, std::string_view value) const {
  if (logger_) {
    MIREL_LOG(logger_, level) << text << value << '\n';
  }
}

}  // namespace Zyld::Authn
