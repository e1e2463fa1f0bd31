// The attestation token handler against a real store database holding proofd's certificate, with
// real RS256 tokens signed by the token tool's signer: claim rules, tokens of other kinds, key
// loading and its retry, the verification cache and concurrent calls.
#include "authn/kms_auth_token_handler.h"
#include "include/logger.h"
#include "provider_fixture.h"
#include "token_signer.h"

#include <test_wipes.h>

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using namespace ZyldTest;
using Ovik::Authn::AuthnAnswer;
using Zyld::Authn::KmsAuthTokenHandler;

constexpr int64_t kNow = 1'900'000'000;  // seconds; the handler's clock is set by the tests

// Signed at `now` (its "iat").
std::string Sign(const ZyldToken::Options& options, const std::string& key, int64_t now = kNow) {
  Har::Secret token;
  const Har::Secret bytes(key);
  const Har::Status signing = ZyldToken::SignToken(options, bytes, now, token);
  EXPECT_TRUE(signing) << signing.message();
  return std::string(token.view());
}

// Claims of a good attestation token; tests change what they examine.
ZyldToken::Options Claims() {
  ZyldToken::Options o;
  o.iss = "https://proofd.local/attestation";
  o.aud = "zyld";
  o.sub = "vm-42";
  o.expiry = ZyldToken::Expiry::At;
  o.expAt = kNow + 60;
  return o;
}

class KmsAuthTest : public StoreTest {
 protected:
  static const Identity& Proofd() { return SharedIdentity<0>(); }
  static const Identity& Stranger() { return SharedIdentity<1>(); }

  void SetUp() override {
    StoreTest::SetUp();
    StoreCertificate("attestation", Proofd().cert);
  }

  std::unique_ptr<KmsAuthTokenHandler> NewHandler(Ovik::Authn::VerifyCacheOptions cache = {},
                                                  KmsAuthTokenHandler::KeyLoader loadKey = {}) {
    KmsAuthTokenHandler::Options options;
    options.now = [this] { return static_cast<uint64_t>(nowUs_.load()); };
    options.cache = cache;
    options.loadKey = std::move(loadKey);
    return std::make_unique<KmsAuthTokenHandler>(
        std::make_shared<Zyld::ZylApi::MirelLoggerWrapper>(&Log_Level), std::move(options));
  }

  static AuthnAnswer Call(KmsAuthTokenHandler& handler, std::optional<std::string> token) {
    Mirel::CallContext ctx;
    if (token) ctx.accessToken.emplace(*token);
    int calls = 0;
    std::optional<AuthnAnswer> answer;
    handler.Authenticate(ctx, [&](AuthnAnswer a) {
      ++calls;
      answer = std::move(a);
    });
    EXPECT_EQ(calls, 1);
    return answer ? std::move(*answer) : AuthnAnswer::None();
  }

  static void ExpectRejected(const AuthnAnswer& answer) {
    ASSERT_TRUE(answer.IsFailure());
    EXPECT_EQ(answer.GetFailure().type, "com.velora.mirel.std.errors.unauthenticated");
    ASSERT_EQ(answer.GetFailure().messages.size(), 1u);
    EXPECT_EQ(answer.GetFailure().messages[0].id,
              "com.velora.ovik.kms.authentication.invalid_token");
  }

  std::string Token(const ZyldToken::Options& claims = Claims(), int64_t signedAt = kNow) {
    return Sign(claims, Proofd().key, signedAt);
  }

  std::atomic<int64_t> nowUs_{kNow * 1'000'000 + 500'000};
};

// The identity carries the token, which is wiped when the identity is released.
TEST_F(KmsAuthTest, ValidTokenGivesTheAttestationIdentity) {
  auto handler = NewHandler();
  const std::string token = Token();
  TestSupport::WipeRecorder wipes;
  const void* copy = nullptr;
  {
    const AuthnAnswer answer = Call(*handler, token);
    ASSERT_TRUE(answer.IsData());
    EXPECT_EQ(answer.GetData(), boost::json::parse(R"({"accessToken": ")" + token + R"(",
      "username": "<ATTEST>", "entitlements": ["@ATTEST+KEY_OPERATIONS"]})"));
    copy = answer.GetData().at("accessToken").as_string().data();
  }
  EXPECT_TRUE(wipes.Saw([copy](const TestSupport::Wipe& w) {
    return w.data <= copy && copy < static_cast<const char*>(w.data) + w.size;
  }));
}

// One claim changed from a good token's: accepted or rejected as invalid.
struct ClaimCase {
  const char* what;
  std::function<void(ZyldToken::Options&)> change;
  bool accepted;
  int64_t signedAt = kNow;  // the token's "iat"
};

TEST_F(KmsAuthTest, ClaimRules) {
  using O = ZyldToken::Options;
  const ClaimCase cases[] = {
      // The clock reads kNow + 0.5 s: expiry is checked in whole seconds without tolerance.
      {"exp this second", [](O& o) { o.expAt = kNow; }, true},
      {"exp a second ago", [](O& o) { o.expAt = kNow - 1; }, false},
      {"no exp", [](O& o) { o.expiry = ZyldToken::Expiry::None; }, false},
      {"negative exp", [](O& o) { o.expAt = -5; }, false},
      // "nbf" and "iat" may lie ahead of the clock by the allowed skew, no more.
      {"iat within the skew", [](O&) {}, true, kNow + Ovik::Authn::kClockSkewSeconds},
      {"iat beyond it", [](O&) {}, false, kNow + Ovik::Authn::kClockSkewSeconds + 1},
      {"iat a text", [](O& o) { o.claims.emplace_back("iat", "1"); }, false},
      {"nbf a text", [](O& o) { o.claims.emplace_back("nbf", "1"); }, false},
      {"iss with the path", [](O& o) { o.iss = "https://h:8443/v1/attestation/issuer"; }, true},
      {"iss without it", [](O& o) { o.iss = "https://host.example/attest"; }, false},
      {"no iss", [](O& o) { o.iss.reset(); }, false},
      {"aud zyldX", [](O& o) { o.aud = "zyldX"; }, true},
      {"aud zyl", [](O& o) { o.aud = "zyl"; }, false},
      {"aud empty", [](O& o) { o.aud = ""; }, false},
      {"aud Zyld", [](O& o) { o.aud = "Zyld"; }, false},
      {"aud xzyld", [](O& o) { o.aud = "xzyld"; }, false},
      {"no aud", [](O& o) { o.aud.reset(); }, false},
  };
  auto handler = NewHandler({0, 1});  // no cache: every call verifies
  for (const ClaimCase& c : cases) {
    SCOPED_TRACE(c.what);
    ZyldToken::Options claims = Claims();
    c.change(claims);
    const AuthnAnswer answer = Call(*handler, Token(claims, c.signedAt));
    if (c.accepted) {
      EXPECT_TRUE(answer.IsData());
    } else {
      ExpectRejected(answer);
    }
  }
}

// Algorithm confusion: an HMAC token keyed with the public key is rejected, an unsigned one
// ({"alg":"none"} with a good token's claims) never accepted; neither is cached.
TEST_F(KmsAuthTest, HmacAndUnsignedTokensAreNeverAccepted) {
  auto handler = NewHandler();
  std::string publicKey;
  ASSERT_TRUE(Brask::Common::SslUtils::ExtractKeyFromCert(Proofd().cert, publicKey));
  auto claims = Claims();
  claims.alg = ZyldToken::Algorithm::HS256;
  ExpectRejected(Call(*handler, Sign(claims, publicKey)));
  const std::string good = Token();
  const std::string payload = good.substr(good.find('.') + 1, good.rfind('.') - good.find('.') - 1);
  EXPECT_FALSE(Call(*handler, "eyJhbGciOiJub25lIiwidHlwIjoiSldUIn0." + payload + ".").IsData());
  EXPECT_EQ(handler->CachedTokens(), 0u);
}

TEST_F(KmsAuthTest, KeyIsLoadedOnceAndRetriedAfterAFailedLoad) {
  StoreCertificate("attestation", "");
  auto handler = NewHandler();
  const std::string token = Token();
  EXPECT_TRUE(Call(*handler, token).IsNone());
  EXPECT_TRUE(Call(*handler, token).IsNone());
  EXPECT_TRUE(Call(*handler, std::nullopt).IsNone());

  StoreCertificate("attestation", Proofd().cert);
  EXPECT_TRUE(Call(*handler, token).IsData());
  // Loaded for good: the store no longer matters, and the key is not read again.
  StoreCertificate("attestation", Stranger().cert);
  EXPECT_TRUE(Call(*handler, Token(Claims())).IsData());
  EXPECT_TRUE(Call(*handler, Sign(Claims(), Stranger().key)).IsNone());
}

TEST_F(KmsAuthTest, ConcurrentFirstCallsLoadTheKeyOnce) {
  std::atomic<int> loads{0};
  auto handler = NewHandler({}, [&loads](std::string& key) {
    ++loads;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // widen the race
    return KmsAuthTokenHandler::LoadProofdPublicKey(key);
  });
  const std::string token = Token();
  std::vector<std::thread> threads;
  std::atomic<int> accepted{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] { accepted += Call(*handler, token).IsData() ? 1 : 0; });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(accepted.load(), 4);
  EXPECT_EQ(loads.load(), 1);
}

TEST_F(KmsAuthTest, CachedTokenIsStillRejectedOnceExpired) {
  auto handler = NewHandler();
  auto claims = Claims();
  claims.expAt = kNow + 1;
  const std::string token = Token(claims);
  EXPECT_TRUE(Call(*handler, token).IsData());
  EXPECT_EQ(handler->CachedTokens(), 1u);
  nowUs_ += 1'000'000;  // kNow + 1.5 s: still the second of "exp"
  EXPECT_TRUE(Call(*handler, token).IsData());
  nowUs_ += 1'000'000;
  ExpectRejected(Call(*handler, token));
  EXPECT_EQ(handler->CachedTokens(), 0u);
  ExpectRejected(Call(*handler, token));
}

}  // namespace
