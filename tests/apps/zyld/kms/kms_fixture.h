// Shared set-up of the key-server tests against the in-process KMIP server: one certificate set
// per binary, a running server holding an active AES-256 master key "mk-1", a KmsInfo pointing at
// it (client certificate, the authority as trusted certificate), the components of a KmipKms for
// tests of one of them, and a wipe observer.
#pragma once

#include "kms/kmip_kms.h"

#include "kmip_test_server.h"
#include "test_net.h"
#include "test_wipes.h"
#include "zyld_test_util.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace KmsTest {

inline const KmipTest::CertSet& Certs() { return KmipTest::SharedCertSet(); }
// A second authority's client certificate: the test server does not accept it.
const KmipTest::KeyPair& ForeignClient();

std::vector<uint8_t> Bytes(size_t n, uint8_t seed);

using TestSupport::Wipe;
using TestSupport::WipeRecorder;

// The parts a KmipKms is made of, wired the same way, for tests of one of them (with a connector
// of the test's own when given).
template <class Connector = Zyld::Kms::KmsConnector>
struct Components {
  explicit Components(std::shared_ptr<const Zyld::Kms::KmsInfo> info)
      : connector(std::move(info)), reader(connector, cache), prober(connector, reader) {}
  // The status refresh of KmipKms.
  void Refresh() { cache.Store(prober.ProbeStatus()); }

  Connector connector;
  Zyld::Kms::KmsCache cache;
  Zyld::Kms::MasterKeyReader reader;
  Zyld::Kms::KmsProber prober;
};

inline std::unique_ptr<KmipTest::KmipTestServer> StartServer() {
  return KmipTest::StartServer(Certs());
}
Zyld::Kms::ServerEntry Entry(const std::string& name, uint16_t port);

class KmsServerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Info of a provider "prov" with the given servers (default: the running server).
  std::shared_ptr<Zyld::Kms::KmsInfo> MakeInfo() const;
  std::unique_ptr<Zyld::Kms::KmipKms> MakeKms() const {
    return std::make_unique<Zyld::Kms::KmipKms>(MakeInfo());
  }
  // A wrapped key of 32 bytes, made successfully (its clear text in `clear` when given).
  static std::string Wrap(Zyld::Kms::Kms& kms, std::string* clear = nullptr);

  int Gets() const { return server_->Requests(Qlkmip::Kmip::Operation::Get); }
  int StateQueries() const { return server_->Requests(Qlkmip::Kmip::Operation::GetAttributes); }

  std::unique_ptr<KmipTest::KmipTestServer> server_;
  std::vector<uint8_t> masterKey_ = Bytes(32, 7);
};

}  // namespace KmsTest
