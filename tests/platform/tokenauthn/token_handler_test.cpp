// The host's administration token handler with real RS256 and ES256 tokens (signed with libjwt
// over keys and certificates made with OpenSSL), and the entitlement checker.
#include <tokenauthn/entitlement_checker.h>
#include <tokenauthn/token_handler.h>

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>
#include <ironveil-common/ssl_utils.h>
#include <tokenauthn/jwt_ptr.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "kmip_test_certs.h"

namespace {

using Ovik::Authn::AuthnAnswer;

// What a certificate reader returns for the text (null for none).
Ovik::Authn::CertificateText Text(const std::optional<std::string>& pem) {
  return pem ? std::make_shared<const std::string>(*pem) : nullptr;
}

// The PEM public key of a certificate.
std::string PublicKeyOf(const std::string& certPem) {
  std::string key;
  EXPECT_TRUE(Brask::Common::SslUtils::ExtractKeyFromCert(certPem, key));
  return key;
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
  const Ovik::Authn::JwtTextPtr text(jwt_encode_str(jwt));
  jwt_free(jwt);
  return text ? text.get() : "";
}

class HostTokens : public ::testing::Test {
 protected:
  AuthnAnswer Check(const std::string& token) {
    Ovik::Authn::HostTokenHandler handler([this] { return Text(certificate); }, nullptr);
    Mirel::CallContext ctx;
    ctx.accessToken.emplace(token);
    std::optional<AuthnAnswer> answer;
    handler.Authenticate(ctx, [&answer](AuthnAnswer a) { answer = std::move(a); });
    EXPECT_TRUE(answer.has_value());
    digest = ctx.accessTokenDigest;
    return std::move(*answer);
  }

  // Key pairs made once per process.
  static const KmipTest::KeyPair& Rsa() {
    static const auto pair =
        KmipTest::MakeSelfSignedServer("authn", {}, KmipTest::KeyKind::Rsa2048);
    return pair;
  }
  static const KmipTest::KeyPair& Ec() {
    static const auto pair = KmipTest::MakeSelfSignedServer("authn", {}, KmipTest::KeyKind::EcP256);
    return pair;
  }
  std::optional<std::string> certificate = Rsa().certPem;
  // What the last Check left in its call for the next handler.
  std::optional<Ovik::Authn::Digest> digest;
};

TEST_F(HostTokens, AcceptsRs256AndEs256TokensOfTheCertificateKey) {
  const std::string token = Sign(JWT_ALG_RS256, Rsa().keyPem, {});
  const auto rsa = Check(token);
  ASSERT_TRUE(rsa.IsData());
  EXPECT_EQ(rsa.GetData().at("username"), boost::json::value("admin"));
  EXPECT_EQ(rsa.GetData().at("entitlements"), (boost::json::array{"KMS_ADMIN", "KMS_READ"}));
  // The call keeps the token's digest for the next handler.
  EXPECT_EQ(digest, Ovik::Authn::Sha256Digest(token));
  certificate = Ec().certPem;
  const auto ec = Check(Sign(JWT_ALG_ES256, Ec().keyPem, {}));
  ASSERT_TRUE(ec.IsData());
  EXPECT_EQ(ec.GetData().at("username"), boost::json::value("admin"));
  // "nbf" and "iat" may lie ahead of our clock by the allowed skew (a few seconds spare for the
  // run).
  for (const char* name : {"nbf", "iat"}) {
    const Claims skewed{.more = TimeClaim(name, Ovik::Authn::kClockSkewSeconds - 5)};
    EXPECT_TRUE(Check(Sign(JWT_ALG_ES256, Ec().keyPem, skewed)).IsData()) << name;
  }
}

// Tokens of other keys or algorithms: ForeignTokensStaySoAndClaimFailuresAreNotRemembered.
TEST_F(HostTokens, TamperedTokensAndMissingCertificatesAreNotItsKind) {
  EXPECT_TRUE(Check("").IsNone());
  // Tampered payload.
  std::string token = Sign(JWT_ALG_RS256, Rsa().keyPem, {});
  token[token.find('.') + 5] ^= 1;
  EXPECT_TRUE(Check(token).IsNone());
  // No certificate in the store: nothing verifies.
  certificate.reset();
  EXPECT_TRUE(Check(Sign(JWT_ALG_RS256, Rsa().keyPem, {})).IsNone());
  certificate = "garbage";
  EXPECT_TRUE(Check(Sign(JWT_ALG_RS256, Rsa().keyPem, {})).IsNone());
}

TEST_F(HostTokens, VerifiedTokensFailingAClaimAreUnauthenticated) {
  const Claims cases[] = {
      {.aud = "other"},
      {.aud = nullptr},
      {.expIn = -10},
      {.withExp = false},
      {.sub = nullptr},
      {.entitlements = nullptr},
      {.entitlements = R"(["KMS_ADMIN", 3])"},
      {.more = TimeClaim("nbf", Ovik::Authn::kClockSkewSeconds + 60)},
      {.more = TimeClaim("iat", 24 * 3600)},
      {.more = R"({"nbf": "1"})"},
      {.more = R"({"iat": 1.5})"},
  };
  for (const Claims& claims : cases) {
    const auto answer = Check(Sign(JWT_ALG_RS256, Rsa().keyPem, claims));
    ASSERT_TRUE(answer.IsFailure());
    EXPECT_EQ(answer.GetFailure().type, "com.velora.mirel.std.errors.unauthenticated");
    EXPECT_EQ(answer.GetFailure().messages.at(0).id,
              "com.velora.ovik.kms.authentication.invalid_token");
  }
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

  int64_t now = static_cast<int64_t>(std::time(nullptr));
};

TEST_F(RememberingHostTokens, RepeatedTokenGetsTheSameAnswerUntilItExpires) {
  const auto handler = Make();
  const std::string token = Sign(JWT_ALG_RS256, Rsa().keyPem, {.expIn = 100});
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
  const std::string rsaToken = Sign(JWT_ALG_RS256, Rsa().keyPem, {});
  const std::string ecToken = Sign(JWT_ALG_ES256, Ec().keyPem, {});
  ASSERT_TRUE(handler->Check(rsaToken).IsData());
  ASSERT_TRUE(handler->Check(ecToken).IsNone());
  EXPECT_EQ(handler->CachedAccepted(), 1u);
  EXPECT_EQ(handler->CachedForeign(), 1u);

  certificate = Ec().certPem;
  EXPECT_TRUE(handler->Check(rsaToken).IsNone());
  EXPECT_TRUE(handler->Check(ecToken).IsData());
  EXPECT_EQ(handler->CachedAccepted(), 1u);
  EXPECT_EQ(handler->CachedForeign(), 1u);

  // No certificate: nothing is accepted, remembered or not; the same certificate back restores it.
  certificate.reset();
  EXPECT_TRUE(handler->Check(ecToken).IsNone());
  certificate = Ec().certPem;
  EXPECT_TRUE(handler->Check(ecToken).IsData());
  certificate = Rsa().certPem;
  EXPECT_TRUE(handler->Check(rsaToken).IsData());
  EXPECT_TRUE(handler->Check(ecToken).IsNone());
}

TEST_F(RememberingHostTokens, ForeignTokensStaySoAndClaimFailuresAreNotRemembered) {
  const auto handler = Make();
  const std::vector<std::string> foreign = {
      Sign(JWT_ALG_ES256, Ec().keyPem, {}),                 // another key
      Sign(JWT_ALG_RS384, Rsa().keyPem, {}),                // the key, another algorithm
      Sign(JWT_ALG_HS256, PublicKeyOf(Rsa().certPem), {}),  // HMAC keyed with the public key
      "not.a.token",
  };
  const std::vector<std::string> failing = {Sign(JWT_ALG_RS256, Rsa().keyPem, {.expIn = -10}),
                                            Sign(JWT_ALG_RS256, Rsa().keyPem, {.sub = nullptr})};
  for (int round = 0; round < 2; ++round) {
    for (const auto& token : foreign) {
      EXPECT_TRUE(handler->Check(token).IsNone()) << token;
    }
    for (const auto& token : failing) {
      EXPECT_TRUE(handler->Check(token).IsFailure()) << token;
    }
  }
  EXPECT_EQ(handler->CachedForeign(), foreign.size());
  EXPECT_EQ(handler->CachedAccepted(), 0u);
  // A remembered foreign token does not stand in for a good one.
  EXPECT_TRUE(handler->Check(Sign(JWT_ALG_RS256, Rsa().keyPem, {})).IsData());
}

TEST_F(RememberingHostTokens, RememberedOutcomesAreBoundedAndForeignTokensCannotPushOutAccepted) {
  Handler::Options options;
  options.accepted = {3, 1};
  options.foreign = {2, 1};
  const auto handler = Make(options);
  std::vector<std::string> accepted;
  for (long i = 0; i < 5; ++i) {
    accepted.push_back(Sign(JWT_ALG_RS256, Rsa().keyPem, {.expIn = 3600 + i}));
    EXPECT_TRUE(handler->Check(accepted.back()).IsData());
  }
  EXPECT_EQ(handler->CachedAccepted(), 3u);
  for (long i = 0; i < 6; ++i) {
    EXPECT_TRUE(handler->Check("junk." + std::to_string(i) + ".token").IsNone());
  }
  EXPECT_EQ(handler->CachedForeign(), 2u);
  EXPECT_EQ(handler->CachedAccepted(), 3u);
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
