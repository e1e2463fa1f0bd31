#include <tokenauthn/token_handler.h>

#include <tokenauthn/jwt_ptr.h>

#include <harlibs/openssl_ptr.h>
#include <harlibs/secure.h>

#include <mirel/errors.h>

#include <boost/json/parse.hpp>
#include <jwt.h>
#include <openssl/pem.h>

#include <cerrno>
#include <ctime>
#include <memory>

namespace Ovik::Authn {
namespace {

constexpr size_t kMaxTokenBytes = 16 * 1024;
constexpr size_t kMaxCertificateBytes = 64 * 1024;
constexpr const char* kAudience = "zyld";

// The "-----BEGIN PUBLIC KEY-----" text of the certificate's key, or empty.
std::string PublicKeyPem(const std::string& certificatePem) {
  if (certificatePem.empty() || certificatePem.size() > kMaxCertificateBytes) {
    return {};
  }
  Har::BioPtr in(BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())));
  Har::X509Ptr cert(in ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert) {
    return {};
  }
  EVP_PKEY* key = X509_get0_pubkey(cert.get());
  Har::BioPtr out(BIO_new(BIO_s_mem()));
  if (key == nullptr || !out || PEM_write_bio_PUBKEY(out.get(), key) != 1) {
    return {};
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(out.get(), &data);
  return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

bool AudienceMatches(const boost::json::value& aud) {
  if (const auto* text = aud.if_string()) {
    return *text == kAudience;
  }
  if (const auto* list = aud.if_array()) {
    for (const auto& item : *list) {
      if (const auto* text = item.if_string(); text != nullptr && *text == kAudience) {
        return true;
      }
    }
  }
  return false;
}

bool IsStringList(const boost::json::value& value) {
  const auto* list = value.if_array();
  if (list == nullptr) {
    return false;
  }
  for (const auto& item : *list) {
    if (!item.is_string()) {
      return false;
    }
  }
  return true;
}

// Only the public-key algorithms prove possession of the certificate's key: an HMAC token
// "signed" with the public key text as secret must not pass.
bool AcceptedAlgorithm(jwt_alg_t alg) { return alg == JWT_ALG_RS256 || alg == JWT_ALG_ES256; }

int64_t SecondsNow() { return static_cast<int64_t>(std::time(nullptr)); }

bool TimeClaimCame(const boost::json::value& claim, int64_t now) {
  if (claim.is_null()) {
    return true;
  }
  return claim.is_int64() && claim.get_int64() <= now + kClockSkewSeconds;
}

}  // namespace

bool TimeClaimsCame(const boost::json::value& nbf, const boost::json::value& iat, int64_t now) {
  return TimeClaimCame(nbf, now) && TimeClaimCame(iat, now);
}

boost::json::value ClaimJson(jwt_t* jwt, const char* name) {
  JwtTextPtr text(jwt_get_grants_json(jwt, name));
  if (!text) {
    return nullptr;
  }
  boost::system::error_code ec;
  boost::json::value value = boost::json::parse(text.get(), ec);
  return ec ? boost::json::value(nullptr) : value;
}

Mirel::ErrorValue InvalidTokenError() {
  Com::Velora::Mirel::Std::Errors::Unauthenticated error;
  error.messages.push_back(Mirel::Message{kInvalidTokenMessageId, "Invalid Token.", {}});
  return Mirel::Data::NativeToValueAdapter::Adapt(std::move(error));
}

Digest AccessTokenDigest(const Mirel::CallContext& ctx) {
  if (!ctx.accessTokenDigest) {
    ctx.accessTokenDigest = Sha256Digest(ctx.accessToken.value().view());
  }
  return *ctx.accessTokenDigest;
}

// The key of one certificate text: its PEM public key and that key's identity (its digest).
struct HostTokenHandler::Key {
  CertificateText certificate;
  std::string publicKey;
  Digest id{};
};

HostTokenHandler::HostTokenHandler(CertificateReader reader,
                                   std::shared_ptr<Mirel::Log::Logger> logger)
    : HostTokenHandler(std::move(reader), std::move(logger), Options{}) {}

HostTokenHandler::HostTokenHandler(CertificateReader reader,
                                   std::shared_ptr<Mirel::Log::Logger> logger, Options options)
    : reader_(std::move(reader)),
      logger_(std::move(logger)),
      now_(options.now ? std::move(options.now) : Clock(&SecondsNow)),
      accepted_(options.accepted),
      foreign_(options.foreign) {}

HostTokenHandler::~HostTokenHandler() = default;

void HostTokenHandler::Authenticate(const Mirel::CallContext& ctx, AuthnCallback answer) {
  if (!ctx.accessToken) {
    answer(AuthnAnswer::None());
    return;
  }
  answer(Check(ctx.accessToken->view(), &ctx));
}

AuthnAnswer HostTokenHandler::Check(std::string_view token) const { return Check(token, nullptr); }

AuthnAnswer HostTokenHandler::Check(std::string_view token, const Mirel::CallContext* ctx) const {
  if (token.empty() || token.size() > kMaxTokenBytes) {
    return AuthnAnswer::None();
  }
  const std::shared_ptr<const Key> key = CurrentKey();
  NoteCertificateUsable(key != nullptr);
  if (!key) {
    return AuthnAnswer::None();
  }
  const Digest tokenId = ctx != nullptr ? AccessTokenDigest(*ctx) : Sha256Digest(token);
  if (foreign_.Find(key->id, tokenId)) {
    return AuthnAnswer::None();
  }
  if (auto hit = accepted_.Find(key->id, tokenId); hit && hit->claims) {
    AuthnAnswer answer = Decide(*hit->claims);
    if (!answer.IsData()) {
      accepted_.Erase(key->id, tokenId);  // expired since
    }
    return answer;
  }
  const ClaimsPtr claims = Verify(*key, token, tokenId);
  if (!claims) {
    return AuthnAnswer::None();
  }
  AuthnAnswer answer = Decide(*claims);
  if (answer.IsData()) {
    accepted_.PutVerified(key->id, tokenId, claims);
  }
  return answer;
}

void HostTokenHandler::NoteCertificateUsable(bool usable) const {
  const CertificateState now = usable ? CertificateState::kUsable : CertificateState::kUnusable;
  const CertificateState before = certificateState_.exchange(now);
  if (before == now || !logger_) {
    return;
  }
  if (!usable) {
    MIREL_LOG(logger_, Mirel::Log::kWarning) << "No usable administration token certificate";
  } else if (before == CertificateState::kUnusable) {
    MIREL_LOG(logger_, Mirel::Log::kInfo) << "Administration token certificate usable again";
  }
}

std::shared_ptr<const HostTokenHandler::Key> HostTokenHandler::CurrentKey() const {
  const CertificateText certificate = reader_ ? reader_() : nullptr;
  if (!certificate) {
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(keyMutex_);
    if (key_ && (key_->certificate == certificate || *key_->certificate == *certificate)) {
      return key_;
    }
  }
  std::string publicKey = PublicKeyPem(*certificate);
  if (publicKey.empty()) {
    return nullptr;
  }
  const Digest id = Sha256Digest(publicKey);
  auto key = std::make_shared<const Key>(Key{certificate, std::move(publicKey), id});
  std::lock_guard<std::mutex> lock(keyMutex_);
  if (key_ && key_->id != id) {
    // Outcomes remembered for the old key can no longer be found; let their memory go.
    accepted_.Clear();
    foreign_.Clear();
  }
  key_ = key;
  return key;
}

HostTokenHandler::ClaimsPtr HostTokenHandler::Verify(const Key& key, std::string_view token,
                                                     const Digest& tokenId) const {
  const Har::Secret text(token);  // terminated for libjwt
  jwt_t* raw = nullptr;
  // libjwt reports some allocation failures as EINVAL; errno tells them apart.
  errno = 0;
  const int rc =
      jwt_decode(&raw, text.c_str(), reinterpret_cast<const unsigned char*>(key.publicKey.data()),
                 static_cast<int>(key.publicKey.size()));
  const bool outOfMemory = errno == ENOMEM;
  JwtPtr jwt(raw);
  if (rc != 0 || !jwt) {
    // EINVAL: malformed, or the signature does not verify with this key; the same every time.
    if (rc == EINVAL && !outOfMemory) {
      foreign_.PutNotVerified(key.id, tokenId);
    }
    return nullptr;
  }
  const jwt_alg_t alg = jwt_get_alg(jwt.get());
  if (!AcceptedAlgorithm(alg)) {
    foreign_.PutNotVerified(key.id, tokenId);
    return nullptr;
  }
  auto claims = std::make_shared<HostTokenClaims>();
  claims->alg = static_cast<int>(alg);
  claims->aud = ClaimJson(jwt.get(), "aud");
  claims->exp = ClaimJson(jwt.get(), "exp");
  claims->nbf = ClaimJson(jwt.get(), "nbf");
  claims->iat = ClaimJson(jwt.get(), "iat");
  claims->sub = ClaimJson(jwt.get(), "sub");
  claims->entitlements = ClaimJson(jwt.get(), ENTITLEMENTS_GRANTS);
  return claims;
}

AuthnAnswer HostTokenHandler::Decide(const HostTokenClaims& claims) const {
  if (!AcceptedAlgorithm(static_cast<jwt_alg_t>(claims.alg))) {
    return AuthnAnswer::None();
  }
  if (!AudienceMatches(claims.aud)) {
    return Reject("wrong audience");
  }
  const int64_t now = now_();
  if (!claims.exp.is_int64() || claims.exp.get_int64() <= now) {
    return Reject("expired or without expiry");
  }
  if (!TimeClaimsCame(claims.nbf, claims.iat, now)) {
    return Reject("not yet valid");
  }
  if (!claims.sub.is_string() || claims.sub.get_string().empty()) {
    return Reject("no subject");
  }
  if (!IsStringList(claims.entitlements)) {
    return Reject("no entitlement list");
  }
  return AuthnAnswer::Data(boost::json::object{{Mirel::Authn::kSubjectKey, claims.sub},
                                               {ENTITLEMENTS_GRANTS, claims.entitlements}});
}

AuthnAnswer HostTokenHandler::Reject(const char* why) const {
  if (logger_) {
    MIREL_LOG(logger_, Mirel::Log::kWarning) << "Administration token rejected: " << why;
  }
  return AuthnAnswer::Failure(InvalidTokenError());
}

}  // namespace Ovik::Authn
