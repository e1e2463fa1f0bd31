// Data-key wrapping: round trips, wrapped keys made under another master key, malformed and
// tampered wrapped keys, and the wiping of key material on every path.
#include "kms_fixture.h"

#include <harlibs/base64.h>
#include <zyl-common/kms_metadata_parser.h>

namespace KmsTest {
namespace {

namespace K = Zyld::Kms;
namespace M = Zyl::KeyProviders::Metadata;
using K::KmipKms;

std::vector<uint8_t> Decode(const std::string& text) {
  std::vector<uint8_t> out(Base64_DecodedLength(text.data(), text.size()));
  size_t n = 0;
  EXPECT_TRUE(Base64_Decode(text.data(), text.size(), out.data(), out.size(), &n));
  out.resize(n);
  return out;
}

class CryptoTest : public KmsServerTest {};

TEST_F(CryptoTest, RoundTripsForEverySizeAndKeepsTheFields) {
  auto kms = MakeKms();
  for (uint32_t size : {1u, 16u, 32u, 64u, 1024u}) {
    std::string key, wrapped, error;
    ASSERT_EQ(kms->GenerateKey(0, size, key, wrapped, error), K::Success) << error;
    EXPECT_EQ(Decode(key).size(), size);
    M::KmipMetadataParser parser;
    ASSERT_TRUE(parser.Parse(wrapped));
    EXPECT_EQ(std::string(parser.GetKeyId(), parser.GetKeyIdSize()), "mk-1");
    EXPECT_EQ(parser.GetIvSize(), 12);
    EXPECT_EQ(parser.GetMacSize(), 16);
    EXPECT_EQ(parser.GetCiphertextSize(), size);
    std::string clear;
    ASSERT_EQ(kms->Decrypt(0, wrapped, clear, error), K::Success) << error;
    EXPECT_EQ(clear, key);
  }
}

TEST_F(CryptoTest, WrappedKeyOfAnEarlierMasterKeyStillDecrypts) {
  auto kms = MakeKms();
  std::string key, error;
  const std::string wrapped = Wrap(*kms, &key);
  server_->AddKey("mk-2", Bytes(16, 99));
  auto info = MakeInfo();
  info->masterKeyId = "mk-2";
  KmipKms changed(info);
  changed.UpdateStatus();  // caches mk-2 only
  const int gets = Gets();
  std::string clear;
  ASSERT_EQ(changed.Decrypt(0, wrapped, clear, error), K::Success) << error;
  EXPECT_EQ(clear, key);
  EXPECT_EQ(Gets(), gets + 1);
  // A new key is wrapped under mk-2 and names it.
  M::KmipMetadataParser parser;
  ASSERT_TRUE(parser.Parse(Wrap(changed)));
  EXPECT_EQ(std::string(parser.GetKeyId(), parser.GetKeyIdSize()), "mk-2");
}

TEST_F(CryptoTest, MalformedWrappedKeysAreRefused) {
  auto kms = MakeKms();
  const std::string wrapped = Wrap(*kms);
  std::string error;
  // The texts the parser refuses are MetadataParser.RejectsMalformedTexts; here, the answer.
  const std::string bad[] = {"", wrapped.substr(0, wrapped.size() - 4)};
  const int before = server_->Connections();
  for (const std::string& text : bad) {
    std::string out;
    error.clear();
    EXPECT_EQ(kms->Decrypt(0, text, out, error), K::MetadataError) << text;
    EXPECT_EQ(error, "Failed to read metadata");
  }
  EXPECT_EQ(server_->Connections(), before);
}

TEST_F(CryptoTest, TamperedWrappedKeysFailTheTag) {
  auto kms = MakeKms();
  const std::string wrapped = Wrap(*kms);
  std::string error;
  M::KmipMetadataParser parser;
  ASSERT_TRUE(parser.Parse(wrapped));
  // The changes that fail are AesGcm.AnyTamperingFailsAndLeavesNoPlaintext; here, the answer.
  std::vector<uint8_t> tag(parser.GetMac(), parser.GetMac() + parser.GetMacSize());
  tag[0] ^= 0x01;
  const std::vector<uint8_t> iv(parser.GetIv(), parser.GetIv() + parser.GetIvSize());
  const std::vector<uint8_t> ciphertext(parser.GetCiphertext(),
                                        parser.GetCiphertext() + parser.GetCiphertextSize());
  std::string tampered;
  ASSERT_TRUE(parser.Add("mk-1", iv, tag, ciphertext.data(), ciphertext.size(), tampered));
  std::string out;
  EXPECT_EQ(kms->Decrypt(0, tampered, out, error), K::CryptoError);
  EXPECT_EQ(error, "Failed to decrypt ciphertext");
  // Another master key of the same length does not verify either.
  server_->AddKey("mk-1", Bytes(32, 200));
  EXPECT_EQ(kms->Decrypt(0, wrapped, out, error), K::CryptoError);
}

// With a valid cache no library buffer is involved, so every wipe seen during an operation is
// one of its own: the master key and the data key each leave a wipe of (about) their size.
TEST_F(CryptoTest, MasterAndDataKeysAreWipedOnSuccessAndFailure) {
  constexpr uint32_t kDataKeySize = 200;
  constexpr size_t kSlack = 8;  // an owning buffer may wipe a terminator too
  WipeRecorder recorder;
  auto wiped = [&](size_t masterSize) {
    bool master = false, data = false;
    for (const Wipe& w : recorder.Take()) {
      EXPECT_TRUE(w.zero);
      master = master || (w.size >= masterSize && w.size < masterSize + kSlack);
      data = data || (w.size >= kDataKeySize && w.size < kDataKeySize + kSlack);
    }
    return std::make_pair(master, data);
  };
  auto kms = MakeKms();
  kms->UpdateStatus();
  std::string key, wrapped, error;
  recorder.Take();
  ASSERT_EQ(kms->GenerateKey(0, kDataKeySize, key, wrapped, error), K::Success);
  EXPECT_EQ(wiped(masterKey_.size()), std::make_pair(true, true)) << "generate";
  ASSERT_EQ(kms->Decrypt(0, wrapped, key, error), K::Success);
  EXPECT_EQ(wiped(masterKey_.size()), std::make_pair(true, true)) << "decrypt";

  // A cached master key of a length AES-GCM refuses: wrapping fails after both keys were made.
  server_->AddKey("mk-1", Bytes(24, 5));
  auto refused = MakeKms();
  refused->UpdateStatus();
  recorder.Take();
  EXPECT_EQ(refused->GenerateKey(0, kDataKeySize, key, wrapped, error), K::CryptoError);
  EXPECT_EQ(error, "Failed to encrypt data key");
  EXPECT_EQ(wiped(24), std::make_pair(true, true)) << "encryption failure";
}

}  // namespace
}  // namespace KmsTest
