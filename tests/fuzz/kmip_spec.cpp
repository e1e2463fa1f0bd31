// Fuzz target: the session specification parser.
#include <qlkmipsimple/connection_spec.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Qlkmip::ConnectionSpec spec;
  std::string error;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (Qlkmip::ParseConnectionSpec(text, &spec, &error)) {
    if (spec.port == 0 || spec.host.empty() || spec.timeoutSeconds < 1 ||
        spec.timeoutSeconds > Qlkmip::kMaxTimeoutSeconds ||
        spec.trustedPems.size() > Qlkmip::kMaxTrustedCerts) {
      std::abort();
    }
  } else if (error.empty()) {
    std::abort();
  }
  return 0;
}
