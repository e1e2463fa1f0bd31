// The running daemon with real tokens and a real key server: the audit file of every call, with no
// token or key in it or in the log. The key round trip through PyKMIP is the onboarding suite's;
// each kind of refusal and its audit record is the pipeline's test.
#include "rpc.h"
#include "stack_suite.h"

#include <string>
#include <vector>

namespace ZyldIt {
namespace {

class Calls : public StackSuite {
 protected:
  static std::string Provider() { return stack_->Env("PROVIDER"); }
  static std::string GenerateParams(int size) {
    return "{\"provider\":\"" + Provider() + "\",\"keySize\":" + std::to_string(size) + "}";
  }
};

// Every call that reaches an operation leaves exactly one audit line, allowed or refused, and no
// token or key ever reaches the audit file or the log.
TEST_F(Calls, EveryCallLeavesOneAuditLineWithoutSecrets) {
  const std::string attest = stack_->Token("attestation");
  const std::string reader = stack_->Token("admin", {"KMS_READ"});
  std::vector<std::string> secrets{attest, reader};

  struct Step {
    std::string method, params, token;
    bool success;
  };
  const std::vector<Step> steps{
      {kGenerateKey, GenerateParams(32), attest, true},
      {kGenerateKey, GenerateParams(32), reader, false},
      {kGenerateKey, "{\"provider\":\"nope\",\"keySize\":32}", attest, false},
      {kGenerateKey, GenerateParams(4096), attest, false},
      {kDecrypt, "{\"provider\":7}", attest, false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.method + " " + step.params);
    const size_t before = stack_->AuditLines().size();
    const auto answer = Call(Port(), step.method, step.params, step.token);
    ASSERT_FALSE(answer.is_null());
    const std::string key = StringAt(answer, {"result", "key"});
    if (!key.empty()) secrets.push_back(key);
    const auto lines = stack_->AuditLines();
    ASSERT_EQ(lines.size(), before + 1) << boost::json::serialize(answer);
    const auto record = ParseJson(lines.back());
    ASSERT_TRUE(record.is_object()) << lines.back();
    EXPECT_EQ(StringAt(record, {"eventID"}), "api.call");
    const std::string method = step.method;
    const std::string object = StringAt(record, {"object"});
    EXPECT_EQ(object.substr(object.find(':') + 1), method.substr(method.rfind('.') + 1))
        << lines.back();
    EXPECT_EQ(record.at("result").as_bool(), step.success) << lines.back();
  }
  // The provider's client key, a line of its base64 body.
  const auto clientKey = TestSupport::Lines(ReadFile(stack_->Dir() + "/pykmip/client.key"));
  ASSERT_GT(clientKey.size(), 3u);
  secrets.push_back(clientKey[2]);
  const std::string audit = ReadFile(stack_->Env("AUDIT"));
  const std::string log = ReadFile(stack_->Env("LOG"));
  for (const std::string& secret : secrets) {
    ASSERT_FALSE(secret.empty());
    EXPECT_EQ(audit.find(secret), std::string::npos)
        << "secret in the audit file: " << secret.substr(0, 16);
    EXPECT_EQ(log.find(secret), std::string::npos)
        << "secret in the daemon log: " << secret.substr(0, 16);
  }
}

}  // namespace
}  // namespace ZyldIt
