// zyld-token: the option parser, and the tool itself run as a process, its tokens decoded and
// verified with libjwt against the public key.
#include "token_options.h"

#include <ironveil-common/ssl_utils.h>

#include <gtest/gtest.h>
#include <kmip_test_certs.h>
#include <test_process.h>
#include <test_temp_dir.h>
#include <tokenauthn/jwt_ptr.h>

#include <ctime>

namespace {

Har::Status Parse(std::vector<const char*> args, ZyldToken::Options& out) {
  args.insert(args.begin(), "zyld-token");
  return ZyldToken::ParseArguments(static_cast<int>(args.size()), args.data(), out);
}

TEST(ZyldTokenOptionsTest, ReadsEveryOption) {
  ZyldToken::Options o;
  const Har::Status parsed = Parse(
      {"--key", "k.pem", "--alg=ES256", "--iss", "https://i/attestation", "--aud", "zyld", "--sub",
       "", "--exp", "-3", "--entitlement", "A", "--entitlement=B", "--claim", "nonce=x=y"},
      o);
  ASSERT_TRUE(parsed) << parsed.message();
  EXPECT_EQ(o.keyFile, "k.pem");
  EXPECT_EQ(o.alg, ZyldToken::Algorithm::ES256);
  EXPECT_EQ(o.iss, "https://i/attestation");
  EXPECT_EQ(o.sub, "");
  EXPECT_EQ(o.expiry, ZyldToken::Expiry::At);
  EXPECT_EQ(o.expAt, -3);
  EXPECT_EQ(o.entitlements, (std::vector<std::string>{"A", "B"}));
  ASSERT_EQ(o.claims.size(), 1u);
  EXPECT_EQ(o.claims[0], (std::pair<std::string, std::string>{"nonce", "x=y"}));

  ASSERT_TRUE(Parse({"--alg", "HS256", "--secret-file", "s", "--no-exp"}, o));
  EXPECT_EQ(o.expiry, ZyldToken::Expiry::None);
  ASSERT_TRUE(Parse({"--key", "k", "--help"}, o));
  EXPECT_TRUE(o.help);
}

TEST(ZyldTokenOptionsTest, RefusesBadUsage) {
  const std::vector<std::vector<const char*>> bad = {
      {},                                               // no key
      {"--key"},                                        // no value
      {"--key", "k", "--bogus", "1"},                   // unknown option
      {"--key", "k", "stray"},                          // not an option
      {"--key", "k", "--alg", "RS512"},                 // unsupported algorithm
      {"--key", "k", "--ttl", "10s"},                   // not a number
      {"--key", "k", "--ttl", "-1"},                    // negative lifetime
      {"--key", "k", "--exp", "99999999999999999999"},  // out of range
      {"--key", "k", "--ttl", "1", "--no-exp"},         // two expiries
      {"--key", "k", "--claim", "exp=1"},               // has its own option
      {"--key", "k", "--claim", "novalue"},
      {"--key", "k", "--claim", "a b=1"},
      {"--key", "k", "--claim", "n=1", "--claim", "n=2"},
      {"--key", "k", "--iss", "a", "--iss", "b"},
      {"--alg", "HS256", "--key", "k"},      // HS256 takes a secret
      {"--key", "k", "--secret-file", "s"},  // a secret needs HS256
  };
  for (const auto& args : bad) {
    ZyldToken::Options o;
    const Har::Status status = Parse(args, o);
    EXPECT_FALSE(status) << (args.empty() ? "" : args.back());
    EXPECT_FALSE(status.message().empty());
  }
  ZyldToken::Options o;
  const std::string huge(5000, 'x');
  EXPECT_FALSE(Parse({"--key", huge.c_str()}, o));
  EXPECT_EQ(Parse({"--key", "k", "--bogus"}, o).message(), "unknown option --bogus");
}

// ---- the tool as a process ----

using TestSupport::TempDir;

using RunResult = TestSupport::ProcessResult;

RunResult RunTool(const std::vector<std::string>& args) {
  std::vector<std::string> argv{ZYLD_TOKEN_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return TestSupport::RunProcess(argv);
}

using Ovik::Authn::JwtPtr;

// Decodes and verifies the printed token (one line) with the key.
JwtPtr Decode(const std::string& printed, const std::string& key) {
  EXPECT_FALSE(printed.empty());
  EXPECT_EQ(printed.back(), '\n');
  const std::string token = printed.substr(0, printed.find('\n'));
  jwt_t* raw = nullptr;
  EXPECT_EQ(jwt_decode(&raw, token.c_str(), reinterpret_cast<const unsigned char*>(key.data()),
                       static_cast<int>(key.size())),
            0);
  return JwtPtr(raw);
}

std::string Grants(jwt_t* jwt, const char* name) {
  const Ovik::Authn::JwtTextPtr text(jwt_get_grants_json(jwt, name));
  return text ? text.get() : "";
}

// A private key with its certificate and public key, as PEM.
struct SigningKey {
  std::string key, cert, publicKey;
};
SigningKey MakeKey(KmipTest::KeyKind kind) {
  const KmipTest::KeyPair pair = KmipTest::MakeSelfSignedServer("zyld-token", {}, kind);
  SigningKey made{pair.keyPem, pair.certPem, ""};
  EXPECT_TRUE(Brask::Common::SslUtils::ExtractKeyFromCert(made.cert, made.publicKey));
  return made;
}
// An RSA key made once per process.
const SigningKey& Rsa() {
  static const SigningKey rsa = MakeKey(KmipTest::KeyKind::Rsa2048);
  return rsa;
}

class ZyldTokenToolTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(ZyldTokenToolTest, SignsRs256WithTheGivenClaims) {
  const std::string keyFile = dir_.Write("rsa.pem", Rsa().key);
  const auto before = static_cast<long>(std::time(nullptr));
  const RunResult run =
      RunTool({"--key", keyFile, "--iss", "https://h/attestation", "--aud", "zyld", "--sub",
               "admin", "--ttl", "600", "--entitlement", "KMS_ADMIN", "--entitlement", "KMS_READ",
               "--claim", "nonce=n \"1\""});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const JwtPtr jwt = Decode(run.out, Rsa().publicKey);
  ASSERT_TRUE(jwt);
  EXPECT_EQ(jwt_get_alg(jwt.get()), JWT_ALG_RS256);
  EXPECT_STREQ(jwt_get_grant(jwt.get(), "iss"), "https://h/attestation");
  EXPECT_STREQ(jwt_get_grant(jwt.get(), "aud"), "zyld");
  EXPECT_STREQ(jwt_get_grant(jwt.get(), "sub"), "admin");
  EXPECT_STREQ(jwt_get_grant(jwt.get(), "nonce"), "n \"1\"");
  EXPECT_EQ(Grants(jwt.get(), "entitlements"), R"(["KMS_ADMIN","KMS_READ"])");
  const long iat = jwt_get_grant_int(jwt.get(), "iat");
  EXPECT_GE(iat, before);
  EXPECT_EQ(jwt_get_grant_int(jwt.get(), "exp"), iat + 600);
}

TEST_F(ZyldTokenToolTest, AlgorithmFollowsTheKeyAndExpiryOptions) {
  const SigningKey ec = MakeKey(KmipTest::KeyKind::EcP256);
  RunResult run =
      RunTool({"--key", dir_.Write("ec.pem", ec.key), "--exp", "1234", "--aud", "zyld"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  JwtPtr jwt = Decode(run.out, ec.publicKey);
  ASSERT_TRUE(jwt);
  EXPECT_EQ(jwt_get_alg(jwt.get()), JWT_ALG_ES256);
  EXPECT_EQ(jwt_get_grant_int(jwt.get(), "exp"), 1234);

  const std::string secret = dir_.Write("secret", "shared secret");
  run = RunTool({"--alg", "HS256", "--secret-file", secret, "--no-exp"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  jwt = Decode(run.out, "shared secret");
  ASSERT_TRUE(jwt);
  EXPECT_EQ(jwt_get_alg(jwt.get()), JWT_ALG_HS256);
  errno = 0;
  jwt_get_grant_int(jwt.get(), "exp");
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(ZyldTokenToolTest, ExitStatusTellsUsageFromKeyProblems) {
  const std::string rsa = dir_.Write("rsa.pem", Rsa().key);
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {{"--aud", "zyld"}, 2, "--key is required"},
      {{"--key", dir_.File("missing.pem")}, 1, "missing.pem"},
      {{"--key", dir_.Write("junk.pem", "not a key")}, 1, "not an unencrypted PEM private key"},
      {{"--key", dir_.Write("cert.pem", Rsa().cert)}, 1, ""},  // the certificate is not the key
      {{"--key", rsa, "--alg", "ES256"}, 1, "the key signs RS256"},
      {{"--key", dir_.Write("big.pem", std::string(70000, 'k'))}, 1, ""},
      {{"--key", rsa, "--ttl", "9223372036854775807"}, 2, ""},
  };
  for (const Case& c : cases) {
    const RunResult run = RunTool(c.args);
    EXPECT_EQ(run.exitCode, c.status) << c.args.back();
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << c.args.back();
  }
}

}  // namespace
