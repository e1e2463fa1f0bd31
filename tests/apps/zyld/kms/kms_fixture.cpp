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
  Zyld::Kms::WipeAudit::SetObserver(&WipeRecorder::Observe);
}

WipeRecorder::~WipeRecorder() { Zyld::Kms::WipeAudit::SetObserver(nullptr); }

std::vector<Wipe> WipeRecorder::Take() {
  std::lock_guard<std::mutex> lock(gWipesMutex);
  std::vector<Wipe> out;
  out.swap(gWipes);
  return out;
}

bool WipeRecorder::Saw(const std::string& what) {
  std::lock_guard<std::mutex> lock(gWipesMutex);
  for (const Wipe& w : gWipes) {
    if (w.what == what) {
      return true;
    }
  }
  return false;
}

void WipeRecorder::Observe(const char* what, const uint8_t* data, size_t size) {
  bool zero = true;
  for (size_t i = 0; i < size; ++i) {
    zero = zero && data[i] == 0;
  }
  std::lock_guard<std::mutex> lock(gWipesMutex);
  gWipes.push_back({what, zero});
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
  info->privateKey = Certs().client.keyPem;
  info->trustedServerCertificates = {Certs().ca.certPem};
  info->servers = {Entry("s1", server_->Port())};
  return info;
}

}  // namespace KmsTest
