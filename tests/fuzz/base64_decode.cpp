// Fuzz target: Base64 decoding. Accepted text must be canonical, so re-encoding the decoded
// bytes gives the input back; and any bytes must survive an encode/decode round trip.
#include <harlibs/base64.h>

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  std::vector<uint8_t> decoded(Base64_DecodedLength(text, size) + 1);
  size_t len = 0;
  if (Base64_Decode(text, size, decoded.data(), decoded.size(), &len)) {
    std::vector<char> again(Base64_EncodedLength(len));
    size_t textLen = 0;
    if (!Base64_Encode(decoded.data(), len, again.data(), again.size(), &textLen) ||
        textLen != size || (size > 0 && std::memcmp(again.data(), text, size) != 0)) {
      std::abort();
    }
  }
  std::vector<char> encoded(Base64_EncodedLength(size));
  size_t encLen = 0;
  if (!Base64_Encode(data, size, encoded.data(), encoded.size(), &encLen)) {
    std::abort();
  }
  std::vector<uint8_t> back(size + 1);
  size_t backLen = 0;
  if (!Base64_Decode(encoded.data(), encLen, back.data(), back.size(), &backLen) ||
      backLen != size || (size > 0 && std::memcmp(back.data(), data, size) != 0)) {
    std::abort();
  }
  return 0;
}
