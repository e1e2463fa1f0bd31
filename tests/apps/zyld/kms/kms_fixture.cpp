#include "kms_fixture.h"

namespace KmsTest {
namespace {
std::mutex gWipesMutex;
std::vector<Wipe> gWipes;
}  // namespace

const KmipTest::CertSet& Certs() {
  static const KmipTest::CertSet certs = KmipTest::MakeCertSet(KmipTest::KeyKind::Rsa2048);
  return certs;
}

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

WipeRecorder::WipeRecorder() {
  Take();
  Har::SetWipeObserver(&WipeRecorder::Observe);
}

WipeRecorder::~WipeRecorder() { Har::SetWipeObserver(nullptr); }

std::vector<Wipe> WipeRecorder::Take() {
  std::lock_guard<std::mutex> lock(gWipesMutex);
  std::vector<Wipe> out;
  out.swap(gWipes);
  return out;
}

void WipeRecorder::Observe(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  bool zero = true;
  for (size_t i = 0; i < size; ++i) {
    zero = zero && bytes[i] == 0;
  }
  std::lock_guard<std::mutex> lock(gWipesMutex);
  gWipes.push_back({size, zero});
}

std::unique_ptr<KmipTest::KmipTestServer> StartServer() {
  KmipTest::KmipTestServer::Options options;
  options.server = Certs().server;
  options.server.certPem += Certs().ca.certPem;  // leaf and authority, as a real peer sends
  options.clientCaPem = Certs().ca.certPem;
  auto server = std::make_unique<KmipTest::KmipTestServer>(options);
  server->Start();
  return server;
}

Zyld::Kms::ServerEntry Entry(const std::string& name, uint16_t port) {
  Zyld::Kms::ServerEntry entry;
  entry.name = name;
  entry.host = "127.0.0.1";
  entry.port = port;
  return entry;
}

void KmsServerTest::SetUp() {
  server_ = StartServer();
  server_->AddKey("mk-1", masterKey_);
}

void KmsServerTest::TearDown() { server_->Stop(); }

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
