// The host's administration token handler with real RS256 and ES256 tokens (signed with libjwt
// over keys and certificates made with OpenSSL), and the entitlement checker.
#include <tokenauthn/entitlement_checker.h>
#include <tokenauthn/token_handler.h>

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>
#include <jwt.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

namespace {

using Ovik::Authn::AuthnAnswer;

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(length));
}

// What a certificate reader returns for the text (null for none).
Ovik::Authn::CertificateText Text(const std::optional<std::string>& pem) {
  return pem ? std::make_shared<const std::string>(*pem) : nullptr;
}

// A key pair with a self-signed certificate, as PEM texts.
struct Identity {
  std::string privateKey;
  std::string publicKey;
  std::string certificate;
};

Identity MakeIdentity(bool ec) {
  EVP_PKEY* key = ec ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")
                     : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048});
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("authn"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  Identity id;
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  id.privateKey = BioText(bio);
  BIO_free(bio);
  bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PUBKEY(bio, key);
  id.publicKey = BioText(bio);
  BIO_free(bio);
  bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  id.certificate = BioText(bio);
  BIO_free(bio);
  X509_free(cert);
  EVP_PKEY_free(key);
  return id;
}

struct Claims {
  const char* aud = "zyld";
  long expIn = 3600;  // seconds after now
  bool withExp = true;
  const char* sub = "admin";
  const char* entitlements = R"(["KMS_ADMIN", "KMS_READ"])";
  std::string more = "{}";  // further claims, a JSON object
};

// {"name": now + seconds}
std::string TimeClaim(const char* name, long seconds) {
  return std::string(R"({")") + name + R"(": )" + std::to_string(std::time(nullptr) + seconds) +
         "}";
}

std::string Sign(jwt_alg_t alg, const std::string& key, const Claims& claims) {
  jwt_t* jwt = nullptr;
  EXPECT_EQ(jwt_new(&jwt), 0);
  if (claims.aud != nullptr) {
    jwt_add_grant(jwt, "aud", claims.aud);
  }
  if (claims.withExp) {
    jwt_add_grant_int(jwt, "exp", static_cast<long>(std::time(nullptr)) + claims.expIn);
  }
  if (claims.sub != nullptr) {
    jwt_add_grant(jwt, "sub", claims.sub);
  }
  if (claims.entitlements != nullptr) {
    jwt_add_grants_json(jwt,
                        (std::string(R"({"entitlements": )") + claims.entitlements + "}").c_str());
  }
  jwt_add_grants_json(jwt, claims.more.c_str());
  EXPECT_EQ(jwt_set_alg(jwt, alg, reinterpret_cast<const unsigned char*>(key.data()),
                        static_cast<int>(key.size())),
            0);
  char* text = jwt_encode_str(jwt);
  std::string token = text != nullptr ? text : "";
  std::free(text);
  jwt_free(jwt);
  return token;
}

class HostTokens : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rsa_ = std::make_unique<Identity>(MakeIdentity(false));
    ec_ = std::make_unique<Identity>(MakeIdentity(true));
  }
  static void TearDownTestSuite() {
    rsa_.reset();
    ec_.reset();
  }

  AuthnAnswer Check(const std::string& token) {
    Ovik::Authn::HostTokenHandler handler([this] { return Text(certificate); }, nullptr);
    Mirel::CallContext ctx;
    ctx.accessToken.emplace(token);
    std::optional<AuthnAnswer> answer;
    handler.Authenticate(ctx, [&answer](AuthnAnswer a) { answer = std::move(a); });
    EXPECT_TRUE(answer.has_value());
    return std::move(*answer);
  }

  static std::unique_ptr<Identity> rsa_;
  static std::unique_ptr<Identity> ec_;
  std::optional<std::string> certificate = rsa_->certificate;
};
std::unique_ptr<Identity> HostTokens::rsa_;
std::unique_ptr<Identity> HostTokens::ec_;

TEST_F(HostTokens, AcceptsRs256AndEs256TokensOfTheCertificateKey) {
  const auto rsa = Check(Sign(JWT_ALG_RS256, rsa_->privateKey, {}));
  ASSERT_TRUE(rsa.IsData());
  EXPECT_EQ(rsa.GetData().at("username"), boost::json::value("admin"));
  EXPECT_EQ(rsa.GetData().at("entitlements"), (boost::json::array{"KMS_ADMIN", "KMS_READ"}));
  certificate = ec_->certificate;
  const auto ec = Check(Sign(JWT_ALG_ES256, ec_->privateKey, {}));
  ASSERT_TRUE(ec.IsData());
  EXPECT_EQ(ec.GetData().at("username"), boost::json::value("admin"));
  // "nbf" and "iat" may lie ahead of our clock by the allowed skew (a few seconds spare for the
  // run).
  Claims skewed;
  skewed.more = TimeClaim("nbf", Ovik::Authn::kClockSkewSeconds - 5);
  EXPECT_TRUE(Check(Sign(JWT_ALG_ES256, ec_->privateKey, skewed)).IsData());
  skewed.more = TimeClaim("iat", Ovik::Authn::kClockSkewSeconds - 5);
  EXPECT_TRUE(Check(Sign(JWT_ALG_ES256, ec_->privateKey, skewed)).IsData());
}

TEST_F(HostTokens, TheCallKeepsItsTokenDigestForTheNextHandler) {
  const std::string token = Sign(JWT_ALG_RS256, rsa_->privateKey, {});
  Ovik::Authn::HostTokenHandler handler([this] { return Text(certificate); }, nullptr);
  Mirel::CallContext ctx;
  ctx.accessToken.emplace(token);
  handler.Authenticate(ctx, [](AuthnAnswer) {});
  ASSERT_TRUE(ctx.accessTokenDigest.has_value());
  EXPECT_EQ(*ctx.accessTokenDigest, Ovik::Authn::Sha256Digest(token));
  EXPECT_EQ(Ovik::Authn::AccessTokenDigest(ctx), Ovik::Authn::Sha256Digest(token));
}

// Tokens of other keys or algorithms: RememberingHostTokens.TokensNotOfItsKindStaySo.
TEST_F(HostTokens, TamperedTokensAndMissingCertificatesAreNotItsKind) {
  EXPECT_TRUE(Check("").IsNone());
  // Tampered payload.
  std::string token = Sign(JWT_ALG_RS256, rsa_->privateKey, {});
  token[token.find('.') + 5] ^= 1;
  EXPECT_TRUE(Check(token).IsNone());
  // No certificate in the store: nothing verifies.
  certificate.reset();
  EXPECT_TRUE(Check(Sign(JWT_ALG_RS256, rsa_->privateKey, {})).IsNone());
  certificate = "garbage";
  EXPECT_TRUE(Check(Sign(JWT_ALG_RS256, rsa_->privateKey, {})).IsNone());
}

TEST_F(HostTokens, VerifiedTokensFailingAClaimAreUnauthenticated) {
  Claims wrongAudience;
  wrongAudience.aud = "other";
  Claims noAudience;
  noAudience.aud = nullptr;
  Claims expired;
  expired.expIn = -10;
  Claims noExpiry;
  noExpiry.withExp = false;
  Claims noSubject;
  noSubject.sub = nullptr;
  Claims noEntitlements;
  noEntitlements.entitlements = nullptr;
  Claims badEntitlements;
  badEntitlements.entitlements = R"(["KMS_ADMIN", 3])";
  Claims notBeforeAhead;
  notBeforeAhead.more = TimeClaim("nbf", Ovik::Authn::kClockSkewSeconds + 60);
  Claims issuedAhead;
  issuedAhead.more = TimeClaim("iat", 24 * 3600);
  Claims notBeforeText;
  notBeforeText.more = R"({"nbf": "1"})";
  Claims issuedFraction;
  issuedFraction.more = R"({"iat": 1.5})";
  for (const Claims& claims :
       {wrongAudience, noAudience, expired, noExpiry, noSubject, noEntitlements, badEntitlements,
        notBeforeAhead, issuedAhead, notBeforeText, issuedFraction}) {
    const auto answer = Check(Sign(JWT_ALG_RS256, rsa_->privateKey, claims));
    ASSERT_TRUE(answer.IsFailure());
    EXPECT_EQ(answer.GetFailure().type, "com.velora.mirel.std.errors.unauthenticated");
    EXPECT_EQ(answer.GetFailure().messages.at(0).id,
              "com.velora.ovik.kms.authentication.invalid_token");
  }
}

// Keeps the text of every record logged through it.
class LineLogger final : public Mirel::Log::Logger {
 public:
  std::unique_ptr<Mirel::Log::LogRecord> CreateRecord(int) override {
    return std::make_unique<Line>(lines);
  }
  std::vector<std::string> lines;

 private:
  class Line final : public Mirel::Log::LogRecord {
   public:
    explicit Line(std::vector<std::string>& lines) : lines_(lines) {}
    ~Line() override { lines_.push_back(stream_.str()); }
    std::ostream& GetStream() override { return stream_; }

   private:
    std::vector<std::string>& lines_;
    std::ostringstream stream_;
  };
};

TEST_F(HostTokens, UnusableCertificateIsLoggedOnlyWhenThatChanges) {
  auto logger = std::make_shared<LineLogger>();
  std::optional<std::string> current;
  Ovik::Authn::HostTokenHandler handler([&current] { return Text(current); }, logger);
  const std::string token = Sign(JWT_ALG_RS256, rsa_->privateKey, {});
  const std::optional<std::string> states[] = {std::nullopt,        std::nullopt,
                                               rsa_->certificate,   rsa_->certificate,
                                               "not a certificate", std::nullopt};
  for (const auto& state : states) {
    current = state;
    EXPECT_EQ(handler.Check(token).IsData(), state == rsa_->certificate);
  }
  EXPECT_EQ(logger->lines,
            (std::vector<std::string>{"No usable administration token certificate",
                                      "Administration token certificate usable again",
                                      "No usable administration token certificate"}));
}

// One handler kept across calls, so that its remembered outcomes come into play; its clock is
// set by the test.
class RememberingHostTokens : public HostTokens {
 protected:
  using Handler = Ovik::Authn::HostTokenHandler;

  std::unique_ptr<Handler> Make(Handler::Options options = {}) {
    options.now = [this] { return now; };
    return std::make_unique<Handler>([this] { return Text(certificate); }, nullptr,
                                     std::move(options));
  }

  static Claims ExpiringIn(long seconds) {
    Claims claims;
    claims.expIn = seconds;
    return claims;
  }

  int64_t now = static_cast<int64_t>(std::time(nullptr));
};

TEST_F(RememberingHostTokens, RepeatedTokenGetsTheSameAnswerUntilItExpires) {
  const auto handler = Make();
  const std::string token = Sign(JWT_ALG_RS256, rsa_->privateKey, ExpiringIn(100));
  const auto first = handler->Check(token);
  ASSERT_TRUE(first.IsData());
  EXPECT_EQ(handler->CachedAccepted(), 1u);
  const auto again = handler->Check(token);
  ASSERT_TRUE(again.IsData());
  EXPECT_EQ(again.GetData(), first.GetData());
  EXPECT_EQ(again.GetData().at("entitlements"), (boost::json::array{"KMS_ADMIN", "KMS_READ"}));

  now += 99;
  EXPECT_TRUE(handler->Check(token).IsData());
  now += 1;  // a token is good before the second of its "exp"
  const auto expired = handler->Check(token);
  ASSERT_TRUE(expired.IsFailure());
  EXPECT_EQ(expired.GetFailure().messages.at(0).id, Ovik::Authn::kInvalidTokenMessageId);
  EXPECT_EQ(handler->CachedAccepted(), 0u);
  EXPECT_TRUE(handler->Check(token).IsFailure());
}

TEST_F(RememberingHostTokens, ReplacedCertificateRetiresRememberedOutcomes) {
  const auto handler = Make();
  const std::string rsaToken = Sign(JWT_ALG_RS256, rsa_->privateKey, {});
  const std::string ecToken = Sign(JWT_ALG_ES256, ec_->privateKey, {});
  ASSERT_TRUE(handler->Check(rsaToken).IsData());
  ASSERT_TRUE(handler->Check(ecToken).IsNone());
  EXPECT_EQ(handler->CachedAccepted(), 1u);
  EXPECT_EQ(handler->CachedForeign(), 1u);

  certificate = ec_->certificate;
  EXPECT_TRUE(handler->Check(rsaToken).IsNone());
  EXPECT_TRUE(handler->Check(ecToken).IsData());
  EXPECT_EQ(handler->CachedAccepted(), 1u);
  EXPECT_EQ(handler->CachedForeign(), 1u);

  // No certificate: nothing is accepted, remembered or not; the same certificate back restores it.
  certificate.reset();
  EXPECT_TRUE(handler->Check(ecToken).IsNone());
  certificate = ec_->certificate;
  EXPECT_TRUE(handler->Check(ecToken).IsData());
  certificate = rsa_->certificate;
  EXPECT_TRUE(handler->Check(rsaToken).IsData());
  EXPECT_TRUE(handler->Check(ecToken).IsNone());
}

TEST_F(RememberingHostTokens, TokensNotOfItsKindStaySo) {
  const auto handler = Make();
  const std::vector<std::string> foreign = {
      Sign(JWT_ALG_ES256, ec_->privateKey, {}),   // another key
      Sign(JWT_ALG_RS384, rsa_->privateKey, {}),  // the key, another algorithm
      Sign(JWT_ALG_HS256, rsa_->publicKey, {}),   // HMAC keyed with the public key text
      "not.a.token",
  };
  for (int round = 0; round < 2; ++round) {
    for (const auto& token : foreign) {
      EXPECT_TRUE(handler->Check(token).IsNone()) << token;
    }
  }
  EXPECT_EQ(handler->CachedForeign(), foreign.size());
  EXPECT_EQ(handler->CachedAccepted(), 0u);
  // A remembered foreign token does not stand in for a good one.
  EXPECT_TRUE(handler->Check(Sign(JWT_ALG_RS256, rsa_->privateKey, {})).IsData());
}

TEST_F(RememberingHostTokens, TokensFailingAClaimAreNotRemembered) {
  const auto handler = Make();
  Claims noSubject;
  noSubject.sub = nullptr;
  for (const Claims& claims : {ExpiringIn(-10), noSubject}) {
    const std::string token = Sign(JWT_ALG_RS256, rsa_->privateKey, claims);
    EXPECT_TRUE(handler->Check(token).IsFailure());
    EXPECT_TRUE(handler->Check(token).IsFailure());
  }
  EXPECT_EQ(handler->CachedAccepted(), 0u);
  EXPECT_EQ(handler->CachedForeign(), 0u);
}

TEST_F(RememberingHostTokens, RememberedOutcomesAreBoundedAndForeignTokensCannotPushOutAccepted) {
  Handler::Options options;
  options.accepted = {3, 1};
  options.foreign = {2, 1};
  const auto handler = Make(options);
  std::vector<std::string> accepted;
  for (long i = 0; i < 5; ++i) {
    accepted.push_back(Sign(JWT_ALG_RS256, rsa_->privateKey, ExpiringIn(3600 + i)));
    EXPECT_TRUE(handler->Check(accepted.back()).IsData());
  }
  EXPECT_EQ(handler->CachedAccepted(), 3u);
  for (long i = 0; i < 6; ++i) {
    EXPECT_TRUE(handler->Check("junk." + std::to_string(i) + ".token").IsNone());
  }
  EXPECT_EQ(handler->CachedForeign(), 2u);
  EXPECT_EQ(handler->CachedAccepted(), 3u);
  for (const auto& token : accepted) {  // dropped ones are verified afresh
    EXPECT_TRUE(handler->Check(token).IsData());
  }
  EXPECT_EQ(handler->CachedAccepted(), 3u);
}

TEST_F(RememberingHostTokens, ConcurrentCallsGetConsistentAnswers) {
  Handler::Options options;
  options.accepted = {4, 2};
  const auto handler = Make(options);
  std::vector<std::string> good;
  for (long i = 0; i < 6; ++i) {
    good.push_back(Sign(JWT_ALG_RS256, rsa_->privateKey, ExpiringIn(3600 + i)));
  }
  const std::string foreign = Sign(JWT_ALG_ES256, ec_->privateKey, {});
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < wrong.size(); ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < 30; ++i) {
        wrong[t] += handler->Check(good[(i + t) % good.size()]).IsData() ? 0 : 1;
        wrong[t] += handler->Check(foreign).IsNone() ? 0 : 1;
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(EntitlementChecker, AuthorisedByAnyGrantedEntitlement) {
  OvikToken::Authz::JwtEntitlementCheckerImpl checker;
  Mirel::Authz::OperationGrants grants;
  grants.entitlements = {"KMS_ADMIN", "KMS_READ"};
  EXPECT_TRUE(
      checker.IsAuthorized(boost::json::parse(R"({"entitlements": ["X", "KMS_READ"]})"), grants));
  EXPECT_FALSE(
      checker.IsAuthorized(boost::json::parse(R"({"entitlements": ["kms_read", 5]})"), grants));
  EXPECT_FALSE(checker.IsAuthorized(boost::json::parse(R"({"entitlements": "KMS_READ"})"), grants));
  EXPECT_FALSE(checker.IsAuthorized(boost::json::parse(R"({"username": "a"})"), grants));
  EXPECT_FALSE(checker.IsAuthorized(boost::json::parse(R"({"entitlements": ["KMS_ADMIN"]})"),
                                    Mirel::Authz::OperationGrants{}));
}

}  // namespace
