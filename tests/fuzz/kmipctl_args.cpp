// kmipctl's argument parser on arbitrary argument vectors: the input is split at NUL bytes into
// arguments. Accepted options must respect the documented bounds, and the connection text built
// from them must parse back to the same values (no value escapes its quotes).
#include <qlkmipsimple/connection_spec.h>

#include "fuzz_argv.h"
#include "kmipctl_options.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzArgv args("kmipctl", data, size, 200);
  Kmipctl::Options options;
  const Har::Status status = Kmipctl::ParseArguments(args.Argc(), args.Argv(), options);
  if (!status && status.message().empty()) {
    std::abort();
  }
  if (!status || options.help) {
    return 0;
  }
  if (options.host.empty() || options.host.size() > Kmipctl::kMaxHostLength || options.port == 0 ||
      options.keyId.size() > Kmipctl::kMaxKeyIdLength ||
      options.trustedCertFiles.size() > Kmipctl::kMaxTrustedCerts || options.timeoutSeconds < 1 ||
      options.timeoutSeconds > Kmipctl::kMaxTimeoutSeconds) {
    std::abort();
  }
  Qlkmip::ConnectionSpec spec;
  spec.host = options.host;
  spec.port = options.port;
  spec.proxyHost = options.proxyHost;
  spec.proxyPort = options.proxyPort;
  spec.timeoutSeconds = static_cast<int>(options.timeoutSeconds);
  Qlkmip::ConnectionSpec parsed;
  if (!Qlkmip::ParseConnectionSpec(Qlkmip::BuildConnectionSpec(spec).view(), &parsed) ||
      parsed.host != spec.host || parsed.port != spec.port || parsed.proxyHost != spec.proxyHost ||
      parsed.proxyPort != spec.proxyPort || parsed.timeoutSeconds != spec.timeoutSeconds) {
    std::abort();
  }
  return 0;
}
