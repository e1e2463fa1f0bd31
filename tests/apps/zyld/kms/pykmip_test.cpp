// The key-server object against a real PyKMIP server: real TLS with the client certificate and
// the pinned server certificate stored in the provider's records of a real store, data keys of
// several sizes, wrapped keys outliving a master-key change, and a probe of a healthy server. The
// key-state rules are shown against the in-process server.
#include "kms/kmip_kms.h"
#include "state/providers.h"

#include "provider_fixture.h"
#include "pykmip_peer.h"

#include <harlibs/base64.h>

#include <map>

namespace {

namespace K = Zyld::Kms;
namespace PC = Zyld::ProviderConfig;

class PykmipKmsTest : public ZyldTest::StoreTest {
 protected:
  static void SetUpTestSuite() {
    if (!PykmipTest::PykmipPeer::Installed()) {
      return;
    }
    std::string error;
    peer_ = PykmipTest::PykmipPeer::Start(error).release();
    ASSERT_NE(peer_, nullptr) << error;
    keys_["active"] = peer_->CreateKey(256, "active");
    keys_["active-128"] = peer_->CreateKey(128, "active");
  }
  static void TearDownTestSuite() {
    delete peer_;
    peer_ = nullptr;
  }

  void SetUp() override {
    if (peer_ == nullptr) {
      GTEST_SKIP() << "PyKMIP is not installed";
    }
    StoreTest::SetUp();
  }

  // Writes provider "pk" with the given master key and the peer's certificates; returns its object.
  std::shared_ptr<K::Kms> Provider(const std::string& masterKeyId) {
    ZyldTest::ProviderSpec spec;
    spec.id = "pk";
    spec.masterKeyId = masterKeyId;
    spec.timeout = 20;
    spec.servers = {{"pykmip", "127.0.0.1", peer_->Port()}};
    PC::DeleteProvider("pk");
    EXPECT_EQ(ZyldTest::WriteProvider(spec), PC::Success);
    EXPECT_EQ(PC::SetClientCertificate("pk", peer_->File("client.crt"), peer_->File("client.key")),
              PC::Success);
    // Only the server's own certificate is trusted (pinned), not the authority.
    EXPECT_EQ(PC::SetServerCertificates("pk", {peer_->File("server.crt")}), PC::Success);
    return Zyld::State::CreateKms("pk").kms;
  }

  static PykmipTest::PykmipPeer* peer_;
  static std::map<std::string, std::string> keys_;
};

PykmipTest::PykmipPeer* PykmipKmsTest::peer_ = nullptr;
std::map<std::string, std::string> PykmipKmsTest::keys_;

size_t DecodedSize(const std::string& text) {
  std::vector<uint8_t> out(Base64_DecodedLength(text.data(), text.size()));
  size_t n = 0;
  return Base64_Decode(text.data(), text.size(), out.data(), out.size(), &n) ? n : 0;
}

TEST_F(PykmipKmsTest, GenerateAndDecryptRoundTrip) {
  auto kms = Provider(keys_["active"]);
  ASSERT_NE(kms, nullptr);
  for (uint32_t size : {16u, 32u, 64u}) {
    std::string key, wrapped, error;
    ASSERT_EQ(kms->GenerateKey(0, size, key, wrapped, error), K::Success) << error;
    EXPECT_EQ(DecodedSize(key), size);
    std::string clear;
    ASSERT_EQ(kms->Decrypt(0, wrapped, clear, error), K::Success) << error;
    EXPECT_EQ(clear, key);
  }
}

TEST_F(PykmipKmsTest, WrappedKeyOutlivesAMasterKeyChange) {
  auto a = Provider(keys_["active"]);
  std::string key, wrapped, error;
  ASSERT_EQ(a->GenerateKey(0, 32, key, wrapped, error), K::Success) << error;
  auto b = Provider(keys_["active-128"]);
  ASSERT_NE(b, nullptr);
  b->UpdateStatus();
  std::string clear;
  ASSERT_EQ(b->Decrypt(0, wrapped, clear, error), K::Success) << error;
  EXPECT_EQ(clear, key);
}

TEST_F(PykmipKmsTest, ProbeOfAHealthyServer) {
  auto kms = Provider(keys_["active"]);
  kms->UpdateStatus();
  K::KmsStatus status;
  kms->GetStatus(status);
  ASSERT_EQ(status.servers.size(), 1u);
  EXPECT_TRUE(status.servers[0].clientTrustServer);
  EXPECT_TRUE(status.servers[0].serverTrustClient);
  EXPECT_TRUE(status.servers[0].errors.empty());
  EXPECT_TRUE(status.masterKeyFound);
  EXPECT_TRUE(status.masterKeyUsable);
  EXPECT_TRUE(status.keySizeSupported);
  EXPECT_TRUE(status.keyProblems.empty());
  std::string certificate, error;
  ASSERT_EQ(kms->GetRemoteServerCertificate(0, certificate, error), K::Success);
  std::string pinned = peer_->File("server.crt");
  ZyldTest::PC::StandardizeCertificate(pinned);
  EXPECT_EQ(certificate, pinned);
}

}  // namespace
