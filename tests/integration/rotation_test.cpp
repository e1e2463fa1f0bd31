// Log rotation on the running daemon through logrotate with the shipped snippet: the host log and
// the audit file moved aside, then SIGHUP. The daemon keeps serving, new records land in the new
// files and no record is lost. Records written while the audit file is renamed are the audit
// file's own test (AuditTest).
#include "rpc.h"
#include "stack_suite.h"

#include <test_wait.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace ZyldIt {
namespace {

constexpr const char* kReopened = "SIGHUP: reopened the log file and the audit file";
constexpr auto kReopenBound = std::chrono::seconds(20);  // only catches a hang

class Rotation : public StackSuite {
 protected:
  static void SetUpTestSuite() {
    ::setenv("ZYLD_STACK_HOST_LOG", "host.log", 1);
    StackSuite::SetUpTestSuite();
  }

  // Makes n calls, each answered and each leaving one audit record.
  static void Calls(int n) {
    const std::string token = stack_->Token("attestation");
    const std::string params = "{\"provider\":\"" + stack_->Env("PROVIDER") + "\",\"keySize\":32}";
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(ResultOf(Call(Port(), kGenerateKey, params, token)).is_object());
    }
  }
  static size_t Records(const std::string& path) {
    return TestSupport::Lines(ReadFile(path)).size();
  }
  static bool Reopened(const std::string& log) {
    return TestSupport::Eventually(
        [&] { return ReadFile(log).find(kReopened) != std::string::npos; }, kReopenBound,
        std::chrono::milliseconds(20));
  }
  // The shipped snippet, rewritten for this stack's files and daemon.
  static std::string LogrotateConfig(const std::string& log, const std::string& audit) {
    std::string text;
    EXPECT_EQ(RunCommand({"sed", "-e", "s|/var/log/velora/zyld/zyld.log|" + log + "|", "-e",
                          "s|/var/log/velora/zyld/audit.log|" + audit + "|", "-e",
                          "s|systemctl kill .*|kill -HUP " + stack_->Env("ZYLD_PID") + "|",
                          SourceDir() + "/packaging/logrotate/zyld"},
                         &text),
              0);
    const std::string path = stack_->Dir() + "/logrotate.conf";
    TestSupport::WriteFile(path, text);
    return path;
  }
};

TEST_F(Rotation, LogrotateReopensBothFilesWithoutLosingARecord) {
  const std::string log = stack_->Env("HOST_LOG"), audit = stack_->Env("AUDIT");
  ASSERT_FALSE(log.empty());
  ASSERT_NO_FATAL_FAILURE(Calls(2));
  const size_t before = Records(audit);

  // audit.log and host.log become *.1, the signal comes from postrotate.
  const std::string state = stack_->Dir() + "/logrotate.state";
  std::string out;
  ASSERT_EQ(RunCommand({"logrotate", "-f", "-s", state, LogrotateConfig(log, audit)}, &out), 0)
      << out;
  ASSERT_TRUE(Reopened(log)) << ReadFile(log + ".1");
  const size_t fresh = Records(audit);
  ASSERT_NO_FATAL_FAILURE(Calls(4));
  EXPECT_EQ(Records(audit), fresh + 4);
  EXPECT_EQ(Records(audit + ".1") + Records(audit), before + 4);
}

}  // namespace
}  // namespace ZyldIt
