#include "kms_fixture.h"

namespace KmsTest {
const KmipTest::KeyPair& ForeignClient() {
  static const KmipTest::KeyPair client =
      KmipTest::CertAuthority("foreign CA", KmipTest::KeyKind::Rsa2048).IssueClient("stranger");
  return client;
}

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i] = static_cast<uint8_t>(seed + 31 * i);
  }
  return out;
}

Zyld::Kms::ServerEntry Entry(const std::string& name, uint16_t port) {
  return {name, "127.0.0.1", port};
}

void KmsServerTest::SetUp() {
  server_ = StartServer();
  server_->AddKey("mk-1", masterKey_);
}

void KmsServerTest::TearDown() { server_->Stop(); }

std::string KmsServerTest::Wrap(Zyld::Kms::Kms& kms, std::string* clear) {
  std::string key, wrapped, error;
  EXPECT_EQ(kms.GenerateKey(0, 32, key, wrapped, error), Zyld::Kms::Success) << error;
  if (clear != nullptr) {
    *clear = key;
  }
  return wrapped;
}

std::shared_ptr<Zyld::Kms::KmsInfo> KmsServerTest::MakeInfo() const {
  auto info = std::make_shared<Zyld::Kms::KmsInfo>();
  info->name = "prov";
  info->masterKeyId = "mk-1";
  info->connectionTimeout = 10;
  info->clientCertificate = Certs().client.certPem;
  info->privateKey.assign(Certs().client.keyPem);
  info->trustedServerCertificates = {Certs().ca.certPem};
  info->servers = {Entry("s1", server_->Port())};
  return info;
}

}  // namespace KmsTest
