// The key-server object against a real PyKMIP server: real TLS with the client certificate and
// the pinned server certificate stored in the provider's records of a real store, data keys of
// several sizes, wrapped keys outliving a master-key change, the key states PyKMIP can show, and
// a probe of a healthy server.
#include "kms/kmip_kms.h"
#include "state/providers.h"

#include "provider_fixture.h"
#include "pykmip_peer.h"

#include <harlibs/base64.h>
#include <ironveil-common/ssl_utils.h>
#include <zyl-common/kms_metadata_parser.h>

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
    for (const char* state : {"active", "pre-active", "deactivated", "compromised"}) {
      keys_[state] = peer_->CreateKey(256, state);
      ASSERT_FALSE(keys_[state].empty()) << state;
    }
    keys_["active-128"] = peer_->CreateKey(128, "active");
    keys_["active-192"] = peer_->CreateKey(192, "active");
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

// A wrapped key under keyId made with the key's bytes as the server of stored provider "pk"
// hands them out.
std::string WrapUnder(const std::string& keyId, std::string& clear) {
  auto info = std::make_shared<K::KmsInfo>();
  EXPECT_EQ(PC::GetKmsInfo("pk", *info), PC::Success);
  const K::KmsConnector connector(info);
  const K::KmsCache cache;
  Har::Secret key;
  K::KeyState state = K::KeyState::Unknown;
  std::string error;
  EXPECT_EQ(K::MasterKeyReader(connector, cache).GetKey(0, keyId, false, key, state, error),
            K::Success)
      << error;
  Har::Secret dataKey(std::string(32, '\x5c'));
  std::vector<uint8_t> iv, ciphertext, tag;
  EXPECT_TRUE(Brask::Common::SslUtils::AesGcmEncrypt(dataKey, key, {}, iv, ciphertext, tag));
  std::string text(Base64_EncodedLength(dataKey.size()), '\0');
  EXPECT_TRUE(Base64_Encode(dataKey.bytes(), dataKey.size(), text.data(), text.size(), nullptr));
  clear = text.c_str();
  std::string wrapped;
  EXPECT_TRUE(Zyl::KeyProviders::Metadata::KmipMetadataParser().Add(
      keyId, iv, tag, ciphertext.data(), ciphertext.size(), wrapped));
  return wrapped;
}

TEST_F(PykmipKmsTest, KeyStates) {
  struct Case {
    const char* key;
    int state;
    K::KmsResult generate;
    K::KmsResult decrypt;
  };
  for (const Case& c : {Case{"active", 2, K::Success, K::Success},
                        Case{"pre-active", 1, K::MasterKeyPreActive, K::MasterKeyPreActive},
                        Case{"deactivated", 3, K::MasterKeyUnusableForEncryption, K::Success},
                        Case{"compromised", 4, K::MasterKeyUnusableForEncryption, K::Success}}) {
    SCOPED_TRACE(c.key);
    auto kms = Provider(keys_[c.key]);
    ASSERT_NE(kms, nullptr);
    ASSERT_EQ(peer_->State(keys_[c.key]), c.state);
    std::string key, wrapped, error;
    EXPECT_EQ(kms->GenerateKey(0, 32, key, wrapped, error), c.generate) << error;
    std::string clear;
    const std::string crafted = WrapUnder(keys_[c.key], clear);
    std::string out;
    EXPECT_EQ(kms->Decrypt(0, crafted, out, error), c.decrypt) << error;
    if (c.decrypt == K::Success) {
      EXPECT_EQ(out, clear);
    }
  }
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

  // A 192-bit key is found and usable but of an unsupported size.
  auto odd = Provider(keys_["active-192"]);
  odd->GetStatus(status);
  EXPECT_TRUE(status.masterKeyFound && status.masterKeyUsable);
  EXPECT_FALSE(status.keySizeSupported);
  EXPECT_EQ(status.keyProblems, std::vector<uint32_t>{K::MasterKeyLengthUnsupported});
}

}  // namespace
