// Fuzz target: PEM standardisation must never crash; a failure leaves the text unchanged, and a
// success yields text that standardises to itself again.
#include <ironveil-common/ssl_utils.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Check(const std::string& input, const std::string& begin, const std::string& end) {
  using Brask::Common::SslUtils::StandardizePemString;
  std::string text = input;
  if (!StandardizePemString(begin, end, text)) {
    if (text != input) abort();
    return;
  }
  std::string again = text;
  if (!StandardizePemString(begin, end, again) || again != text) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  Check(input, "-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----\n");
  Check(input, "-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----");
  Check(input, "-----BEGIN PUBLIC KEY-----", "-----END PUBLIC KEY-----\n");
  std::string csr = input;
  if (!Brask::Common::SslUtils::StandardizePemCsr(csr) && csr != input) abort();
  return 0;
}
