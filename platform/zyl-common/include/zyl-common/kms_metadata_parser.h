// Wrapped-key metadata: a Base64 text naming the master key a data key was wrapped with, together
// with the AES-GCM IV, tag and ciphertext.
//
// Decoded layout (all integers little-endian):
//   uint32 header   kMetadataMagic in the high 16 bits, kMetadataVersion in the low 16 bits
//   4 fields        uint16 length, then that many bytes: key identifier, IV, tag, ciphertext
// Every field is non-empty and bounded (kMaxKeyIdSize, kMaxIvSize, kMaxMacSize,
// kMaxCiphertextSize); nothing may follow the last field; the text must be canonical Base64 and at
// most kMaxMetadataTextSize characters. Parse rejects anything else and never reads out of bounds.
// A parser holds no secrets: the ciphertext is wrapped and the rest is public.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Zyl::KeyProviders::Metadata {

constexpr uint32_t kMetadataMagic = 0x5A4Bu;
constexpr uint32_t kMetadataVersion = 1u;
constexpr uint32_t kMetadataHeader = (kMetadataMagic << 16) | kMetadataVersion;
constexpr size_t kMaxKeyIdSize = 256;
constexpr size_t kMaxIvSize = 64;
constexpr size_t kMaxMacSize = 64;
constexpr size_t kMaxDataKeySize = 1024;
constexpr size_t kMaxCiphertextSize = kMaxDataKeySize + 16;
constexpr size_t kMaxMetadataBytes =
    4 + 4 * 2 + kMaxKeyIdSize + kMaxIvSize + kMaxMacSize + kMaxCiphertextSize;
constexpr size_t kMaxMetadataTextSize = (kMaxMetadataBytes + 2) / 3 * 4;

// Base of metadata parsers: decodes the Base64 text and keeps the header word.
class KmsMetadataParser {
 public:
  virtual ~KmsMetadataParser() = default;

  // Decodes text (canonical Base64, at most kMaxMetadataTextSize characters) into the buffer;
  // true when it decodes to at least 4 bytes. The first 4 bytes become the header word.
  virtual bool Parse(std::string_view text);

  uint32_t GetHeader() const { return header_; }

 protected:
  std::vector<uint8_t> bytes_;
  uint32_t header_ = 0;
};

// The wrapped-key metadata of KMIP providers.
class KmipMetadataParser : public KmsMetadataParser {
 public:
  // Writes the metadata text for the four fields into out; false (out untouched) when a field
  // is empty or over its bound.
  bool Add(std::string_view keyId, const std::vector<uint8_t>& iv, const std::vector<uint8_t>& mac,
           const uint8_t* ciphertext, size_t ciphertextSize, std::string& out) const;

  // Parses a text written by Add; on failure the getters describe nothing (sizes 0).
  bool Parse(std::string_view text) override;

  const char* GetKeyId() const { return reinterpret_cast<const char*>(Field(0)); }
  uint16_t GetKeyIdSize() const { return sizes_[0]; }
  const uint8_t* GetIv() const { return Field(1); }
  uint16_t GetIvSize() const { return sizes_[1]; }
  const uint8_t* GetMac() const { return Field(2); }
  uint16_t GetMacSize() const { return sizes_[2]; }
  const uint8_t* GetCiphertext() const { return Field(3); }
  uint16_t GetCiphertextSize() const { return sizes_[3]; }

 private:
  const uint8_t* Field(size_t i) const {
    return sizes_[i] == 0 ? nullptr : bytes_.data() + offsets_[i];
  }
  void Reset();

  size_t offsets_[4] = {0, 0, 0, 0};
  uint16_t sizes_[4] = {0, 0, 0, 0};
};

}  // namespace Zyl::KeyProviders::Metadata
