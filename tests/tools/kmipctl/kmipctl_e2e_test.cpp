// kmipctl as a process against a real PyKMIP server: every command, the proxy option, and the exit
// statuses and messages of failures. The credential option's request is the library's (PyKMIP).
#include "pykmip_peer.h"

#include <gtest/gtest.h>
#include <ironveil-common/ssl_utils.h>

#include <string>
#include <vector>

namespace {

using PykmipTest::ProcessResult;
using PykmipTest::PykmipPeer;

constexpr int kRunTimeoutSeconds = 60;

class KmipctlEndToEnd : public PykmipTest::PykmipSuite {
 protected:
  // kmipctl with the server address, the first client identity and the CA as trusted certificate,
  // then the extra arguments.
  static ProcessResult Kmipctl(const std::vector<std::string>& extra, bool trustCa = true) {
    const std::string port = std::to_string(peer_->Port());
    const std::string cert = peer_->Path("client.crt"), key = peer_->Path("client.key");
    std::vector<std::string> argv{
        KMIPCTL_BINARY, "--host",       "127.0.0.1", "--port",    port, "--client-cert",
        cert,           "--client-key", key,         "--timeout", "20"};
    if (trustCa) {
      argv.insert(argv.end(), {"--trusted-cert", peer_->Path("ca.crt")});
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    return PykmipTest::RunProcess(argv, kRunTimeoutSeconds);
  }
};

TEST_F(KmipctlEndToEnd, Versions) {
  ProcessResult r = Kmipctl({"versions"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "2.0\n1.4\n1.3\n1.2\n1.1\n1.0\n");
}

TEST_F(KmipctlEndToEnd, ServerCertIsThePresentedCertificate) {
  ProcessResult r = Kmipctl({"server-cert"}, false);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(r.out.starts_with("-----BEGIN CERTIFICATE-----")) << r.out;
  EXPECT_TRUE(Brask::Common::SslUtils::ComparePemCerts(r.out, peer_->File("server.crt")));
  // Trusted certificates given on the command line do not change what is fetched.
  ProcessResult again = Kmipctl({"server-cert"});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(again.out, r.out);
}

TEST_F(KmipctlEndToEnd, KeyInfoMatchesPykmipDirectAndThroughAProxy) {
  std::string id = peer_->CreateKey(256, "active");
  ASSERT_FALSE(id.empty());
  std::string expected = peer_->KeyInfo(id) + "\n";
  ASSERT_EQ(expected.size(), 4 + 64 + 1u);

  ProcessResult plain = Kmipctl({"key-info", id});
  EXPECT_EQ(plain.exitCode, 0) << plain.err;
  EXPECT_EQ(plain.out, expected);

  const uint16_t proxyPort = peer_->StartProxy();
  ASSERT_NE(proxyPort, 0);
  const std::string proxy = "127.0.0.1:" + std::to_string(proxyPort);
  ProcessResult proxied = Kmipctl({"--proxy", proxy, "key-info", id});
  EXPECT_EQ(proxied.exitCode, 0) << proxied.err;
  EXPECT_EQ(proxied.out, expected);
  ProcessResult proxiedState = Kmipctl({"--proxy", proxy, "state", id});
  EXPECT_EQ(proxiedState.out, "2\n") << proxiedState.err;
}

TEST_F(KmipctlEndToEnd, FailuresReportTheLibraryStatus) {
  ProcessResult missing = Kmipctl({"key-info", "999999"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_TRUE(missing.out.empty());
  EXPECT_NE(missing.err.find("Get of key 999999 failed: status 200"), std::string::npos)
      << missing.err;

  ProcessResult untrusted = Kmipctl({"versions"}, false);
  EXPECT_EQ(untrusted.exitCode, 1);
  EXPECT_NE(untrusted.err.find("status 110"), std::string::npos) << untrusted.err;

  ProcessResult unreadable = Kmipctl({"--trusted-cert", peer_->Path("no-such.pem"), "versions"});
  EXPECT_EQ(unreadable.exitCode, 1);
  EXPECT_NE(unreadable.err.find("no-such.pem"), std::string::npos) << unreadable.err;

  ProcessResult usage = Kmipctl({"state"});
  EXPECT_EQ(usage.exitCode, 2);
  EXPECT_NE(usage.err.find("usage: kmipctl"), std::string::npos) << usage.err;
}

}  // namespace
