// The daemon's call pipeline over the generated metadata file with real RS256 tokens and the real
// token handlers reading their certificates from a real store: the order of resolution and
// authentication, the authorisation of the entitlement table, params decoded only for authorised
// calls, the services open without authentication, and the audit record of every call.
#include "api_fixture.h"

#include <harlibs/log.h>
#include <mirel/authz.h>
#include <mirel/errors.h>

namespace {

using namespace ZyldTest;
using Zyld::ZylApi::AttributeMap;

class PipelineTest : public ApiTest {};

const boost::json::value kGenerate = boost::json::object{{"provider", "prov1"}, {"keySize", 32}};

TEST_F(PipelineTest, UnknownOperationIsAnsweredBeforeAuthentication) {
  for (const char* method :
       {"com.velora.ovik.kms.key_operation.wrap", "com.velora.ovik.kms.nothing.get"}) {
    const auto answer = Call(std::string("not-a-jwt"), method);
    EXPECT_EQ(ErrorType(answer), kOperationNotFound) << method;
    EXPECT_EQ(Mirel::JsonRpcCode(*answer.error), -32601);
  }
}

// Who may call what follows the entitlement table; params are decoded only for an authorised call.
TEST_F(PipelineTest, AuthorisationFollowsTheEntitlementTable) {
  const std::string admin = SignToken(AdminClaims({"KMS_ADMIN"}), Admin().key);
  const std::string reader = SignToken(AdminClaims({"KMS_READ"}), Admin().key);
  const std::string other = SignToken(AdminClaims({"KMS_OTHER"}), Admin().key);
  const std::string attest = SignToken(AttestationClaims(), Attestation().key);
  const boost::json::value decrypt =
      boost::json::object{{"provider", "prov1"}, {"wrappedKey", "w"}};
  struct Case {
    const std::string& token;
    const char* method;
    const boost::json::value& params;
    bool allowed;
  };
  const Case cases[] = {
      {admin, kGenerateKey, kGenerate, true},   {attest, kGenerateKey, kGenerate, true},
      {reader, kGenerateKey, kGenerate, false}, {other, kGenerateKey, kGenerate, false},
      {attest, kDecrypt, decrypt, true},        {reader, kDecrypt, decrypt, false},
  };
  for (const Case& c : cases) {
    const std::string type = ErrorType(Call(c.token, c.method, c.params));
    EXPECT_EQ(type == kUnauthorized, !c.allowed) << c.method << " " << type;
  }

  const boost::json::value bad = boost::json::object{{"provider", 5}, {"secret", true}};
  EXPECT_EQ(ErrorType(Call(reader, kGenerateKey, bad)), kUnauthorized);
  EXPECT_EQ(ErrorType(Call(std::nullopt, kGenerateKey, bad)), kUnauthenticated);
  const auto decoded = Call(admin, kGenerateKey, bad);
  ASSERT_TRUE(decoded.IsError());
  EXPECT_EQ(Mirel::JsonRpcCode(*decoded.error), -32602);
  EXPECT_EQ(decoded.error->messages.at(0).args.at("member"), "provider");
}

TEST_F(PipelineTest, IntrospectionAndMetadataWithoutAuthentication) {
  for (const auto& full : Mirel::Authz::NoAuthenticationOperations()) {
    const std::string type = ErrorType(Call(std::nullopt, full, boost::json::object{}));
    EXPECT_NE(type, kOperationNotFound) << full;
    EXPECT_NE(type, kUnauthenticated) << full;
  }
  const auto service = Call(std::nullopt, "com.velora.mirel.std.introspection.service.get",
                            boost::json::object{{"id", "com.velora.ovik.kms.key_operation"}});
  ASSERT_FALSE(service.IsError());
  EXPECT_EQ(*service.value,
            boost::json::parse(R"({"operations": ["generate_key", "encrypt", "decrypt"]})"));
}

TEST_F(PipelineTest, TheHostHandlerAsksFirst) {
  // With one key behind both kinds, an administration token verifies for both handlers; the
  // attestation handler would reject it (no attestation issuer), so it passes only because the
  // host's handler, outside, has already authenticated it.
  StoreCertificate("attestation", Admin().cert);
  provider_ =
      Zyld::ZylApi::CreateApiProvider(ZYL_MIREL_METADATA, Zyld::ZylApi::MakeLocalizer(), logBridge_,
                                      traffic_, errors_, {registry_.get(), {}, {}});
  EXPECT_EQ(
      ErrorType(Call(SignToken(AdminClaims({"KMS_ADMIN"}), Admin().key), kGenerateKey, kGenerate)),
      "ok");
  ZyldToken::Options attestationShaped = AttestationClaims();
  EXPECT_EQ(ErrorType(Call(SignToken(attestationShaped, Admin().key), kGenerateKey, kGenerate)),
            kUnauthenticated);
}

TEST_F(PipelineTest, EveryCallLeavesExactlyOneAuditRecord) {
  const std::string attest = SignToken(AttestationClaims(), Attestation().key);
  const std::string reader = SignToken(AdminClaims({"KMS_READ"}, "bob"), Admin().key);
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
       {attest, reader, Attestation().key, Admin().key, std::string(32, 'k')}) {
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
