// Data keys: GenerateKey draws a key and wraps it under the master key (AES-GCM, no additional
// data) into the self-describing metadata text; Decrypt unwraps such a text with the master key
// it names. Every buffer of key material is guarded and wiped before the call returns.
#include "kms/kmip_kms.h"
#include "kms/kms_wipe.h"

#include <harlibs/base64.h>
#include <harlibs/log.h>
#include <ironveil-common/ssl_utils.h>
#include <zyl-common/kms_metadata_parser.h>

namespace Zyld::Kms {
namespace {

namespace Ssl = Brask::Common::SslUtils;
using Zyl::KeyProviders::Metadata::kMaxDataKeySize;
using Zyl::KeyProviders::Metadata::KmipMetadataParser;

const std::vector<uint8_t> kNoAad;

// Base64 of the bytes into out; false when encoding fails. The intermediate buffer is wiped.
bool EncodeKey(const Har::SecureBytes& bytes, std::string& out) {
  Har::SecureString text(Base64_EncodedLength(bytes.size()), '\0');
  WipeGuard textGuard("key text", text);
  if (!Base64_Encode(bytes.data(), bytes.size(), text.data(), text.size(), nullptr)) {
    return false;
  }
  Har::Cleanse(out);
  out.assign(text.c_str());
  return true;
}

void DiscardKeyText(std::string& key) {
  Har::Cleanse(key);
  key.clear();
}

}  // namespace

KmsResult KmipKms::FetchMasterKey(uint32_t server, const std::string& keyId,
                                  Har::SecureBytes& masterKey, std::string& error) {
  int32_t state = kKeyStateUnknown;
  KmsResult r = GetKey(server, keyId, false, masterKey, state, error);
  return r == Success ? CheckKeyState(state, error) : r;
}

KmsResult KmipKms::GenerateKey(uint32_t server, uint32_t keySize, std::string& key,
                               std::string& wrappedKey, std::string& error) {
  const KmsInfo& info = *info_;
  if (keySize == 0 || keySize > kMaxDataKeySize) {
    error = "Invalid data key size " + std::to_string(keySize);
    Log_Level(kLogFailure, "Generate key failed, %s\n", error.c_str());
    return GeneralError;
  }
  Har::SecureBytes masterKey;
  WipeGuard masterGuard("master key", masterKey);
  KmsResult r = FetchMasterKey(server, info.masterKeyId, masterKey, error);
  if (r != Success) {
    masterGuard.Wipe();
    Log_Level(kLogFailure,
              "Failed to generate key. Could not fetch master key or it is not usable. Key %s, "
              "provider %s, "
              "server %s, reason %s\n",
              info.masterKeyId.c_str(), info.name.c_str(), ServerName(server).c_str(),
              error.c_str());
    return r;
  }
  Har::SecureBytes dataKey(keySize, 0);
  WipeGuard dataGuard("data key", dataKey);
  if (!Ssl::RandomBytes(dataKey.data(), dataKey.size())) {
    error = "Failed to generate random bytes";
    Log_Level(kLogFailure, "Generate key failed, %s\n", error.c_str());
    return CryptoError;
  }
  std::vector<uint8_t> iv;
  std::vector<uint8_t> ciphertext;
  std::vector<uint8_t> tag;
  const bool encrypted = Ssl::AesGcmEncrypt(Har::Secret(dataKey.data(), dataKey.size()),
                                            Har::Secret(masterKey.data(), masterKey.size()), kNoAad,
                                            iv, ciphertext, tag);
  masterGuard.Wipe();
  if (!encrypted) {
    error = "Failed to encrypt data key";
    Log_Level(kLogFailure, "Generate key failed, %s\n", error.c_str());
    return CryptoError;
  }
  if (!EncodeKey(dataKey, key)) {
    error = "Failed to encode key";
    Log_Level(kLogFailure, "Generate key failed, %s\n", error.c_str());
    return EncodingError;
  }
  dataGuard.Wipe();
  if (!KmipMetadataParser().Add(info.masterKeyId, iv, tag, ciphertext.data(), ciphertext.size(),
                                wrappedKey)) {
    DiscardKeyText(key);
    error = "Failed to add metadata";
    Log_Level(kLogFailure, "Generate key failed, %s\n", error.c_str());
    return MetadataError;
  }
  Log_Level(kLogRecord, "Operation : 'GenerateKey', masterKeyId : '%s'\n",
            info.masterKeyId.c_str());
  return Success;
}

KmsResult KmipKms::Decrypt(uint32_t server, const std::string& wrappedKey, std::string& key,
                           std::string& error) {
  const KmsInfo& info = *info_;
  KmipMetadataParser parser;
  if (!parser.Parse(wrappedKey)) {
    error = "Failed to read metadata";
    return MetadataError;
  }
  const std::string keyId(parser.GetKeyId(), parser.GetKeyIdSize());
  Har::SecureBytes masterKey;
  WipeGuard masterGuard("master key", masterKey);
  KmsResult r = FetchMasterKey(server, keyId, masterKey, error);
  if (r == MasterKeyUnusableForEncryption) {
    Log_Level(
        kLogNotable,
        "Proceeding to decrpt with a key which is deactivated or compromised. Key %s, provider %s, "
        "server %s\n",
        info.masterKeyId.c_str(), info.name.c_str(), ServerName(server).c_str());
  } else if (r != Success) {
    masterGuard.Wipe();
    Log_Level(
        kLogFailure,
        "Failed to decrypt. Could not fetch master key or it is not usable. Key %s, provider %s, "
        "server %s, reason %s\n",
        info.masterKeyId.c_str(), info.name.c_str(), ServerName(server).c_str(), error.c_str());
    return r;
  }
  const std::vector<uint8_t> ciphertext(parser.GetCiphertext(),
                                        parser.GetCiphertext() + parser.GetCiphertextSize());
  const std::vector<uint8_t> iv(parser.GetIv(), parser.GetIv() + parser.GetIvSize());
  const std::vector<uint8_t> tag(parser.GetMac(), parser.GetMac() + parser.GetMacSize());
  Har::SecureBytes plaintext;
  WipeGuard plainGuard("data key", plaintext);
  Har::Secret clear;
  const bool decrypted = Ssl::AesGcmDecrypt(
      ciphertext, Har::Secret(masterKey.data(), masterKey.size()), iv, kNoAad, tag, clear);
  plaintext.assign(clear.bytes(), clear.bytes() + clear.size());
  masterGuard.Wipe();
  if (!decrypted) {
    error = "Failed to decrypt ciphertext";
    Log_Level(kLogFailure, "Decrypt failed, %s\n", error.c_str());
    return CryptoError;
  }
  if (!EncodeKey(plaintext, key)) {
    error = "Failed to encode plaintext";
    Log_Level(kLogFailure, "Decrypt failed, %s\n", error.c_str());
    return EncodingError;
  }
  plainGuard.Wipe();
  Log_Level(kLogRecord, "Operation : 'Decrypt'\n");
  return Success;
}

}  // namespace Zyld::Kms
