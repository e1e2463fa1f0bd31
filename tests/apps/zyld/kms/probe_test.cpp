// Certificate fetch, version discovery and the status probe against in-process servers in the
// situations a provider meets: healthy, untrusted, refusing the client, unreachable, unsupported
// versions, key missing or of the wrong size, and several servers.
#include "kms_fixture.h"

#include <ironveil-common/ssl_utils.h>
#include <qlkmipsimple.h>

#include <atomic>
#include <functional>

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

TEST_F(ProbeTest, ProberFetchesTheLeafAndReadsTheVersionList) {
  Components parts(MakeInfo());
  std::string certificate, error;
  EXPECT_EQ(parts.prober.FetchRemoteServerCertificate(0, certificate, error), K::Success) << error;
  EXPECT_EQ(certificate, StandardLeaf());
  // GetStatus on an invalid cache stores nothing: the certificate is fetched again.
  auto kms = MakeKms();
  Probe(*kms);
  const int before = server_->Connections();
  EXPECT_EQ(kms->GetRemoteServerCertificate(0, certificate, error), K::Success);
  EXPECT_EQ(server_->Connections(), before + 1);
  // The listing and the status fetch only what no refresh has cached, within the time-out.
  ASSERT_TRUE(kms->CertificateFetchNeededFor(0).has_value());
  EXPECT_EQ(kms->CertificateFetchNeededFor(0)->timeoutSeconds, MakeInfo()->connectionTimeout);
  ASSERT_TRUE(kms->StatusFetchNeeded().has_value());
  EXPECT_EQ(kms->StatusFetchNeeded()->timeoutSeconds, MakeInfo()->connectionTimeout);
  kms->UpdateStatus();
  EXPECT_FALSE(kms->CertificateFetchNeededFor(0).has_value());
  EXPECT_FALSE(kms->StatusFetchNeeded().has_value());

  // Only unsupported versions: StatusInEachSituation. None at all:
  std::vector<std::string> versions;
  server_->SetVersions({});
  EXPECT_EQ(parts.prober.DiscoverVersions(0, false, "", error, versions), K::NoVersionsFound);
  EXPECT_EQ(error, "Key server did not return any version");
  EXPECT_TRUE(versions.empty());

  // The certificate is fetched even from a server that refuses the client; without a
  // certificate to trust, the versions query that needs one cannot be made.
  auto info = MakeInfo();
  info->clientCertificate = ForeignClient().certPem;
  info->privateKey.assign(ForeignClient().keyPem);
  info->trustedServerCertificates.clear();
  Components refused(info);
  EXPECT_EQ(refused.prober.FetchRemoteServerCertificate(0, certificate, error), K::Success);
  EXPECT_EQ(refused.prober.DiscoverVersions(0, true, "", error, versions), K::GeneralError);
}

TEST_F(ProbeTest, StatusInEachSituation) {
  using Errors = std::map<std::string, uint32_t>;
  const Errors unreachable{{kClientNotTrusting, K::KeyServerCommunicationError},
                           {kServerNotTrusting, K::KeyServerCommunicationError}};
  const std::vector<uint32_t> notFound{K::MasterKeyNotFound};
  struct Case {
    const char* situation;
    std::function<void(K::KmsInfo&)> setup;
    bool clientTrustsServer;
    bool serverTrustsClient;
    Errors errors;
    std::vector<uint32_t> keyProblems;
  };
  const Case cases[] = {
      {"healthy", [](K::KmsInfo&) {}, true, true, {}, {}},
      {"versions 1.0 and 2.0 only",
       [this](K::KmsInfo&) {
         server_->SetVersions({{2, 0}, {1, 0}});
       },
       false,
       false,
       {{kClientNotTrusting, K::NoSupportedVersions}, {kServerNotTrusting, K::NoSupportedVersions}},
       notFound},
      {"client refused",
       [](K::KmsInfo& info) {
         info.clientCertificate = ForeignClient().certPem;
         info.privateKey.assign(ForeignClient().keyPem);
       },
       false, false, unreachable, notFound},
      {"server untrusted",
       [](K::KmsInfo& info) {
         info.trustedServerCertificates = {
             KmipTest::MakeSelfSignedServer("other", {{}, {"127.0.0.1"}}).certPem};
       },
       false,
       true,
       {{kClientNotTrusting, K::GeneralError}},
       notFound},
      {"unreachable",
       [](K::KmsInfo& info) { info.servers = {Entry("gone", TestSupport::FreeLoopbackPort())}; },
       false, false, unreachable, notFound},
      {"master key of 24 bytes",
       [this](K::KmsInfo&) { server_->AddKey("mk-1", Bytes(24, 3)); },
       true,
       true,
       {},
       {K::MasterKeyLengthUnsupported}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    server_ = StartServer();
    server_->AddKey("mk-1", masterKey_);
    auto info = MakeInfo();
    c.setup(*info);
    KmipKms kms(info);
    const K::KmsStatus status = Probe(kms);
    ASSERT_EQ(status.servers.size(), 1u);
    EXPECT_EQ(status.servers[0].clientTrustServer, c.clientTrustsServer);
    EXPECT_EQ(status.servers[0].serverTrustClient, c.serverTrustsClient);
    EXPECT_EQ(status.servers[0].errors, c.errors);
    EXPECT_EQ(status.keyProblems, c.keyProblems);
    EXPECT_EQ(status.masterKeyFound, c.keyProblems != notFound);
    EXPECT_EQ(status.masterKeyUsable, c.keyProblems != notFound);
    EXPECT_EQ(status.keySizeSupported, c.keyProblems.empty());
  }
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

// Counts the handshakes opened through it. With trustBehindTheBack, a session without a trusted
// certificate trusts the authority anyway: the library completed a handshake that trusts nothing.
class TestConnector : public K::KmsConnector {
 public:
  using K::KmsConnector::KmsConnector;
  int Opened() const { return opened_.load(); }
  bool trustBehindTheBack = false;

 protected:
  K::QlcResult OpenSession(K::QlcSession& session, const char* spec) const override {
    ++opened_;
    std::string text(spec);
    if (trustBehindTheBack && text.find("Trusted_Cert") == std::string::npos) {
      text += ", Trusted_Cert=PEM:[" + KmipTest::Hex(Certs().ca.certPem) + "]";
    }
    return K::KmsConnector::OpenSession(session, text.c_str());
  }

 private:
  mutable std::atomic<int> opened_{0};
};

TEST_F(ProbeTest, HandshakeWithoutTrustedCertificateIsReported) {
  Components<TestConnector> parts(MakeInfo());
  parts.connector.trustBehindTheBack = true;
  std::string certificate, error;
  EXPECT_EQ(parts.prober.FetchRemoteServerCertificate(0, certificate, error),
            K::ServerCertNotRequired);
  EXPECT_EQ(error,
            "Client unexpectedly connected to key management server without any trusted server "
            "certificate");
  EXPECT_TRUE(certificate.empty());
}

// A server that cannot be reached costs one handshake (one time-out), not one per check.
TEST_F(ProbeTest, AnUnreachableServerIsContactedOnce) {
  auto info = MakeInfo();
  info->servers = {Entry("gone", TestSupport::FreeLoopbackPort())};
  Components<TestConnector> parts(info);
  const K::ProbeRecord record = parts.prober.ProbeStatus();
  EXPECT_EQ(parts.connector.Opened(), 1);
  ASSERT_EQ(record.status.servers.size(), 1u);
  EXPECT_EQ(record.status.servers[0].errors.size(), 2u);
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
