// The call pipeline assembled as the daemon assembles it, over the generated metadata file:
// operation resolution before authentication, the authentication filters, the authorisation
// decisions of the entitlement table, params decoded only for authorised calls, the call registrar,
// and the introspection and metadata services answered without authentication. The daemon's own
// tests add only its real token handlers and audit.
#include <mirel/authn.h>
#include <mirel/authz.h>
#include <mirel/errors.h>
#include <mirel/local_provider.h>
#include <mirel/metadata.h>
#include <mirel/registrar.h>
#include <tokenauthn/entitlement_checker.h>
#include <zyl-bindings/services.h>

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace {

namespace Kms = Com::Velora::Ovik::Kms;
using Mirel::MethodResult;

class KeyOperation : public Kms::KeyOperationSvc::AsyncServiceInterface {
 public:
  void GenerateKey(const std::string& provider, int64_t,
                   Mirel::AsyncResult<Kms::KeyOperationSvc::GeneratedKey> r) override {
    ++calls;
    r.SetResult({"wrapped-" + provider, std::nullopt});
  }
  void Encrypt(const std::string&, const std::string&,
               Mirel::AsyncResult<Kms::KeyOperationSvc::EncryptResult> r) override {
    ++calls;
    r.SetError(Mirel::MakeErrorValue(Mirel::ErrorTypes::kError));
  }
  void Decrypt(const std::string&, const std::string&,
               Mirel::AsyncResult<Kms::KeyOperationSvc::DecryptResult> r) override {
    ++calls;
    r.SetResult({"clear"});
  }
  int calls = 0;
};

class RawConfig : public Kms::RawConfigSvc::AsyncServiceInterface {
 public:
  void Get(const std::optional<Kms::RawConfigSvc::InfoType>&,
           Mirel::AsyncResult<Kms::RawConfigSvc::Info> r) override {
    r.SetResult({});
  }
  void Set(const std::vector<uint8_t>&, Mirel::AsyncResult<void> r) override { r.SetResult(); }
};

// Answers by token text: a table of known tokens, an error for "bad", none otherwise.
class FakeHandler : public Mirel::Authn::Authenticator {
 public:
  explicit FakeHandler(std::map<std::string, std::pair<std::string, std::string>> tokens)
      : tokens_(std::move(tokens)) {}
  void Authenticate(const Mirel::CallContext& ctx, Mirel::Authn::AuthnCallback answer) override {
    ++asked;
    if (!ctx.accessToken) {
      answer(Mirel::Authn::AuthnAnswer::None());
      return;
    }
    if (ctx.accessToken->view() == "bad") {
      answer(Mirel::Authn::AuthnAnswer::Failure(
          Mirel::MakeErrorValue(Mirel::ErrorTypes::kUnauthenticated)));
      return;
    }
    const auto it = tokens_.find(std::string(ctx.accessToken->view()));
    if (it == tokens_.end()) {
      answer(Mirel::Authn::AuthnAnswer::None());
      return;
    }
    answer(Mirel::Authn::AuthnAnswer::Data(boost::json::object{
        {"username", it->second.first},
        {"entitlements", boost::json::array{boost::json::value(it->second.second)}}}));
  }
  int asked = 0;

 private:
  std::map<std::string, std::pair<std::string, std::string>> tokens_;
};

class Registrar : public Mirel::CallRegistrarBase {
 public:
  using CallRegistrarBase::CallRegistrarBase;
  std::vector<std::string> started;
  std::vector<Mirel::CallInfo> ended;

 protected:
  void NotifyOnInvoke(Mirel::CallInfo& info) override {
    started.push_back(info.firstNamePart + ":" + info.secondNamePart);
    (*info.attributes)["seen"] = "yes";
  }
  void NotifyOnComplete(Mirel::CallInfo& info) override { ended.push_back(info); }
};

class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    auto localizer = std::make_shared<Mirel::L10n::Localizer>("en_US", nullptr);
    std::vector<Mirel::Binding::BoundInterfacePtr> interfaces{
        Kms::KeyOperationSvc::AsyncServiceBinder::BindImplementation(keyOps, localizer),
        Kms::RawConfigSvc::AsyncServiceBinder::BindImplementation(std::make_shared<RawConfig>(),
                                                                  localizer)};
    using Helper = Mirel::Metadata::ProviderHelper;
    const Har::Status cliLoaded =
        Helper::LoadCliMetadataFile("zyl_mirel_cli", ZYL_MIREL_METADATA, *cli);
    ASSERT_TRUE(cliLoaded) << cliLoaded.message();
    ASSERT_TRUE(
        Helper::LoadMetamodelMetadataFile("zyl_mirel_metamodel", ZYL_MIREL_METADATA, *metamodel));
    ASSERT_TRUE(Helper::LoadAuthenticationMetadataFile("zyl_mirel_authentication",
                                                       ZYL_MIREL_METADATA, *authn));
    for (const auto& container : {cli, metamodel, authn}) {
      for (auto& iface : container->Interfaces()) {
        interfaces.push_back(std::move(iface));
      }
    }
    auto local = Mirel::CreateLocalProvider(interfaces, metamodel);
    auto info = std::make_shared<Mirel::Authz::AuthzInfo>(Mirel::Authz::CreateDefaultAuthzInfo());
    std::ifstream in(ZYL_MIREL_METADATA);
    ASSERT_TRUE(Mirel::Authz::LoadAuthzInfoMetadata::Load(in, *info, nullptr, nullptr));
    Mirel::ApiProviderPtr stage = std::make_shared<Mirel::Authz::AsyncAuthzFilter>(
        local, info, std::make_shared<OvikToken::Authz::JwtEntitlementCheckerImpl>());
    stage = std::make_shared<Mirel::Authn::AsyncAuthnFilter>(stage, attest);
    stage = std::make_shared<Mirel::Authn::AsyncAuthnFilter>(stage, host);
    stage = std::make_shared<Mirel::OpIdProvider>(stage, local);
    registrar = std::make_shared<Registrar>(stage);
  }

  MethodResult Call(const std::string& method, const char* params,
                    std::optional<std::string> token = {}) {
    auto ctx = std::make_shared<Mirel::CallContext>();
    if (token) ctx->accessToken.emplace(*token);
    Mirel::ApiRequest request;
    request.id = 1;
    const size_t dot = method.rfind('.');
    request.serviceId = method.substr(0, dot);
    request.operationId = method.substr(dot + 1);
    request.params = boost::json::parse(params);
    std::optional<MethodResult> answer;
    registrar->Invoke(ctx, std::move(request),
                      [&answer](MethodResult r) { answer = std::move(r); });
    EXPECT_TRUE(answer.has_value());
    return std::move(*answer);
  }

  static std::string Type(const MethodResult& r) { return r.IsError() ? r.error->type : "ok"; }

  std::shared_ptr<KeyOperation> keyOps = std::make_shared<KeyOperation>();
  std::shared_ptr<FakeHandler> host =
      std::make_shared<FakeHandler>(std::map<std::string, std::pair<std::string, std::string>>{
          {"admin", {"root", "KMS_ADMIN"}}, {"reader", {"auditor", "KMS_READ"}}});
  std::shared_ptr<FakeHandler> attest =
      std::make_shared<FakeHandler>(std::map<std::string, std::pair<std::string, std::string>>{
          {"attest", {"vm1", "@ATTEST+KEY_OPERATIONS"}}});
  std::shared_ptr<Mirel::Metadata::MetadataContainer> cli =
      std::make_shared<Mirel::Metadata::MetadataContainer>();
  std::shared_ptr<Mirel::Metadata::MetadataContainer> metamodel =
      std::make_shared<Mirel::Metadata::MetadataContainer>();
  std::shared_ptr<Mirel::Metadata::MetadataContainer> authn =
      std::make_shared<Mirel::Metadata::MetadataContainer>();
  std::shared_ptr<Registrar> registrar;
};

constexpr const char* kGenerate = "com.velora.ovik.kms.key_operation.generate_key";
constexpr const char* kGoodParams = R"({"provider": "p1", "keySize": 32})";

TEST_F(Pipeline, UnknownOperationIsAnsweredBeforeAuthentication) {
  for (const char* method :
       {"com.velora.ovik.kms.key_operation.wrap", "com.velora.ovik.kms.nothing.get",
        "com.velora.ovik.kms.providers.list"}) {
    const auto answer = Call(method, "{}", std::string("bad"));
    EXPECT_EQ(Type(answer), "com.velora.mirel.std.errors.operation_not_found") << method;
    EXPECT_EQ(Mirel::JsonRpcCode(*answer.error), -32601);
  }
  EXPECT_EQ(host->asked + attest->asked, 0);
}

TEST_F(Pipeline, AuthenticationFiltersInOrder) {
  // The host handler's error ends the call; the attestation handler is never asked.
  EXPECT_EQ(Type(Call(kGenerate, kGoodParams, std::string("bad"))),
            "com.velora.mirel.std.errors.unauthenticated");
  EXPECT_EQ(attest->asked, 0);
  // Host data: the attestation handler is skipped.
  EXPECT_EQ(Type(Call(kGenerate, kGoodParams, std::string("admin"))), "ok");
  EXPECT_EQ(attest->asked, 0);
  // Not the host's kind: the attestation handler decides.
  EXPECT_EQ(Type(Call(kGenerate, kGoodParams, std::string("attest"))), "ok");
  EXPECT_EQ(attest->asked, 1);
  // Nobody's kind: unauthenticated at the authorisation stage.
  EXPECT_EQ(Type(Call(kGenerate, kGoodParams, std::string("stranger"))),
            "com.velora.mirel.std.errors.unauthenticated");
  EXPECT_EQ(Type(Call(kGenerate, kGoodParams)), "com.velora.mirel.std.errors.unauthenticated");
  EXPECT_EQ(keyOps->calls, 2);
}

TEST_F(Pipeline, AuthorisationFollowsTheEntitlementTable) {
  const char* get = "com.velora.ovik.kms.raw_config.get";
  const char* set = "com.velora.ovik.kms.raw_config.set";
  EXPECT_EQ(Type(Call(get, "{}", std::string("reader"))), "ok");
  EXPECT_EQ(Type(Call(set, R"({"configuration": ""})", std::string("reader"))),
            "com.velora.mirel.std.errors.unauthorized");
  EXPECT_EQ(Type(Call(set, R"({"configuration": ""})", std::string("admin"))), "ok");
  EXPECT_EQ(Type(Call(get, "{}", std::string("attest"))),
            "com.velora.mirel.std.errors.unauthorized");
  EXPECT_EQ(Type(Call(kGenerate, kGoodParams, std::string("reader"))),
            "com.velora.mirel.std.errors.unauthorized");
  EXPECT_EQ(Type(Call("com.velora.ovik.kms.key_operation.decrypt",
                      R"({"provider": "p", "wrappedKey": "w"})", std::string("attest"))),
            "ok");
}

TEST_F(Pipeline, UnauthorisedCallerNeverGetsParamsDecoded) {
  const char* bad = R"({"provider": 5, "secret": true})";
  EXPECT_EQ(Type(Call(kGenerate, bad, std::string("reader"))),
            "com.velora.mirel.std.errors.unauthorized");
  EXPECT_EQ(Type(Call(kGenerate, bad)), "com.velora.mirel.std.errors.unauthenticated");
  const auto decoded = Call(kGenerate, bad, std::string("admin"));
  EXPECT_EQ(Mirel::JsonRpcCode(*decoded.error), -32602);
  EXPECT_EQ(decoded.error->messages.at(0).args.at("member"), "provider");
  EXPECT_EQ(keyOps->calls, 0);
}

TEST_F(Pipeline, RegistrarSeesEveryCallWithSubjectAndOutcome) {
  Call(kGenerate, kGoodParams, std::string("admin"));
  Call(kGenerate, kGoodParams, std::string("reader"));
  Call("com.velora.mirel.std.introspection.provider.get", "{}");
  ASSERT_EQ(registrar->ended.size(), 3u);
  EXPECT_EQ(registrar->started[0], "com.velora.ovik.kms.key_operation:generate_key");
  EXPECT_EQ(registrar->ended[0].subject, "root");
  EXPECT_TRUE(registrar->ended[0].success);
  EXPECT_EQ(registrar->ended[1].subject, "auditor");
  EXPECT_FALSE(registrar->ended[1].success);
  EXPECT_EQ(registrar->ended[1].errorType, "com.velora.mirel.std.errors.unauthorized");
  EXPECT_FALSE(registrar->ended[2].subject.has_value());
  EXPECT_TRUE(registrar->ended[2].success);
}

// Every introspection and metadata operation is served without authentication; what they
// describe is the metadata file's.
TEST_F(Pipeline, IntrospectionAndMetadataWithoutAuthentication) {
  for (const auto& full : Mirel::Authz::NoAuthenticationOperations()) {
    const auto answer = Call(full, "{}");
    EXPECT_NE(Type(answer), "com.velora.mirel.std.errors.operation_not_found") << full;
    EXPECT_NE(Type(answer), "com.velora.mirel.std.errors.unauthenticated") << full;
  }
  EXPECT_EQ(*Call("com.velora.mirel.std.introspection.service.get",
                  R"({"id": "com.velora.ovik.kms.key_operation"})")
                 .value,
            boost::json::parse(R"({"operations": ["generate_key", "encrypt", "decrypt"]})"));
  EXPECT_EQ(Type(Call("com.velora.mirel.std.introspection.service.get", R"({"id": "x"})")),
            "com.velora.mirel.std.errors.not_found");
  const auto provider = Call("com.velora.mirel.std.introspection.provider.get", "{}");
  EXPECT_EQ(provider.value->at("checksum").as_string().size(), 64u);
}

// An authenticated caller of an operation that the entitlement table does not name is refused,
// whatever the entitlement checker would say.
TEST(AuthzFilter, OperationWithoutGrantsIsRefused) {
  struct AllowAll : Mirel::Authz::EntitlementChecker {
    bool IsAuthorized(const boost::json::value&,
                      const Mirel::Authz::OperationGrants&) const override {
      return true;
    }
  };
  struct Inner : Mirel::ApiProvider {
    void Invoke(std::shared_ptr<Mirel::CallContext>, Mirel::ApiRequest,
                Mirel::CompletionCallback done) override {
      done(MethodResult::Value(nullptr));
    }
  };
  Mirel::Authz::AsyncAuthzFilter filter(std::make_shared<Inner>(),
                                        std::make_shared<Mirel::Authz::AuthzInfo>(),
                                        std::make_shared<AllowAll>());
  auto ctx = std::make_shared<Mirel::CallContext>();
  ctx->authData = boost::json::object{{"username", "u"}};
  Mirel::ApiRequest request;
  request.serviceId = "s";
  request.operationId = "op";
  std::optional<MethodResult> answer;
  filter.Invoke(ctx, std::move(request), [&answer](MethodResult r) { answer = std::move(r); });
  ASSERT_TRUE(answer.has_value() && answer->IsError());
  EXPECT_EQ(answer->error->type, "com.velora.mirel.std.errors.unauthorized");
}

// A handler that answers after the filter has returned, from another thread.
class LaterHandler : public Mirel::Authn::Authenticator {
 public:
  void Authenticate(const Mirel::CallContext&, Mirel::Authn::AuthnCallback answer) override {
    pending = std::move(answer);
  }
  Mirel::Authn::AuthnCallback pending;
};

TEST(AuthnFilter, HandlerMayAnswerLaterOnAnotherThread) {
  struct Inner : Mirel::ApiProvider {
    void Invoke(std::shared_ptr<Mirel::CallContext> ctx, Mirel::ApiRequest request,
                Mirel::CompletionCallback done) override {
      done(MethodResult::Value(boost::json::value(
          std::string(*Mirel::Authn::SubjectOf(ctx->authData)) + ":" + request.operationId)));
    }
  };
  auto handler = std::make_shared<LaterHandler>();
  Mirel::Authn::AsyncAuthnFilter filter(std::make_shared<Inner>(), handler);
  std::optional<MethodResult> answer;
  {
    Mirel::ApiRequest request;
    request.serviceId = "s";
    request.operationId = "op";
    filter.Invoke(std::make_shared<Mirel::CallContext>(), std::move(request),
                  [&answer](MethodResult r) { answer = std::move(r); });
  }
  ASSERT_FALSE(answer.has_value());
  std::thread([&handler] {
    handler->pending(Mirel::Authn::AuthnAnswer::Data(boost::json::object{{"username", "u"}}));
  }).join();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer->value, boost::json::value("u:op"));
}

}  // namespace
