// Fuzz target: the session specification parser.
#include <qlkmipsimple/connection_spec.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Qlkmip::ConnectionSpec spec;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Har::Status status = Qlkmip::ParseConnectionSpec(text, &spec);
  if (status) {
    if (spec.port == 0 || spec.host.empty() || spec.timeoutSeconds < 1 ||
        spec.timeoutSeconds > Qlkmip::kMaxTimeoutSeconds ||
        spec.trustedPems.size() > Qlkmip::kMaxTrustedCerts) {
      std::abort();
    }
  } else if (status.message().empty()) {
    std::abort();
  }
  return 0;
}
