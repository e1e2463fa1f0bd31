#include <zyl-common/kms_metadata_parser.h>

#include <harlibs/base64.h>

#include <algorithm>
#include <array>
#include <utility>

namespace Zyl::KeyProviders::Metadata {
namespace {

constexpr std::array<size_t, 4> kFieldBounds = {kMaxKeyIdSize, kMaxIvSize, kMaxMacSize,
                                                kMaxCiphertextSize};

void PutLe16(uint8_t* p, size_t v) {
  p[0] = static_cast<uint8_t>(v & 0xff);
  p[1] = static_cast<uint8_t>((v >> 8) & 0xff);
}

}  // namespace

bool KmsMetadataParser::Parse(std::string_view text) {
  bytes_.clear();
  header_ = 0;
  if (text.empty() || text.size() > kMaxMetadataTextSize) {
    return false;
  }
  bytes_.resize(Base64_DecodedLength(text.data(), text.size()));
  size_t length = 0;
  if (!Base64_Decode(text.data(), text.size(), bytes_.data(), bytes_.size(), &length) ||
      length < 4) {
    bytes_.clear();
    return false;
  }
  bytes_.resize(length);
  header_ = static_cast<uint32_t>(bytes_[0]) | static_cast<uint32_t>(bytes_[1]) << 8 |
            static_cast<uint32_t>(bytes_[2]) << 16 | static_cast<uint32_t>(bytes_[3]) << 24;
  return true;
}

void KmipMetadataParser::Reset() {
  for (size_t i = 0; i < 4; ++i) {
    offsets_[i] = 0;
    sizes_[i] = 0;
  }
}

bool KmipMetadataParser::Parse(std::string_view text) {
  Reset();
  if (!KmsMetadataParser::Parse(text) || header_ != kMetadataHeader) {
    return false;
  }
  size_t at = 4;
  size_t offsets[4];
  uint16_t sizes[4];
  for (size_t i = 0; i < 4; ++i) {
    if (bytes_.size() - at < 2) {
      return false;
    }
    const size_t size = static_cast<size_t>(bytes_[at]) | static_cast<size_t>(bytes_[at + 1]) << 8;
    at += 2;
    if (size == 0 || size > kFieldBounds[i] || bytes_.size() - at < size) {
      return false;
    }
    offsets[i] = at;
    sizes[i] = static_cast<uint16_t>(size);
    at += size;
  }
  if (at != bytes_.size()) {
    return false;
  }
  for (size_t i = 0; i < 4; ++i) {
    offsets_[i] = offsets[i];
    sizes_[i] = sizes[i];
  }
  return true;
}

bool KmipMetadataParser::Add(std::string_view keyId, const std::vector<uint8_t>& iv,
                             const std::vector<uint8_t>& mac, const uint8_t* ciphertext,
                             size_t ciphertextSize, std::string& out) const {
  const std::array<std::pair<const uint8_t*, size_t>, 4> fields = {{
      {reinterpret_cast<const uint8_t*>(keyId.data()), keyId.size()},
      {iv.data(), iv.size()},
      {mac.data(), mac.size()},
      {ciphertext, ciphertextSize},
  }};
  std::array<uint8_t, kMaxMetadataBytes> buffer;
  PutLe16(buffer.data(), kMetadataHeader & 0xffff);
  PutLe16(buffer.data() + 2, kMetadataHeader >> 16);
  size_t at = 4;
  for (size_t i = 0; i < fields.size(); ++i) {
    const auto& [data, size] = fields[i];
    if (data == nullptr || size == 0 || size > kFieldBounds[i]) {
      return false;
    }
    PutLe16(buffer.data() + at, size);
    std::copy(data, data + size, buffer.data() + at + 2);
    at += 2 + size;
  }
  std::string text(Base64_EncodedLength(at), '\0');
  size_t length = 0;
  if (!Base64_Encode(buffer.data(), at, text.data(), text.size(), &length)) {
    return false;
  }
  text.resize(length);
  out.swap(text);
  return true;
}

}  // namespace Zyl::KeyProviders::Metadata
