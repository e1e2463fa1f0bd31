#include <tokenauthn/token_handler.h>

#include <mirel/errors.h>

#include <boost/json/parse.hpp>
#include <jwt.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace Ovik::Authn {
namespace {

constexpr size_t kMaxTokenBytes = 16 * 1024;
constexpr size_t kMaxCertificateBytes = 64 * 1024;
constexpr const char* kAudience = "zyld";

struct JwtDeleter {
  void operator()(jwt_t* jwt) const { jwt_free(jwt); }
};
using JwtPtr = std::unique_ptr<jwt_t, JwtDeleter>;
struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Deleter {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};

// The "-----BEGIN PUBLIC KEY-----" text of the certificate's key, or empty.
std::string PublicKeyPem(const std::string& certificatePem) {
  if (certificatePem.empty() || certificatePem.size() > kMaxCertificateBytes) {
    return {};
  }
  std::unique_ptr<BIO, BioDeleter> in(
      BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())));
  std::unique_ptr<X509, X509Deleter> cert(
      in ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert) {
    return {};
  }
  EVP_PKEY* key = X509_get0_pubkey(cert.get());
  std::unique_ptr<BIO, BioDeleter> out(BIO_new(BIO_s_mem()));
  if (key == nullptr || !out || PEM_write_bio_PUBKEY(out.get(), key) != 1) {
    return {};
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(out.get(), &data);
  return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

// A claim as JSON (null when absent or malformed).
boost::json::value Claim(jwt_t* jwt, const char* name) {
  std::unique_ptr<char, FreeDeleter> text(jwt_get_grants_json(jwt, name));
  if (!text) {
    return nullptr;
  }
  boost::system::error_code ec;
  boost::json::value value = boost::json::parse(text.get(), ec);
  return ec ? boost::json::value(nullptr) : value;
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

}  // namespace

Mirel::ErrorValue InvalidTokenError() {
  Com::Velora::Mirel::Std::Errors::Unauthenticated error;
  error.messages.push_back(Mirel::Message{kInvalidTokenMessageId, "Invalid Token.", {}});
  return Mirel::Data::NativeToValueAdapter::Adapt(std::move(error));
}

HostTokenHandler::HostTokenHandler(CertificateReader reader,
                                   std::shared_ptr<Mirel::Log::Logger> logger)
    : reader_(std::move(reader)), logger_(std::move(logger)) {}

void HostTokenHandler::Authenticate(const Mirel::CallContext& ctx, AuthnCallback answer) {
  if (!ctx.accessToken) {
    answer(AuthnAnswer::None());
    return;
  }
  answer(Check(*ctx.accessToken));
}

AuthnAnswer HostTokenHandler::Check(const std::string& token) const {
  if (token.empty() || token.size() > kMaxTokenBytes) {
    return AuthnAnswer::None();
  }
  const std::optional<std::string> certificate = reader_ ? reader_() : std::nullopt;
  const std::string key = certificate ? PublicKeyPem(*certificate) : std::string();
  if (key.empty()) {
    if (logger_) {
      MIREL_LOG(logger_, Mirel::Log::kWarning) << "No usable administration token certificate";
    }
    return AuthnAnswer::None();
  }
  jwt_t* raw = nullptr;
  const int rc = jwt_decode(&raw, token.c_str(), reinterpret_cast<const unsigned char*>(key.data()),
                            static_cast<int>(key.size()));
  JwtPtr jwt(raw);
  if (rc != 0 || !jwt) {
    return AuthnAnswer::None();
  }
  // Only the public-key algorithms prove possession of the certificate's key: an HMAC token
  // "signed" with the public key text as secret must not pass.
  const jwt_alg_t alg = jwt_get_alg(jwt.get());
  if (alg != JWT_ALG_RS256 && alg != JWT_ALG_ES256) {
    return AuthnAnswer::None();
  }
  const auto reject = [this](const char* why) {
    if (logger_) {
      MIREL_LOG(logger_, Mirel::Log::kWarning) << "Administration token rejected: " << why;
    }
    return AuthnAnswer::Failure(InvalidTokenError());
  };
  if (!AudienceMatches(Claim(jwt.get(), "aud"))) {
    return reject("wrong audience");
  }
  const boost::json::value exp = Claim(jwt.get(), "exp");
  if (!exp.is_int64() || exp.get_int64() <= static_cast<int64_t>(std::time(nullptr))) {
    return reject("expired or without expiry");
  }
  const boost::json::value sub = Claim(jwt.get(), "sub");
  if (!sub.is_string() || sub.get_string().empty()) {
    return reject("no subject");
  }
  boost::json::value entitlements = Claim(jwt.get(), ENTITLEMENTS_GRANTS);
  if (!IsStringList(entitlements)) {
    return reject("no entitlement list");
  }
  return AuthnAnswer::Data(boost::json::object{{Mirel::Authn::kSubjectKey, sub},
                                               {ENTITLEMENTS_GRANTS, std::move(entitlements)}});
}

}  // namespace Ovik::Authn
