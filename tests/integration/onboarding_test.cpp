// A provider onboarded with API calls alone, against PyKMIP: created, given a client certificate
// signed for the daemon's own CSR by the CA that PyKMIP trusts, given the certificate its server
// presents as trusted, its health warning of the client certificate's expiry, then serving keys;
// rotated to a new certificate with keys wrapped before still decrypting. And one audit line for
// every call, with no token, password or key in the audit file or the log.
#include "rpc.h"
#include "stack_suite.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace ZyldIt {
namespace {

constexpr const char* kCsr = "com.velora.ovik.kms.providers.client_certificate.csr.";
constexpr const char* kClientCert = "com.velora.ovik.kms.providers.client_certificate.";
constexpr const char* kServerCerts = "com.velora.ovik.kms.providers.server_certificates.";
constexpr const char* kRemote = "com.velora.ovik.kms.providers.server_certificates.remote.list";
constexpr const char* kCredential = "com.velora.ovik.kms.providers.credential.";
constexpr const char* kStatus = "com.velora.ovik.kms.providers.status.get";

std::string Json(const boost::json::object& object) { return boost::json::serialize(object); }

class Onboarding : public StackSuite {
 protected:
  static boost::json::value Admin(const std::string& method, const boost::json::object& params) {
    return Call(Port(), method, Json(params), admin_);
  }
  // The CA of the PyKMIP folder, which the PyKMIP server trusts, signs csr for client
  // authentication. It expires 30 days and an hour from now: a check made within the hour counts
  // exactly 30 whole days left.
  static std::string SignWithPykmipCa(const std::string& csr) {
    const std::string pykmip = stack_->Dir() + "/pykmip", dir = pykmip + "/signing";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/index.txt", std::ios::trunc).flush();
    std::ofstream(dir + "/daemon.csr") << csr;
    std::ofstream(dir + "/ca.cnf")
        << "[ca]\ndefault_ca = c\n[c]\ndatabase = " << dir << "/index.txt\nnew_certs_dir = " << dir
        << "\nserial = " << dir << "/serial\ndefault_md = sha256\npolicy = p\n"
        << "unique_subject = no\nx509_extensions = x\n"
        << "[p]\ncommonName = optional\n[x]\nextendedKeyUsage = clientAuth\n";
    const std::time_t end = std::chrono::system_clock::to_time_t(
        std::chrono::system_clock::now() + std::chrono::days(30) + std::chrono::hours(1));
    char endText[16] = {};
    std::strftime(endText, sizeof(endText), "%Y%m%d%H%M%SZ", std::gmtime(&end));
    EXPECT_EQ(
        RunCommand({"openssl", "ca", "-batch", "-notext", "-create_serial", "-config",
                    dir + "/ca.cnf", "-cert", pykmip + "/ca.crt", "-keyfile", pykmip + "/ca.key",
                    "-enddate", endText, "-in", dir + "/daemon.csr", "-out", dir + "/daemon.crt"}),
        0);
    return ReadFile(dir + "/daemon.crt");
  }
  // A new CSR from the daemon, signed and set as the client certificate without a key; the
  // CSR's private key (for the secret search).
  static std::string EnrolClientCertificate(const std::string& provider) {
    const auto csr = ResultOf(Admin(std::string(kCsr) + "create", {{"provider", provider}}));
    const std::string certificate = SignWithPykmipCa(std::string(csr.at("csr").as_string()));
    const auto set = Admin(std::string(kClientCert) + "set",
                           {{"provider", provider}, {"spec", {{"certificate", certificate}}}});
    EXPECT_EQ(ErrorType(set), "") << boost::json::serialize(set);
    return std::string(csr.at("privateKey").as_string());
  }
};

TEST_F(Onboarding, AProviderMadeWithApiCallsAloneServesKeysAndRotates) {
  const std::string attest = stack_->Token("attestation");
  const std::string port = stack_->Env("KMIP_PORT");
  const boost::json::object server{
      {"name", "s1"}, {"address", {{"hostname", "127.0.0.1"}, {"port", std::stoi(port)}}}};
  const boost::json::object spec{
      {"provider", "onboarded"},
      {"masterKeyId", stack_->Env("KEY_ID")},
      {"keyServer",
       {{"type", "KMIP"}, {"connectionTimeout", 10}, {"kmipServer", {{"servers", {server}}}}}}};
  ASSERT_EQ(ErrorType(Admin(Op("create"), {{"spec", spec}})), "");
  std::vector<std::string> secrets{EnrolClientCertificate("onboarded")};

  // The server's certificate as presented, untrusted until it is set as trusted.
  auto remote = [&](bool trusted) {
    return ResultOf(
        Admin(kRemote, {{"provider", "onboarded"}, {"filter", {{"trusted", trusted}}}}));
  };
  const auto untrusted = remote(false);
  ASSERT_EQ(untrusted.as_array().size(), 1u) << boost::json::serialize(untrusted);
  const std::string presented(untrusted.at(0).at("certificate").as_string());
  ASSERT_EQ(ErrorType(Admin(std::string(kServerCerts) + "set",
                            {{"provider", "onboarded"}, {"certificates", {presented}}})),
            "");
  EXPECT_EQ(remote(true).as_array().size(), 1u);
  // Healthy but for the client certificate, signed for 30 days.
  const auto health = ResultOf(Admin(kStatus, {{"provider", "onboarded"}}));
  ASSERT_EQ(StringAt(health, {"health"}), "WARNING") << boost::json::serialize(health);
  ASSERT_EQ(health.at("messages").as_array().size(), 1u) << boost::json::serialize(health);
  EXPECT_EQ(health.at("messages").at(0).at("id").as_string(),
            "com.velora.ovik.kms.providers.statussvc.client_certificate_expiring");
  EXPECT_EQ(health.at("messages").at(0).at("args").at("days").as_string(), "30");

  const std::string generate = R"({"provider":"onboarded","keySize":32})";
  const auto first = Call(Port(), kGenerateKey, generate, attest);
  const std::string wrapped = StringAt(first, {"result", "wrappedKey"});
  ASSERT_FALSE(wrapped.empty()) << boost::json::serialize(first);

  // Rotation: a new key pair and certificate; the key wrapped before still decrypts.
  secrets.push_back(EnrolClientCertificate("onboarded"));
  const auto decrypted =
      Call(Port(), kDecrypt, R"({"provider":"onboarded","wrappedKey":")" + wrapped + "\"}", attest);
  EXPECT_EQ(StringAt(decrypted, {"result", "key"}), StringAt(first, {"result", "key"}))
      << boost::json::serialize(decrypted);
  EXPECT_FALSE(
      StringAt(Call(Port(), kGenerateKey, generate, attest), {"result", "wrappedKey"}).empty());

  const std::string log = ReadFile(stack_->Env("LOG"));
  const std::string audit = ReadFile(stack_->Env("AUDIT"));
  for (const std::string& secret : secrets) {
    const auto lines = TestSupport::Lines(secret);
    ASSERT_GT(lines.size(), 3u);
    EXPECT_EQ(log.find(lines[2]), std::string::npos) << "private key in the log";
    EXPECT_EQ(audit.find(lines[2]), std::string::npos) << "private key in the audit file";
  }
}

// Calls allowed and refused, carrying tokens, a password or a private key, or answering a key:
// each leaves one audit line, and no secret reaches the audit file or the log. What each refusal
// is and what its audit record holds are the services' and the pipeline's tests.
TEST_F(Onboarding, EveryCallLeavesOneAuditLineAndNoSecret) {
  const std::string attest = stack_->Token("attestation");
  const std::string reader = stack_->Token("admin", {"KMS_READ"});
  const std::string provider = stack_->Env("PROVIDER"), pykmip = stack_->Dir() + "/pykmip";
  // The second PyKMIP client's identity, which the daemon never holds.
  const std::string otherKey = ReadFile(pykmip + "/client2.key");
  const std::string truncated = ReadFile(pykmip + "/client2.crt").substr(0, 600);
  const auto clientKey = TestSupport::Lines(ReadFile(pykmip + "/client.key"));
  ASSERT_GT(clientKey.size(), 3u);
  std::vector<std::string> secrets{attest, reader, "pw-1", clientKey[2],
                                   TestSupport::Lines(otherKey).at(2)};
  const boost::json::object generate{{"provider", provider}, {"keySize", 32}};
  struct Step {
    std::string method;
    boost::json::object params;
    std::string token, error;  // error: the type's last part, empty for success
  };
  const std::vector<Step> steps{
      {kGenerateKey, generate, attest, ""},
      {kGenerateKey, generate, reader, "unauthorized"},
      {kCredential + std::string("set"),
       {{"provider", "absent"}, {"credential", "pw-1"}},
       admin_,
       "not_found"},
      {kClientCert + std::string("set"),
       {{"provider", provider}, {"spec", {{"certificate", truncated}, {"privateKey", otherKey}}}},
       admin_,
       "invalid_argument"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.method + " " + Json(step.params));
    const size_t before = stack_->AuditLines().size();
    const auto answer = Call(Port(), step.method, Json(step.params), step.token);
    EXPECT_EQ(ErrorType(answer), step.error.empty() ? "" : kErrors + step.error)
        << boost::json::serialize(answer);
    const std::string key = StringAt(answer, {"result", "key"});
    if (!key.empty()) secrets.push_back(key);
    EXPECT_EQ(stack_->AuditLines().size(), before + 1);
  }
  for (const std::string& file : {stack_->Env("LOG"), stack_->Env("AUDIT")}) {
    const std::string text = ReadFile(file);
    for (const std::string& secret : secrets) {
      EXPECT_EQ(text.find(secret), std::string::npos) << secret.substr(0, 16) << " in " << file;
    }
  }
}

}  // namespace
}  // namespace ZyldIt
