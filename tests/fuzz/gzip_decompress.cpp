// Fuzz target: gzip decompression must never crash, and whatever it accepts must survive a
// compress/decompress round trip unchanged.
#include <ironveil-common/gzip.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);
  std::string text;
  if (!Brask::Common::Gzip::DecompressToString(input, text)) {
    return 0;
  }
  std::vector<uint8_t> again;
  std::string back;
  if (!Brask::Common::Gzip::CompressFromString(text, again) ||
      !Brask::Common::Gzip::DecompressToString(again, back) || back != text) {
    abort();
  }
  return 0;
}
