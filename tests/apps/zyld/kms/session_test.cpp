// The session layer: the connection specification text, status mapping and credential options on
// commands. The builder reading a provider from the store is the registry's (ProvidersTest).
#include "kms_fixture.h"

#include "provider_fixture.h"

#include <qlkmipsimple.h>
#include <qlkmipsimple/connection_spec.h>

namespace KmsTest {
namespace {

using Zyld::Kms::KmipKms;
using Zyld::Kms::KmsConnector;
using Zyld::Kms::KmsInfo;
namespace K = Zyld::Kms;

KmsInfo BareInfo() {
  KmsInfo info;
  info.name = "p";
  info.servers = {{"a", "kms-a.example", 5696}, {"b", "10.0.0.2", 15696}};
  return info;
}

// The connector's text for that call, read back by the library's parser.
Qlkmip::ConnectionSpec Parsed(const KmsInfo& info, uint32_t server, bool trust,
                              const std::string& overrideCert) {
  const Har::Secret text = KmsConnector(std::make_shared<KmsInfo>(info))
                               .BuildConnectionSpec(server, trust, overrideCert);
  Qlkmip::ConnectionSpec spec;
  const Har::Status parsed = Qlkmip::ParseConnectionSpec(text.view(), &spec);
  EXPECT_TRUE(parsed) << parsed.message();
  return spec;
}

TEST(ConnectionSpec, ServerTrustedCertificatesProxyClientAndTimeout) {
  KmsInfo info = BareInfo();
  const std::string ca = Certs().ca.certPem;
  const std::string server = Certs().server.certPem;
  info.trustedServerCertificates = {ca, server};
  const Qlkmip::ConnectionSpec trusting = Parsed(info, 1, true, "");
  EXPECT_EQ(trusting.host, "10.0.0.2");
  EXPECT_EQ(trusting.port, 15696);
  EXPECT_TRUE(trusting.proxyHost.empty());
  EXPECT_EQ(trusting.timeoutSeconds, Qlkmip::kDefaultTimeoutSeconds);
  EXPECT_FALSE(trusting.hasClientCertificate);
  EXPECT_EQ(trusting.trustedPems, (std::vector<std::string>{ca, server}));
  EXPECT_TRUE(Parsed(info, 1, false, "").trustedPems.empty());
  // An override replaces the whole list.
  const Qlkmip::ConnectionSpec overridden = Parsed(info, 0, true, server);
  EXPECT_EQ(overridden.host, "kms-a.example");
  EXPECT_EQ(overridden.port, 5696);
  EXPECT_EQ(overridden.trustedPems, std::vector<std::string>{server});

  info.proxyHost = "proxy.local";
  info.proxyPort = 3128;
  info.connectionTimeout = 7;
  info.clientCertificate = Certs().client.certPem;
  info.privateKey.assign("PRIVATE\n");
  const Qlkmip::ConnectionSpec full = Parsed(info, 0, true, "");
  EXPECT_EQ(full.proxyHost, "proxy.local");
  EXPECT_EQ(full.proxyPort, 3128);
  EXPECT_EQ(full.timeoutSeconds, 7);
  EXPECT_TRUE(full.hasClientCertificate);
  EXPECT_EQ(full.certificatePem, Certs().client.certPem);
  EXPECT_EQ(full.privateKeyPem.view(), "PRIVATE\n");
}

TEST(ConnectionSpec, CertificatesAreStandardizedOrUsedAsTheyStand) {
  KmsInfo info = BareInfo();
  // CRLF, 76 columns: standardized back to the canonical text with one final newline.
  ZyldTest::TestCert messy = ZyldTest::MakeCert();
  info.clientCertificate = messy.messy;
  info.privateKey.assign("k");
  info.trustedServerCertificates = {"not a certificate"};
  const Qlkmip::ConnectionSpec spec = Parsed(info, 0, true, "");
  EXPECT_EQ(spec.certificatePem, messy.cert);
  EXPECT_EQ(spec.trustedPems, std::vector<std::string>{"not a certificate"});
  EXPECT_EQ(Parsed(info, 0, true, "bad override").trustedPems,
            std::vector<std::string>{"bad override"});
}

TEST(ConnectionSpec, UnknownServerOrOutOfRangeValuesGiveNoSpecification) {
  Components parts(std::make_shared<KmsInfo>(BareInfo()));
  EXPECT_TRUE(parts.connector.BuildConnectionSpec(2, true, "").empty());
  std::string certificate, error;
  EXPECT_EQ(parts.prober.FetchRemoteServerCertificate(9, certificate, error), K::GeneralError);
  EXPECT_FALSE(error.empty());
  // A stored port past 65535 is refused, not wrapped onto another port (71232 = 65536 + 5696).
  KmsInfo wide = BareInfo();
  wide.servers[0].port = 71232;
  KmsInfo noPort = BareInfo();
  noPort.servers[0].port = 0;
  KmsInfo proxy = BareInfo();
  proxy.proxyHost = "proxy.local";
  proxy.proxyPort = 65536 + 3128;
  KmsInfo longWait = BareInfo();
  longWait.connectionTimeout = (int64_t{1} << 32) + 7;  // 7 once narrowed to an int
  KmsInfo negative = BareInfo();
  negative.connectionTimeout = -1;
  for (const KmsInfo* info : {&wide, &noPort, &proxy, &longWait, &negative}) {
    EXPECT_TRUE(
        KmsConnector(std::make_shared<KmsInfo>(*info)).BuildConnectionSpec(0, true, "").empty());
  }
}

class PerformTest : public KmsServerTest {
 protected:
  // Runs a state query of mk-1 with the given user name; returns the request bytes.
  std::string QueryWith(const std::string& username, const std::string& password) {
    auto info = MakeInfo();
    info->username = username;
    info->password.assign(password);
    Components parts(info);
    K::QlcSession session;
    std::string error;
    EXPECT_EQ(parts.connector.Connect(0, session, error), K::Success) << error;
    K::KeyState state = K::KeyState::Unknown;
    EXPECT_EQ(parts.reader.GetKeyState(session, "mk-1", state, error), K::Success) << error;
    EXPECT_EQ(state, K::KeyState::Active);
    session.reset();
    const std::vector<uint8_t> request = server_->LastRequest();
    return std::string(request.begin(), request.end());
  }
};

TEST_F(PerformTest, CredentialOptionsOnlyWithAUserName) {
  EXPECT_EQ(QueryWith("", "secret").find("secret"), std::string::npos);
  const std::string withUser = QueryWith("alice", "");
  EXPECT_NE(withUser.find("alice"), std::string::npos);
  const std::string both = QueryWith("bob", "pw-123");
  EXPECT_NE(both.find("bob"), std::string::npos);
  EXPECT_NE(both.find("pw-123"), std::string::npos);
}

TEST_F(PerformTest, FailedCommandIsLoggedWithTheCallersFormat) {
  ZyldTest::TempDir dir;
  ZyldTest::LogCapture log(dir);
  auto info = MakeInfo();
  info->username = "alice";
  info->password.assign("pw");
  KmsConnector connector(info);
  K::QlcSession session;
  std::string error;
  ASSERT_EQ(connector.Connect(0, session, error), K::Success);
  K::QlcResult result;
  EXPECT_EQ(connector.Perform(session, "nope", "Get, Object, Id=%s", result, error),
            K::GeneralError);
  EXPECT_EQ(result, nullptr);
  EXPECT_FALSE(error.empty());
  session.reset();
  EXPECT_TRUE(log.Contains("Get, Object, Id=%s failed on key nope, " + error));
  EXPECT_FALSE(log.Contains("Options="));
}

}  // namespace
}  // namespace KmsTest
