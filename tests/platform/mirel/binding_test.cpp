// The generated bindings: a bound key_operation interface decodes params, invokes the
// implementation and encodes its result; the metadata document's entitlement table covers every
// operation.
#include <mirel/authz.h>
#include <mirel/errors.h>
#include <mirel/metadata.h>
#include <mirel/metadata_gen.h>
#include <zyl-bindings/services.h>

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>
#include <test_wipes.h>

#include <algorithm>
#include <set>
#include <sstream>

namespace {

namespace KeyOp = Com::Velora::Ovik::Kms::KeyOperationSvc;
using Mirel::MethodResult;

class FakeKeyOperation : public KeyOp::AsyncServiceInterface {
 public:
  void GenerateKey(const std::string& provider, int64_t keySize,
                   Mirel::AsyncResult<KeyOp::GeneratedKey> result) override {
    calls.push_back("generate " + provider + " " + std::to_string(keySize));
    providerText = provider.data();
    result.SetResult(KeyOp::GeneratedKey{"wrapped", std::string("clear")});
  }
  void Encrypt(const std::string&, const std::string&,
               Mirel::AsyncResult<KeyOp::EncryptResult>) override {}
  void Decrypt(const std::string&, const std::string&,
               Mirel::AsyncResult<KeyOp::DecryptResult>) override {}
  std::vector<std::string> calls;
  const char* providerText = nullptr;  // the decoded parameter the call was given
};

MethodResult Call(const Mirel::Binding::BoundInterface& bound, const char* op, const char* params) {
  std::optional<MethodResult> answer;
  const auto* operation = bound.FindOperation(op);
  EXPECT_NE(operation, nullptr) << op;
  operation->Invoke(boost::json::parse(params),
                    [&answer](MethodResult r) { answer = std::move(r); });
  EXPECT_TRUE(answer.has_value());
  return std::move(*answer);
}

TEST(Binding, KeyOperationDecodesInvokesEncodes) {
  auto impl = std::make_shared<FakeKeyOperation>();
  auto localizer = std::make_shared<Mirel::L10n::Localizer>("en_US", nullptr);
  const auto bound = KeyOp::AsyncServiceBinder::BindImplementation(impl, localizer);
  TestSupport::WipeRecorder wipes;
  const auto ok = Call(*bound, "generate_key", R"({"provider": "prov1", "keySize": 32})");
  ASSERT_FALSE(ok.IsError());
  EXPECT_EQ(*ok.value, boost::json::parse(R"({"wrappedKey": "wrapped", "key": "clear"})"));
  EXPECT_EQ(impl->calls, std::vector<std::string>{"generate prov1 32"});
  // The decoded parameters are wiped once the call has returned.
  EXPECT_TRUE(wipes.Saw([&](const TestSupport::Wipe& w) {
    return w.data == impl->providerText && w.size >= 5 && w.zero;
  }));
}

// Which params are invalid, and the member named, is the codec's; here, that they are answered
// invalid params without calling the implementation.
TEST(Binding, InvalidParamsNeverReachTheImplementation) {
  auto impl = std::make_shared<FakeKeyOperation>();
  const auto bound = KeyOp::AsyncServiceBinder::BindImplementation(impl, nullptr);
  const std::pair<const char*, const char*> cases[] = {
      {R"({"provider": "p"})", "keySize"},
      {R"(null)", "provider"},
      {R"([1, 2])", "params"},
  };
  for (const auto& [params, member] : cases) {
    const auto answer = Call(*bound, "generate_key", params);
    ASSERT_TRUE(answer.IsError()) << params;
    EXPECT_EQ(Mirel::JsonRpcCode(*answer.error), -32602) << params;
    EXPECT_EQ(answer.error->messages.at(0).args.at("member"), member) << params;
  }
  EXPECT_TRUE(impl->calls.empty());
}

TEST(Metadata, DocumentDescribesEveryServiceAndTheEntitlements) {
  const auto services = Zyl::Bindings::AllServices();
  const auto document =
      Mirel::Metadata::BuildMetadataDocument(services, Zyl::Bindings::MetadataOptions());
  // The authorisation section, loaded, grants every operation to the administrator and none
  // without authentication.
  std::stringstream in(boost::json::serialize(document));
  Mirel::Authz::AuthzInfo info;
  std::vector<Mirel::Message> errors;
  ASSERT_TRUE(Mirel::Authz::LoadAuthzInfoMetadata::Load(in, info, nullptr, &errors));
  for (const auto& service : services) {
    for (const auto& op : service.operations) {
      const auto* granted = info.Find(service.id, op.id);
      ASSERT_NE(granted, nullptr) << service.id << "." << op.id;
      EXPECT_FALSE(granted->noAuthentication);
      EXPECT_NE(std::find(granted->entitlements.begin(), granted->entitlements.end(), "KMS_ADMIN"),
                granted->entitlements.end());
    }
  }
  const auto* status = info.Find("com.velora.ovik.kms.providers.status", "get");
  EXPECT_EQ(std::set<std::string>(status->entitlements.begin(), status->entitlements.end()),
            (std::set<std::string>{"KMS_ADMIN", "KMS_READ", "@ATTEST+KEY_OPERATIONS"}));
  const auto* create = info.Find("com.velora.ovik.kms.providers", "create");
  EXPECT_EQ(create->entitlements, std::vector<std::string>{"KMS_ADMIN"});
}

// Loading the generated file succeeds in the pipeline tests; here, the failures.
TEST(Metadata, UnreadableFilesFailToLoad) {
  Mirel::Metadata::MetadataContainer cli;
  const Har::Status missing =
      Mirel::Metadata::ProviderHelper::LoadCliMetadataFile("zyl_mirel_cli", "/nonexistent", cli);
  EXPECT_FALSE(missing);
  EXPECT_NE(missing.message().find("/nonexistent"), std::string::npos);
  std::stringstream broken("{\"entitlements\": {\"KMS_ADMIN\": [3]}}");
  Mirel::Authz::AuthzInfo info;
  std::vector<Mirel::Message> errors;
  EXPECT_FALSE(Mirel::Authz::LoadAuthzInfoMetadata::Load(broken, info, nullptr, &errors));
  EXPECT_EQ(errors.size(), 1u);
}

}  // namespace
