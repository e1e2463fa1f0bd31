// Providers managed over HTTP by the running daemon: the wiring of the service, one audit line
// per call, and changes that survive SIGKILL.
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

// Authorisation, validation and store results per operation are the pipeline's and the
// service's tests; over HTTP one refusal shows the wiring, and each call leaves one audit line.
TEST_F(Providers, OneRefusalShowsTheWiringAndEveryCallIsAuditedOnce) {
  const std::string admin = Admin();
  const std::string reader = stack_->Token("admin", {"KMS_READ"});
  struct Step {
    std::string op, params, token, error;  // error: expected type suffix, empty for success
  };
  const std::vector<Step> steps{
      {"create", CreateParams("p2", {"127.0.0.2"}), reader, "unauthorized"},
      {"create", CreateParams("p2", {"127.0.0.2"}), admin, ""},
      {"create", CreateParams("p3", {"h"}, "", 70000), admin, "invalid_argument"},
      {"delete", IdParams("p2"), admin, ""},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.op + " " + step.params);
    const size_t before = stack_->AuditLines().size();
    const auto answer = Call(Port(), Op(step.op), step.params, step.token);
    EXPECT_EQ(ErrorType(answer), step.error.empty() ? "" : kErrors + step.error)
        << boost::json::serialize(answer);
    EXPECT_EQ(stack_->AuditLines().size(), before + 1);
    if (step.error == "invalid_argument") {
      EXPECT_EQ(StringAt(answer, {"error", "message"}),
                "A specified parameter was not correct: "
                "'spec.keyServer.kmipServer.servers.server.adress.port'.");
    }
  }
  // The change is logged with the caller's user name.
  EXPECT_NE(ReadFile(stack_->Env("LOG")).find("Provider p2 created by administrator"),
            std::string::npos);
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
