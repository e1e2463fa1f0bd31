// Providers managed over HTTP by the running daemon: who may change them, one audit line per
// call, changes that reach key operations without a restart and survive SIGKILL.
#include "providers_rpc.h"
#include "stack_suite.h"

#include <string>
#include <vector>

namespace ZyldIt {
namespace {

class Providers : public StackSuite {
 protected:
  static std::string Admin() { return stack_->Token("admin", {"KMS_ADMIN"}); }
};

TEST_F(Providers, OnlyAdministratorsChangeAndEveryCallIsAuditedOnce) {
  const std::string admin = Admin();
  const std::string reader = stack_->Token("admin", {"KMS_READ"});
  const std::string attest = stack_->Token("attestation");
  const std::string p2 = IdParams("p2");
  const std::string update =
      UpdateParams("p2", {{"keyServer", {{"description", "second"}, {"connectionTimeout", 7}}}});
  struct Step {
    std::string op, params, token, error;  // error: expected type suffix, empty for success
  };
  const std::vector<Step> steps{
      {"create", CreateParams("p2", {"127.0.0.2"}), reader, "unauthorized"},
      {"create", CreateParams("p2", {"127.0.0.2"}), attest, "unauthorized"},
      {"create", CreateParams("p2", {"127.0.0.2"}), "", "unauthenticated"},
      {"create", CreateParams("p2", {"127.0.0.2"}), admin, ""},
      {"create", CreateParams("p2", {"127.0.0.3"}), admin, "already_exists"},
      {"create", CreateParams("p3", {"h"}, "", 70000), admin, "invalid_argument"},
      {"list", "", reader, ""},
      {"update", update, reader, "unauthorized"},
      {"update", update, admin, ""},
      {"get", p2, reader, ""},
      {"get", p2, attest, "unauthorized"},
      {"delete", p2, reader, "unauthorized"},
      {"delete", p2, admin, ""},
      {"get", p2, admin, "not_found"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.op + " " + step.params);
    const size_t before = stack_->AuditLines().size();
    const auto answer = Call(Port(), Op(step.op), step.params, step.token);
    EXPECT_EQ(ErrorType(answer), step.error.empty() ? "" : kErrors + step.error)
        << boost::json::serialize(answer);
    EXPECT_EQ(stack_->AuditLines().size(), before + 1);
    if (step.op == "list") {
      EXPECT_NE(boost::json::serialize(answer).find(R"({"provider":"p2"})"), std::string::npos);
    }
    if (step.op == "get" && step.error.empty()) {
      const auto keyServer = ResultOf(answer).at("keyServer");
      EXPECT_EQ(keyServer.at("description").as_string(), "second");
      EXPECT_EQ(keyServer.at("connectionTimeout").as_int64(), 7);
    }
  }
  // The change is logged with the caller's user name.
  EXPECT_NE(ReadFile(stack_->Env("LOG")).find("Provider p2 created by administrator"),
            std::string::npos);
  const auto invalid = Call(Port(), Op("create"), CreateParams("p3", {"h"}, "", 70000), admin);
  EXPECT_EQ(StringAt(invalid, {"error", "message"}),
            "A specified parameter was not correct: "
            "'spec.keyServer.kmipServer.servers.server.adress.port'.");
}

// The seeded provider pointed at a closed port fails; pointed back, it serves keys again at once.
TEST_F(Providers, AnUpdatedServerIsUsedWithoutARestart) {
  const std::string admin = Admin();
  const std::string attest = stack_->Token("attestation");
  const std::string provider = stack_->Env("PROVIDER");
  const std::string generate = R"({"provider":")" + provider + R"(","keySize":32})";
  auto servers = [&](int port) {
    const boost::json::object server{{"name", "kmip"},
                                     {"address", {{"hostname", "127.0.0.1"}, {"port", port}}}};
    return UpdateParams(provider, {{"keyServer", {{"kmipServer", {{"servers", {server}}}}}}});
  };
  const int kmipPort = std::stoi(stack_->Env("KMIP_PORT"));
  ASSERT_EQ(ErrorType(Call(Port(), Op("update"), servers(1), admin)), "");
  EXPECT_FALSE(ErrorType(Call(Port(), kGenerateKey, generate, attest)).empty());
  ASSERT_EQ(ErrorType(Call(Port(), Op("update"), servers(kmipPort), admin)), "");
  const auto generated = Call(Port(), kGenerateKey, generate, attest);
  EXPECT_FALSE(StringAt(generated, {"result", "wrappedKey"}).empty())
      << boost::json::serialize(generated);
}

TEST_F(Providers, AcknowledgedChangesSurviveSigkill) {
  const std::string admin = Admin();
  ASSERT_EQ(ErrorType(Call(Port(), Op("create"), CreateParams("durable", {"10.9.9.9"}), admin)),
            "");
  ASSERT_TRUE(stack_->RestartDaemon(true));
  EXPECT_EQ(ErrorType(Call(Port(), Op("get"), IdParams("durable"), admin)), "");
  ASSERT_EQ(ErrorType(Call(Port(), Op("delete"), IdParams("durable"), admin)), "");
  ASSERT_TRUE(stack_->RestartDaemon(true));
  EXPECT_EQ(ErrorType(Call(Port(), Op("get"), IdParams("durable"), admin)),
            std::string(kErrors) + "not_found");
}

}  // namespace
}  // namespace ZyldIt
