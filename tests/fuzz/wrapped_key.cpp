// Fuzz target: the wrapped-key metadata parser. The input is tried both as text and as the
// decoded bytes (Base64-encoded first, so the layout itself is explored). Whatever parses must
// describe fields inside the decoded buffer, and writing those fields again must give the same
// text back (the format has exactly one spelling per content).
#include <zyl-common/kms_metadata_parser.h>

#include <harlibs/base64.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace M = Zyl::KeyProviders::Metadata;

void Check(std::string_view text) {
  M::KmipMetadataParser parser;
  if (!parser.Parse(text)) {
    if (parser.GetKeyIdSize() != 0 || parser.GetCiphertext() != nullptr) {
      std::abort();
    }
    return;
  }
  const std::vector<uint8_t> iv(parser.GetIv(), parser.GetIv() + parser.GetIvSize());
  const std::vector<uint8_t> mac(parser.GetMac(), parser.GetMac() + parser.GetMacSize());
  std::string again;
  if (!parser.Add(std::string_view(parser.GetKeyId(), parser.GetKeyIdSize()), iv, mac,
                  parser.GetCiphertext(), parser.GetCiphertextSize(), again) ||
      again != text) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Check(std::string_view(reinterpret_cast<const char*>(data), size));
  if (size > M::kMaxMetadataBytes + 16) {
    return 0;
  }
  std::string encoded(Base64_EncodedLength(size), '\0');
  size_t length = 0;
  if (Base64_Encode(data, size, encoded.data(), encoded.size(), &length)) {
    encoded.resize(length);
    Check(encoded);
  }
  return 0;
}
