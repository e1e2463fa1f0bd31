// Server trust: chains to trusted authorities, pinned certificates, host names, the untrusted
// cases with the presented certificate, and client certificates the server refuses.
#include <gtest/gtest.h>

#include "test_fixture.h"

namespace QlcTest {
namespace {

class TrustTest : public ::testing::Test {
 protected:
  // Starts a server presenting SERVER (chain included in its certPem) in place of the last one.
  void StartServer(const KmipTest::KeyPair& server, bool requireClientCert = true,
                   bool peerLikeTls = true) {
    session_.reset();
    if (server_) server_->Stop();
    KmipTest::KmipTestServer::Options options;
    options.server = server;
    options.clientCaPem = Certs().ca.certPem;
    options.requireClientCert = requireClientCert;
    options.peerLikeTls = peerLikeTls;
    server_ = std::make_unique<KmipTest::KmipTestServer>(options);
    server_->Start();
  }

  int Connect(std::vector<std::string> trusted, const std::string& host = "127.0.0.1",
              const KmipTest::KeyPair* client = &Certs().client) {
    KmipTest::SpecOptions o;
    o.host = host;
    o.port = server_->Port();
    o.client = client;
    o.trustedPems = std::move(trusted);
    qlc_session* raw = nullptr;
    result_.reset(qlc_connect_key_manager(&raw, KmipTest::BuildSpec(o).c_str()));
    session_.reset(raw);
    EXPECT_EQ(raw != nullptr, qlc_ok(result_.get()) == QLC_OK);
    return qlc_ok(result_.get());
  }

  static const KmipTest::KeyPair& WrongNameServer() {
    static const KmipTest::KeyPair pair = KmipTest::CertAuthority("unused").IssueServer(
        "other", KmipTest::ServerNames{{"other.example"}, {"10.9.8.7"}});
    return pair;
  }

  std::unique_ptr<KmipTest::KmipTestServer> server_;
  Result result_;
  Session session_;
};

TEST_F(TrustTest, AuthorityTrustedServerMustMatchTheHostName) {
  StartServer(Certs().server);
  EXPECT_EQ(Connect({Certs().ca.certPem}), QLC_OK) << qlc_explain(result_.get());
  EXPECT_EQ(Connect({Certs().ca.certPem}, "localhost"), QLC_OK) << qlc_explain(result_.get());

  // Same authority, but the certificate names another host.
  const KmipTest::CertSet& certs = Certs();
  KmipTest::CertAuthority ca("kmip-test-ca-2");
  StartServer(ca.IssueServer("elsewhere", KmipTest::ServerNames{{"elsewhere.example"}, {}}));
  EXPECT_EQ(Connect({ca.Root().certPem, certs.ca.certPem}), QLC_UNTRUSTED);
  EXPECT_NE(std::string(qlc_explain(result_.get())).find("does not name host 127.0.0.1"),
            std::string::npos)
      << qlc_explain(result_.get());
  EXPECT_EQ(server_->Handshakes(), 0);
}

TEST_F(TrustTest, PinnedServerCertificateIsAcceptedWhateverTheHost) {
  StartServer(WrongNameServer());
  EXPECT_EQ(Connect({WrongNameServer().certPem}), QLC_OK) << qlc_explain(result_.get());
  const KmipTest::KeyPair selfSigned =
      KmipTest::MakeSelfSignedServer("self", {}, KmipTest::KeyKind::EcP256);
  StartServer(selfSigned, true, false);  // ECDSA certificate, TLS 1.3 allowed
  EXPECT_EQ(Connect({Certs().ca.certPem, selfSigned.certPem}), QLC_OK)
      << qlc_explain(result_.get());
}

TEST_F(TrustTest, WithoutTrustedCertificatesTheServerIsUntrustedAndItsCertificateKept) {
  KmipTest::KeyPair chained = Certs().server;
  chained.certPem += Certs().ca.certPem;
  StartServer(chained, false);  // a server that would accept any client
  EXPECT_EQ(Connect({}), QLC_UNTRUSTED);
  qlc_credentials* credentials = nullptr;
  ASSERT_EQ(qlc_fetch_server_credentials(result_.get(), &credentials), QLC_OK);
  EXPECT_EQ(credentials->format, static_cast<uint32_t>(QLC_CRED_PEM));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(credentials->data), credentials->length),
            Certs().server.certPem);  // the leaf only
  qlc_free_credentials(credentials);
  EXPECT_EQ(server_->Handshakes(), 0);

  // The kept certificate, pinned, then opens the session (what a caller does next).
  EXPECT_EQ(Connect({Certs().server.certPem}), QLC_OK) << qlc_explain(result_.get());
  EXPECT_EQ(qlc_fetch_server_credentials(result_.get(), &credentials), QLC_NO_CREDENTIALS);
  EXPECT_EQ(credentials, nullptr);
  EXPECT_STRNE(qlc_explain(result_.get()), "");

  // A server of another authority is untrusted too, and its certificate kept.
  StartServer(WrongNameServer());
  EXPECT_EQ(Connect({Certs().ca.certPem}), QLC_UNTRUSTED);
  ASSERT_EQ(qlc_fetch_server_credentials(result_.get(), &credentials), QLC_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(credentials->data), credentials->length),
            WrongNameServer().certPem);
  qlc_free_credentials(credentials);
}

TEST_F(TrustTest, ServerRefusingTheClientIsACommunicationFailure) {
  StartServer(Certs().server);
  EXPECT_EQ(Connect({Certs().ca.certPem}, "127.0.0.1", nullptr), QLC_COMMUNICATION);
  KmipTest::CertAuthority other("other-ca", KmipTest::KeyKind::EcP256);
  const KmipTest::KeyPair stranger = other.IssueClient("stranger");
  EXPECT_EQ(Connect({Certs().ca.certPem}, "127.0.0.1", &stranger), QLC_COMMUNICATION);
  const KmipTest::KeyPair serverOnly =
      KmipTest::CertAuthority("x").IssueClient("server-eku", false);
  EXPECT_EQ(Connect({Certs().ca.certPem}, "127.0.0.1", &serverOnly), QLC_COMMUNICATION);
  EXPECT_EQ(server_->Requests(), 0);
  // Without a client-certificate requirement no client certificate is needed.
  StartServer(Certs().server, false);
  EXPECT_EQ(Connect({Certs().ca.certPem}, "127.0.0.1", nullptr), QLC_OK);
}

TEST_F(TrustTest, UnderTls13TheClientRefusalShowsOnTheFirstRequest) {
  StartServer(Certs().server, true, false);
  const int connected = Connect({Certs().ca.certPem}, "127.0.0.1", nullptr);
  if (connected == QLC_OK) {
    Result versions(qlc_perform(session_.get(), "Query, Versions"));
    EXPECT_EQ(qlc_ok(versions.get()), QLC_COMMUNICATION) << qlc_explain(versions.get());
  } else {
    EXPECT_EQ(connected, QLC_COMMUNICATION);
  }
  EXPECT_EQ(server_->Requests(), 0);
}

}  // namespace
}  // namespace QlcTest
