// KmipKms key operations: GenerateKey draws a data key and wraps it under the master key
// (AES-GCM, no additional data) into the self-describing metadata text; Decrypt unwraps such a
// text with the master key it names. Key bytes and their Base64 text live in Har::Secret values
// that are wiped when the call returns, on every path.
#include "kms/kmip_kms.h"

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

bool Wrap(const Har::Secret& dataKey, const Har::Secret& masterKey, std::vector<uint8_t>& iv,
          std::vector<uint8_t>& ciphertext, std::vector<uint8_t>& tag) {
  return Ssl::AesGcmEncrypt(dataKey, masterKey, kNoAad, iv, ciphertext, tag);
}

bool Unwrap(const KmipMetadataParser& parser, const Har::Secret& masterKey, Har::Secret& dataKey) {
  const std::vector<uint8_t> ciphertext(parser.GetCiphertext(),
                                        parser.GetCiphertext() + parser.GetCiphertextSize());
  const std::vector<uint8_t> iv(parser.GetIv(), parser.GetIv() + parser.GetIvSize());
  const std::vector<uint8_t> tag(parser.GetMac(), parser.GetMac() + parser.GetMacSize());
  return Ssl::AesGcmDecrypt(ciphertext, masterKey, iv, kNoAad, tag, dataKey);
}

// Base64 of the key into the caller's string (its former text wiped first); false when encoding
// fails.
bool EncodeKey(const Har::Secret& key, std::string& out) {
  Har::Secret text(Base64_EncodedLength(key.size()));
  size_t length = 0;
  if (!Base64_Encode(key.bytes(), key.size(), text.data(), text.size(), &length)) {
    return false;
  }
  Har::Cleanse(out.data(), out.size());
  out.assign(text.data(), length);
  return true;
}

}  // namespace

std::optional<ServerFetch> KmipKms::FetchNeededFor(
    std::optional<std::string_view> wrappedKey) const {
  std::string keyId = Info().masterKeyId;
  if (wrappedKey) {
    KmipMetadataParser parser;
    if (!parser.Parse(*wrappedKey)) {
      return std::nullopt;
    }
    keyId.assign(parser.GetKeyId(), parser.GetKeyIdSize());
  }
  if (reader_.ServesFromCache(keyId)) {
    return std::nullopt;
  }
  return ServerFetch{std::move(keyId), connector_.TimeoutSeconds()};
}

KmsResult KmipKms::GenerateKey(uint32_t server, uint32_t keySize, std::string& key,
                               std::string& wrappedKey, std::string& error) {
  const KmsInfo& info = Info();
  if (keySize == 0 || keySize > kMaxDataKeySize) {
    error = "Invalid data key size " + std::to_string(keySize);
    Log_Level(kLogFailure, "Generate key failed, %s\n", error.c_str());
    return GeneralError;
  }
  Har::Secret masterKey;
  const KmsResult r = reader_.GetUsableKey(server, info.masterKeyId, masterKey, error);
  if (r != Success) {
    Log_Level(kLogFailure,
              "Failed to generate key. Could not fetch master key or it is not usable. Key %s, "
              "provider %s, server %s, reason %s\n",
              info.masterKeyId.c_str(), info.name.c_str(), connector_.ServerName(server).c_str(),
              error.c_str());
    return r;
  }
  Har::Secret dataKey(keySize);
  if (!Ssl::RandomBytes(dataKey.bytes(), dataKey.size())) {
    error = "Failed to generate random bytes";
    Log_Level(kLogFailure, "Generate key failed, %s\n", error.c_str());
    return CryptoError;
  }
  std::vector<uint8_t> iv;
  std::vector<uint8_t> ciphertext;
  std::vector<uint8_t> tag;
  const bool wrapped = Wrap(dataKey, masterKey, iv, ciphertext, tag);
  masterKey.Wipe();
  if (!wrapped) {
    error = "Failed to encrypt data key";
    Log_Level(kLogFailure, "Generate key failed, %s\n", error.c_str());
    return CryptoError;
  }
  if (!EncodeKey(dataKey, key)) {
    error = "Failed to encode key";
    Log_Level(kLogFailure, "Generate key failed, %s\n", error.c_str());
    return EncodingError;
  }
  dataKey.Wipe();
  if (!KmipMetadataParser().Add(info.masterKeyId, iv, tag, ciphertext.data(), ciphertext.size(),
                                wrappedKey)) {
    Har::WipeGuard discard(key);
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
  const KmsInfo& info = Info();
  KmipMetadataParser parser;
  if (!parser.Parse(wrappedKey)) {
    error = "Failed to read metadata";
    return MetadataError;
  }
  const std::string keyId(parser.GetKeyId(), parser.GetKeyIdSize());
  Har::Secret masterKey;
  const KmsResult r = reader_.GetUsableKey(server, keyId, masterKey, error);
  if (r == MasterKeyUnusableForEncryption) {
    Log_Level(
        kLogNotable,
        "Proceeding to decrpt with a key which is deactivated or compromised. Key %s, provider %s, "
        "server %s\n",
        info.masterKeyId.c_str(), info.name.c_str(), connector_.ServerName(server).c_str());
  } else if (r != Success) {
    Log_Level(
        kLogFailure,
        "Failed to decrypt. Could not fetch master key or it is not usable. Key %s, provider %s, "
        "server %s, reason %s\n",
        info.masterKeyId.c_str(), info.name.c_str(), connector_.ServerName(server).c_str(),
        error.c_str());
    return r;
  }
  Har::Secret dataKey;
  const bool unwrapped = Unwrap(parser, masterKey, dataKey);
  masterKey.Wipe();
  if (!unwrapped) {
    error = "Failed to decrypt ciphertext";
    Log_Level(kLogFailure, "Decrypt failed, %s\n", error.c_str());
    return CryptoError;
  }
  if (!EncodeKey(dataKey, key)) {
    error = "Failed to encode plaintext";
    Log_Level(kLogFailure, "Decrypt failed, %s\n", error.c_str());
    return EncodingError;
  }
  Log_Level(kLogRecord, "Operation : 'Decrypt'\n");
  return Success;
}

}  // namespace Zyld::Kms
