// Certificate fetch, version discovery and the status probe against in-process servers in the
// situations a provider meets: healthy, untrusted, refusing the client, unreachable, unsupported
// versions, key missing or of the wrong size, and several servers.
#include "kms_fixture.h"

#include <ironveil-common/ssl_utils.h>
#include <qlkmipsimple.h>

namespace KmsTest {
namespace {

namespace K = Zyld::Kms;
using K::KmipKms;

constexpr char kClientNotTrusting[] =
    "com.velora.ovik.kms.providers.statussvc.client_not_trusting_server";
constexpr char kServerNotTrusting[] =
    "com.velora.ovik.kms.providers.statussvc.server_not_trusting_client";

std::string StandardLeaf() {
  std::string leaf = Certs().server.certPem;
  EXPECT_TRUE(Brask::Common::SslUtils::StandardizePemString("-----BEGIN CERTIFICATE-----",
                                                            "-----END CERTIFICATE-----", leaf));
  return leaf;
}

K::KmsStatus Probe(KmipKms& kms) {
  K::KmsStatus status;
  kms.GetStatus(status);  // invalid cache: probes without storing
  return status;
}

using ProbeTest = KmsServerTest;

TEST_F(ProbeTest, HealthyServer) {
  auto kms = MakeKms();
  Components parts(MakeInfo());
  std::string certificate, error;
  EXPECT_EQ(parts.prober.FetchRemoteServerCertificate(0, certificate, error), K::Success) << error;
  EXPECT_EQ(certificate, StandardLeaf());
  std::vector<std::string> versions;
  EXPECT_EQ(parts.prober.DiscoverVersions(0, false, "", error, versions), K::Success) << error;
  EXPECT_FALSE(versions.empty());

  const K::KmsStatus status = Probe(*kms);
  ASSERT_EQ(status.servers.size(), 1u);
  EXPECT_TRUE(status.servers[0].clientTrustServer);
  EXPECT_TRUE(status.servers[0].serverTrustClient);
  EXPECT_TRUE(status.servers[0].errors.empty());
  EXPECT_TRUE(status.masterKeyFound && status.masterKeyUsable && status.keySizeSupported);
  EXPECT_TRUE(status.keyProblems.empty());
  // GetStatus on an invalid cache stores nothing: the certificate is fetched again.
  const int before = server_->Connections();
  EXPECT_EQ(kms->GetRemoteServerCertificate(0, certificate, error), K::Success);
  EXPECT_EQ(server_->Connections(), before + 1);
}

TEST_F(ProbeTest, OnlyVersionsOneZeroAndTwoZero) {
  server_->SetVersions({{2, 0}, {1, 0}});
  auto kms = MakeKms();
  Components parts(MakeInfo());
  std::string error;
  std::vector<std::string> versions;
  EXPECT_EQ(parts.prober.DiscoverVersions(0, false, "", error, versions), K::NoSupportedVersions);
  EXPECT_EQ(error, "Key server version not supported");
  EXPECT_EQ(versions, (std::vector<std::string>{"2.0", "1.0"}));
  const K::KmsStatus status = Probe(*kms);
  ASSERT_EQ(status.servers.size(), 1u);
  const K::KmsServerStatus& s = status.servers[0];
  EXPECT_FALSE(s.clientTrustServer || s.serverTrustClient);
  EXPECT_EQ(s.errors,
            (std::map<std::string, uint32_t>{{kClientNotTrusting, 14}, {kServerNotTrusting, 14}}));
  EXPECT_EQ(status.keyProblems, std::vector<uint32_t>{K::MasterKeyNotFound});
  EXPECT_FALSE(status.masterKeyFound);
}

TEST_F(ProbeTest, NoVersionList) {
  server_->SetVersions({});
  Components parts(MakeInfo());
  std::string error;
  std::vector<std::string> versions{"stale"};
  EXPECT_EQ(parts.prober.DiscoverVersions(0, false, "", error, versions), K::NoVersionsFound);
  EXPECT_EQ(error, "Key server did not return any version");
  EXPECT_TRUE(versions.empty());
}

TEST(SupportedVersion, Rule) {
  for (const char* yes : {"1.1", "1.2", "1.4", "1.10"}) {
    EXPECT_TRUE(K::KmsProber::IsSupportedVersion(yes)) << yes;
  }
  for (const char* no : {"1.0", "2.0", "1", "1.1.1", "", "x.1", "0.9", "1.1abc", "1.", "1.-1",
                         "1.+2", "1. 1", "1.1 ", "1.99999999999"}) {
    EXPECT_FALSE(K::KmsProber::IsSupportedVersion(no)) << no;
  }
}

// A library session that completed its handshake although no certificate was trusted: the
// test trusts the authority behind the caller's back.
class TrustingConnector : public K::KmsConnector {
 public:
  using K::KmsConnector::KmsConnector;

 protected:
  K::QlcResult OpenSession(K::QlcSession& session, const char* spec) const override {
    std::string text(spec);
    if (text.find("Trusted_Cert") == std::string::npos) {
      text += ", Trusted_Cert=PEM:[" + KmipTest::Hex(Certs().ca.certPem) + "]";
    }
    return K::KmsConnector::OpenSession(session, text.c_str());
  }
};

TEST_F(ProbeTest, HandshakeWithoutTrustedCertificateIsReported) {
  TrustingConnector connector(MakeInfo());
  K::KmsCache cache;
  K::MasterKeyReader reader(connector, cache);
  K::KmsProber prober(connector, reader);
  std::string certificate, error;
  EXPECT_EQ(prober.FetchRemoteServerCertificate(0, certificate, error), K::ServerCertNotRequired);
  EXPECT_EQ(error,
            "Client unexpectedly connected to key management server without any trusted server "
            "certificate");
  EXPECT_TRUE(certificate.empty());
}

TEST_F(ProbeTest, ServerRefusingTheClient) {
  auto info = MakeInfo();
  info->clientCertificate = ForeignClient().certPem;
  info->privateKey.assign(ForeignClient().keyPem);
  KmipKms kms(info);
  std::string certificate, error;
  EXPECT_EQ(Components(info).prober.FetchRemoteServerCertificate(0, certificate, error),
            K::Success);
  const K::KmsStatus status = Probe(kms);
  ASSERT_EQ(status.servers.size(), 1u);
  const K::KmsServerStatus& s = status.servers[0];
  EXPECT_FALSE(s.serverTrustClient);
  EXPECT_FALSE(s.clientTrustServer);
  EXPECT_EQ(s.errors.at(kClientNotTrusting), K::KeyServerCommunicationError);
  EXPECT_EQ(s.errors.at(kServerNotTrusting), K::KeyServerCommunicationError);
  EXPECT_EQ(status.keyProblems, std::vector<uint32_t>{K::MasterKeyNotFound});
}

TEST_F(ProbeTest, UntrustedServerThatAcceptsTheClient) {
  auto info = MakeInfo();
  info->trustedServerCertificates = {
      KmipTest::MakeSelfSignedServer("other", {{}, {"127.0.0.1"}}).certPem};
  KmipKms kms(info);
  const K::KmsStatus status = Probe(kms);
  ASSERT_EQ(status.servers.size(), 1u);
  const K::KmsServerStatus& s = status.servers[0];
  EXPECT_TRUE(s.serverTrustClient);
  EXPECT_FALSE(s.clientTrustServer);
  EXPECT_EQ(s.errors, (std::map<std::string, uint32_t>{{kClientNotTrusting, K::GeneralError}}));
  EXPECT_EQ(status.keyProblems, std::vector<uint32_t>{K::MasterKeyNotFound});
  // Without a certificate to trust the second query cannot be made.
  std::string error;
  std::vector<std::string> versions;
  EXPECT_EQ(Components(info).prober.DiscoverVersions(0, true, "", error, versions),
            K::GeneralError);
}

TEST_F(ProbeTest, UnreachableServer) {
  auto info = MakeInfo();
  info->servers = {Entry("gone", TestSupport::FreeLoopbackPort())};
  KmipKms kms(info);
  kms.UpdateStatus();
  K::KmsStatus status;
  kms.GetStatus(status);
  ASSERT_EQ(status.servers.size(), 1u);
  EXPECT_EQ(status.servers[0].errors, (std::map<std::string, uint32_t>{
                                          {kClientNotTrusting, K::KeyServerCommunicationError},
                                          {kServerNotTrusting, K::KeyServerCommunicationError}}));
  EXPECT_EQ(status.keyProblems, std::vector<uint32_t>{K::MasterKeyNotFound});
  std::string certificate, error;
  EXPECT_EQ(kms.GetRemoteServerCertificate(0, certificate, error), K::KeyServerCommunicationError);
}

TEST_F(ProbeTest, MasterKeyOfUnsupportedLength) {
  server_->AddKey("mk-1", Bytes(24, 3));
  auto kms = MakeKms();
  const K::KmsStatus status = Probe(*kms);
  EXPECT_TRUE(status.masterKeyFound);
  EXPECT_TRUE(status.masterKeyUsable);
  EXPECT_FALSE(status.keySizeSupported);
  EXPECT_EQ(status.keyProblems, std::vector<uint32_t>{K::MasterKeyLengthUnsupported});
}

TEST_F(ProbeTest, KeyFoundOnTheSecondServerLeavesNoProblems) {
  auto second = StartServer();
  second->AddKey("mk-1", masterKey_);
  server_->RemoveKey("mk-1");
  auto info = MakeInfo();
  info->servers.push_back(Entry("s2", second->Port()));
  KmipKms kms(info);
  K::KmsStatus status = Probe(kms);
  EXPECT_TRUE(status.masterKeyFound && status.masterKeyUsable && status.keySizeSupported);
  EXPECT_TRUE(status.keyProblems.empty());
  ASSERT_EQ(status.servers.size(), 2u);

  // With the key on the first server, the second gets no key fetch.
  server_->AddKey("mk-1", masterKey_);
  const int secondGets = second->Requests(Qlkmip::Kmip::Operation::Get);
  status = Probe(kms);
  EXPECT_TRUE(status.masterKeyFound);
  EXPECT_EQ(second->Requests(Qlkmip::Kmip::Operation::Get), secondGets);
  EXPECT_GT(second->Requests(Qlkmip::Kmip::Operation::DiscoverVersions), 0);
  second->Stop();
}

}  // namespace
}  // namespace KmsTest
