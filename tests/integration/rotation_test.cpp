// Log rotation on the running daemon: the host log and the audit file moved aside, then SIGHUP,
// by hand and through logrotate with the shipped snippet. The daemon keeps serving, new records
// land in the new files and no record is lost.
#include "rpc.h"
#include "stack_suite.h"

#include <signal.h>

#include <test_wait.h>

#include <cstdio>
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

TEST_F(Rotation, SighupReopensBothFilesWithoutLosingARecord) {
  const std::string log = stack_->Env("HOST_LOG"), audit = stack_->Env("AUDIT");
  ASSERT_FALSE(log.empty());
  const size_t before = Records(audit);
  const pid_t pid = static_cast<pid_t>(std::stoi(stack_->Env("ZYLD_PID")));

  // By hand: moved aside, calls in between, then the signal.
  ASSERT_EQ(std::rename(log.c_str(), (log + ".moved").c_str()), 0);
  ASSERT_EQ(std::rename(audit.c_str(), (audit + ".moved").c_str()), 0);
  ASSERT_NO_FATAL_FAILURE(Calls(2));
  ASSERT_EQ(::kill(pid, SIGHUP), 0);
  ASSERT_TRUE(Reopened(log)) << ReadFile(log + ".moved");
  size_t fresh = Records(audit);
  ASSERT_NO_FATAL_FAILURE(Calls(3));
  EXPECT_EQ(Records(audit), fresh + 3);
  EXPECT_EQ(Records(audit + ".moved") + Records(audit), before + 5);

  // Through logrotate: audit.log and host.log become *.1, the signal comes from postrotate.
  const std::string state = stack_->Dir() + "/logrotate.state";
  std::string out;
  ASSERT_EQ(RunCommand({"logrotate", "-f", "-s", state, LogrotateConfig(log, audit)}, &out), 0)
      << out;
  ASSERT_TRUE(Reopened(log)) << ReadFile(log + ".1");
  fresh = Records(audit);
  ASSERT_NO_FATAL_FAILURE(Calls(4));
  EXPECT_EQ(Records(audit), fresh + 4);
  EXPECT_EQ(Records(audit + ".moved") + Records(audit + ".1") + Records(audit), before + 9);
}

}  // namespace
}  // namespace ZyldIt
