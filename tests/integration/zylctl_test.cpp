// zylctl, the real binary, against the running daemon: one test per service, each checking the
// exit statuses, the text and --json output, and values read from files.
#include "rpc.h"
#include "stack_suite.h"

#include <test_files.h>
#include <test_process.h>
#include <test_temp_dir.h>

#include <string>
#include <vector>

namespace ZyldIt {
namespace {

// zylctl's exit statuses (docs/zylctl.md).
enum Exit : int {
  kOk = 0,
  kUsage = 2,
  kUnauthenticated = 3,
  kUnauthorized = 4,
  kNotFound = 5,
  kInvalidArgument = 6,
  kServerError = 7,
  kConnection = 8,
};

class Zylctl : public StackSuite {
 protected:
  void SetUp() override {
    StackSuite::SetUp();
    provider_ = stack_->Env("PROVIDER");
  }

  // Runs zylctl with the token (none when empty) on the stack's port.
  TestSupport::ProcessResult Run(std::vector<std::string> args, const std::string& token) const {
    args.insert(args.begin(), {ZYLCTL_BINARY, "--port", std::to_string(Port())});
    return TestSupport::RunProcess(args, 60,
                                   {"ZYLCTL_METADATA=" + MetadataFile(), "ZYLCTL_TOKEN=" + token});
  }
  // Runs it with --json and expects success; the parsed result.
  boost::json::value Json(std::vector<std::string> args, const std::string& token) const {
    args.push_back("--json");
    const auto ran = Run(args, token);
    EXPECT_EQ(ran.exitCode, kOk) << ran.err;
    return ParseJson(ran.out);
  }
  // Creates a provider with one server, member by member.
  int Create(const std::string& id, const std::string& token) const {
    return Run({"providers", "create", "--spec.provider", id, "--spec.master-key-id", "mk",
                "--spec.key-server.type", "KMIP", "--spec.key-server.kmip-server.servers",
                R"({"name":"s1","address":{"hostname":"127.0.0.9","port":5696}})"},
               token)
        .exitCode;
  }

  TestSupport::TempDir dir_;
  std::string provider_;
};

TEST_F(Zylctl, KeyOperations) {
  const std::string attest = stack_->Token("attestation");
  const auto key = Json({"key", "generate", "--provider", provider_, "--size", "32"}, attest);
  const std::string wrapped = StringAt(key, {"wrappedKey"});
  ASSERT_FALSE(wrapped.empty());
  const auto plain =
      Json({"key-operation", "decrypt", "--provider", provider_, "--wrapped-key", wrapped}, attest);
  EXPECT_FALSE(StringAt(plain, {"key"}).empty());
  EXPECT_EQ(Run({"key", "generate", "--provider", provider_, "--size", "32"}, "").exitCode,
            kUnauthenticated);
  EXPECT_EQ(Run({"key", "generate", "--provider", provider_, "--size", "0"}, attest).exitCode,
            kInvalidArgument);
  EXPECT_EQ(Run({"key", "generate", "--provider", provider_}, attest).exitCode, kUsage);
  EXPECT_EQ(Run({"key", "generate", "--provider", provider_, "--size", "32", "--port", "1"}, attest)
                .exitCode,
            kConnection);
}

TEST_F(Zylctl, Providers) {
  EXPECT_EQ(Create("zp", stack_->Token("admin", {"KMS_READ"})), kUnauthorized);
  ASSERT_EQ(Create("zp", admin_), kOk);
  const auto listed = Run({"providers", "list"}, admin_);
  EXPECT_EQ(listed.out, "PROVIDER\n" + provider_ + "\nzp\n");
  EXPECT_EQ(Run({"providers", "delete", "--provider", "zp"}, admin_).exitCode, kOk);
  EXPECT_EQ(Run({"providers", "get", "--provider", "zp"}, admin_).exitCode, kNotFound);
}

// A value of several lines in the text output: a CSR (what the service makes is its own test).
TEST_F(Zylctl, CsrAsJsonAndText) {
  std::vector<std::string> csr{"providers", "client-certificate", "csr",
                               "create",    "--provider",         provider_};
  EXPECT_TRUE(
      StringAt(Json(csr, admin_), {"csr"}).starts_with("-----BEGIN CERTIFICATE REQUEST-----"));
  csr[3] = "get";
  EXPECT_NE(Run(csr, admin_).out.find("csr:\n-----BEGIN CERTIFICATE REQUEST-----"),
            std::string::npos);
}

// Values read from files: the token, a credential and a list of certificates; a missing file is a
// usage error.
TEST_F(Zylctl, ValuesFromFiles) {
  const std::string missing = "@" + dir_.File("missing");
  std::vector<std::string> credential{"providers", "credential",   "set",  "--provider",
                                      provider_,   "--credential", missing};
  EXPECT_EQ(Run(credential, admin_).exitCode, kUsage);
  credential.back() = "@" + dir_.Write("password", "s3cret\n");
  credential.insert(credential.begin(), {"--token-file", dir_.Write("token", admin_ + "\n")});
  ASSERT_EQ(Run(credential, "").exitCode, kOk);

  const auto remote =
      Json({"providers", "server-certificates", "remote", "list", "--provider", provider_}, admin_);
  ASSERT_TRUE(remote.is_array() && !remote.as_array().empty()) << remote;
  const std::string pem = StringAt(remote.as_array().front(), {"certificate"});
  ASSERT_FALSE(pem.empty());
  const std::string file = dir_.Write("server.pem", pem);
  const std::vector<std::string> set{"providers", "server-certificates", "set",     "--provider",
                                     provider_,   "--certificates",      "@" + file};
  EXPECT_EQ(Run(set, admin_).exitCode, kOk);
  const auto got = Json({"providers", "server-certificates", "get", "--provider", provider_},
                        stack_->Token("admin", {"KMS_READ"}));
  EXPECT_EQ(got.at("certificates").as_array().size(), 1u) << got;
}

// A restored backup brings a deleted provider back at once: keys are served again.
TEST_F(Zylctl, RawConfigRoundTrip) {
  const auto blob = Run({"raw-config", "get", "--blob"}, admin_);
  ASSERT_EQ(blob.exitCode, kOk) << blob.err;
  ASSERT_FALSE(blob.out.empty());
  const std::string hash = StringAt(Json({"raw-config", "get"}, admin_), {"hash"});
  const std::string backup = dir_.Write("backup", blob.out);
  ASSERT_EQ(Run({"providers", "delete", "--provider", provider_}, admin_).exitCode, kOk);
  const std::vector<std::string> generate{"key",     "generate", "--provider",
                                          provider_, "--size",   "32"};
  EXPECT_EQ(Run(generate, stack_->Token("attestation")).exitCode, kNotFound);
  EXPECT_EQ(Run({"raw-config", "set", "--configuration", "@" + backup}, admin_).exitCode, kOk);
  EXPECT_EQ(Run(generate, stack_->Token("attestation")).exitCode, kOk);
  EXPECT_EQ(StringAt(Json({"raw-config", "get"}, admin_), {"hash"}), hash);
}

TEST_F(Zylctl, StatusHelpAndCompletion) {
  const auto text = Run({"status"}, stack_->Token("attestation"));
  EXPECT_EQ(text.exitCode, kOk) << text.err;
  EXPECT_TRUE(text.out.starts_with("health: ")) << text.out;
  const auto health = Json({"providers", "status", "--provider", provider_}, admin_);
  EXPECT_EQ(StringAt(health, {"health"}), "OK") << health;
  EXPECT_EQ(Run({"providers", "--help"}, "").exitCode, kOk);
  const auto complete = TestSupport::RunProcess(
      {"bash", "-c",
       std::string("source <(") + ZYLCTL_BINARY + " completion bash) && complete -p zylctl"},
      60, {"ZYLCTL_METADATA=" + MetadataFile()});
  EXPECT_EQ(complete.out, "complete -o default -F _zylctl zylctl\n") << complete.err;
  TestSupport::WriteFile(dir_.File("bad.xml"), "<config><bogus>1</bogus></config>");
  const auto check = Run({"config", "check", dir_.File("bad.xml")}, "");
  EXPECT_EQ(check.exitCode, kInvalidArgument);
  EXPECT_NE(check.err.find("bogus: unknown key"), std::string::npos) << check.err;
}

}  // namespace
}  // namespace ZyldIt
