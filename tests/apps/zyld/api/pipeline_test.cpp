// The daemon's call pipeline over the generated metadata file with real RS256 tokens and the real
// token handlers reading their certificates from a real store: who reaches the key operation
// service, the order of resolution and authentication, and the audit record of every call.
#include "api_fixture.h"

#include <harlibs/log.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace {

using namespace ZyldTest;
using Zyld::ZylApi::AttributeMap;

class PipelineTest : public ApiTest {};

const boost::json::value kGenerate = boost::json::object{{"provider", "prov1"}, {"keySize", 32}};

TEST_F(PipelineTest, AttestationTokensReachTheKeyOperations) {
  const std::string token = SignToken(AttestationClaims(), attestation_->key);
  const auto generated = Call(token, kGenerateKey, kGenerate);
  ASSERT_FALSE(generated.IsError()) << generated.error->type;
  EXPECT_EQ(generated.value->at("wrappedKey").as_string(), "wrapped-by-s1");
  EXPECT_EQ(generated.value->at("key").as_string().size(), 32u);

  const auto decrypted =
      Call(token, kDecrypt, boost::json::object{{"provider", "prov1"}, {"wrappedKey", "w"}});
  ASSERT_FALSE(decrypted.IsError()) << decrypted.error->type;
  EXPECT_EQ(decrypted.value->at("key").as_string(), "clear-w");
}

TEST_F(PipelineTest, AdministrationTokensNeedTheEntitlementOfTheOperation) {
  EXPECT_EQ(
      ErrorType(Call(SignToken(AdminClaims({"KMS_READ"}), admin_->key), kGenerateKey, kGenerate)),
      kUnauthorized);
  EXPECT_EQ(
      ErrorType(Call(SignToken(AdminClaims({"KMS_OTHER"}), admin_->key), kGenerateKey, kGenerate)),
      kUnauthorized);
  EXPECT_EQ(
      ErrorType(Call(SignToken(AdminClaims({"KMS_ADMIN"}), admin_->key), kGenerateKey, kGenerate)),
      "ok");
  EXPECT_EQ(ErrorType(Call(SignToken(AdminClaims({"KMS_READ", "KMS_ADMIN"}), admin_->key), kDecrypt,
                           boost::json::object{{"provider", "prov1"}, {"wrappedKey", "w"}})),
            "ok");
}

TEST_F(PipelineTest, TheHostHandlerAsksFirst) {
  // With one key behind both kinds, an administration token verifies for both handlers; the
  // attestation handler would reject it (no attestation issuer), so it passes only because the
  // host's handler, outside, has already authenticated it.
  StoreCertificate("attestation", admin_->cert);
  provider_ =
      Zyld::ZylApi::CreateApiProvider(ZYL_MIREL_METADATA, Zyld::ZylApi::MakeLocalizer(), logBridge_,
                                      traffic_, errors_, {registry_.get(), {}, {}});
  EXPECT_EQ(
      ErrorType(Call(SignToken(AdminClaims({"KMS_ADMIN"}), admin_->key), kGenerateKey, kGenerate)),
      "ok");
  ZyldToken::Options attestationShaped = AttestationClaims();
  EXPECT_EQ(ErrorType(Call(SignToken(attestationShaped, admin_->key), kGenerateKey, kGenerate)),
            kUnauthenticated);
}

TEST_F(PipelineTest, AReplacedAdministrationCertificateComesIntoForceWhileRunning) {
  EXPECT_EQ(
      ErrorType(Call(SignToken(AdminClaims({"KMS_ADMIN"}), admin_->key), kGenerateKey, kGenerate)),
      "ok");
  const Identity successor = NewIdentity();
  StoreCertificate("authn", successor.cert);
  const std::string newToken = SignToken(AdminClaims({"KMS_ADMIN"}), successor.key);
  // The store is consulted again about once a second; allow generously more.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string outcome;
  while ((outcome = ErrorType(Call(newToken, kGenerateKey, kGenerate))) != "ok" &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(outcome, "ok");
  EXPECT_EQ(
      ErrorType(Call(SignToken(AdminClaims({"KMS_ADMIN"}), admin_->key), kGenerateKey, kGenerate)),
      kUnauthenticated);
}

TEST_F(PipelineTest, TokensOfNeitherKindAndBadTokensAreUnauthenticated) {
  const Identity stranger = NewIdentity();
  EXPECT_EQ(ErrorType(Call(std::nullopt, kGenerateKey, kGenerate)), kUnauthenticated);
  EXPECT_EQ(ErrorType(Call(std::string("not-a-jwt"), kGenerateKey, kGenerate)), kUnauthenticated);
  EXPECT_EQ(
      ErrorType(Call(SignToken(AdminClaims({"KMS_ADMIN"}), stranger.key), kGenerateKey, kGenerate)),
      kUnauthenticated);
  // An administration token for another audience verifies but is rejected by the host's handler.
  ZyldToken::Options otherAudience = AdminClaims({"KMS_ADMIN"});
  otherAudience.aud = "someone-else";
  EXPECT_EQ(ErrorType(Call(SignToken(otherAudience, admin_->key), kGenerateKey, kGenerate)),
            kUnauthenticated);
}

TEST_F(PipelineTest, EveryCallLeavesExactlyOneAuditRecord) {
  const std::string attest = SignToken(AttestationClaims(), attestation_->key);
  const std::string reader = SignToken(AdminClaims({"KMS_READ"}, "bob"), admin_->key);
  Call(attest, kGenerateKey, kGenerate);                      // allowed
  Call(reader, kGenerateKey, kGenerate);                      // refused: entitlement
  Call(std::nullopt, kGenerateKey, kGenerate);                // refused: no token
  Call(std::nullopt, "com.velora.ovik.kms.key_operation.x");  // unknown
  Call(std::nullopt, "com.velora.mirel.std.introspection.provider.get");

  const auto records = AuditRecords();
  ASSERT_EQ(records.size(), 5u);
  const auto expect = [&](size_t i, const char* subject, const char* object, bool result) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i].at("eventID").as_string(), "api.call");
    EXPECT_EQ(records[i].at("subject").as_string(), subject);
    EXPECT_EQ(records[i].at("object").as_string(), object);
    EXPECT_EQ(records[i].at("result").as_bool(), result);
    // The operation identifier is the one extra item; each call has its own.
    const auto& items = records[i].at("items").as_object();
    EXPECT_EQ(items.size(), 1u);
    EXPECT_TRUE(items.contains("opId"));
  };
  expect(0, "<ATTEST>", "com.velora.ovik.kms.key_operation:generate_key", true);
  expect(1, "bob", "com.velora.ovik.kms.key_operation:generate_key", false);
  expect(2, "", "com.velora.ovik.kms.key_operation:generate_key", false);
  expect(3, "", "com.velora.ovik.kms.key_operation:x", false);
  expect(4, "", "com.velora.mirel.std.introspection.provider:get", true);
  EXPECT_NE(records[0].at("items").at("opId"), records[1].at("items").at("opId"));

  const std::string text = ReadFile(auditPath_);
  for (const std::string& secret :
       {attest, reader, attestation_->key, admin_->key, std::string(32, 'k')}) {
    EXPECT_EQ(text.find(secret), std::string::npos);
  }
}

TEST_F(PipelineTest, LongMethodNamesAreCutInTheAuditRecord) {
  const std::string operation(5000, 'o');
  EXPECT_EQ(ErrorType(Call(std::nullopt, "com.velora.ovik.kms.key_operation." + operation)),
            kOperationNotFound);
  const auto records = AuditRecords();
  ASSERT_EQ(records.size(), 1u);
  const std::string object(records[0].at("object").as_string());
  EXPECT_EQ(object, "com.velora.ovik.kms.key_operation:" + operation.substr(0, 256) + "...");
}

TEST(AuditCallTest, PutsTheResultAndDropsAttributesNamingSecrets) {
  TempDir dir;
  const std::string path = dir.File("audit.log");
  VlrAudit_Configure(path);
  AttributeMap attributes{{"eventID", "api.call"}, {"subject", ""},          {"object", "s:o"},
                          {"opId", "1"},           {"accessToken", "T0KEN"}, {"privateKey", "PK"},
                          {"Password", "PW"},      {"clientSecret", "S"},    {"credential", "C"}};
  Zyld::ZylApi::AuditCall(&attributes, false);
  VlrAudit_Configure("");
  const auto records = ReadAuditRecords(path);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].at("result").as_bool(), false);
  EXPECT_EQ(boost::json::serialize(records[0].at("items")), R"({"opId":"1"})");
  EXPECT_EQ(attributes.at("result"), "false");
}

TEST(AuditCallDeathTest, NullAttributeMapIsFatal) {
  EXPECT_DEATH(Zyld::ZylApi::AuditCall(nullptr, true), "VERIFY");
}

TEST(LoadApiMetadataDeathTest, MissingOrBrokenMetadataStopsTheProcess) {
  TempDir dir;
  EXPECT_DEATH(Zyld::ZylApi::LoadApiMetadata(dir.File("absent.json")),
               "Error loading file: .*absent.json");
  // Every other section intact, the authorisation section unusable.
  auto document = boost::json::parse(ReadFile(ZYL_MIREL_METADATA)).as_object();
  document["authorization"] = "broken";
  const std::string broken = dir.File("broken.json");
  WriteFile(broken, boost::json::serialize(document));
  EXPECT_DEATH(Zyld::ZylApi::LoadApiMetadata(broken),
               "Error loading authz metadata file: .*broken.json");
  EXPECT_EXIT(
      {
        Zyld::ZylApi::LoadApiMetadata(ZYL_MIREL_METADATA);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
