// kmipctl's argument parser on arbitrary argument vectors: the input is split at NUL bytes into
// arguments. Accepted options must respect the documented bounds, and the connection text built
// from them must keep every value inside its quotes.
#include "fuzz_argv.h"
#include "connection_spec.h"
#include "kmipctl_options.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzArgv args("kmipctl", data, size, 200);
  Kmipctl::Options options;
  std::string error;
  Kmipctl::ParseStatus status = Kmipctl::ParseArguments(args.Argc(), args.Argv(), options, error);
  if (status == Kmipctl::ParseStatus::Error && error.empty()) {
    std::abort();
  }
  if (status != Kmipctl::ParseStatus::Ok) {
    return 0;
  }
  if (options.host.empty() || options.host.size() > Kmipctl::kMaxHostLength || options.port == 0 ||
      options.keyId.size() > Kmipctl::kMaxKeyIdLength ||
      options.trustedCertFiles.size() > Kmipctl::kMaxTrustedCerts || options.timeoutSeconds < 1 ||
      options.timeoutSeconds > Kmipctl::kMaxTimeoutSeconds) {
    std::abort();
  }
  Kmipctl::SpecInputs in;
  in.host = options.host;
  in.port = options.port;
  in.proxyHost = options.proxyHost;
  in.proxyPort = options.proxyPort;
  in.timeoutSeconds = options.timeoutSeconds;
  Har::SecureString spec = Kmipctl::BuildConnectionSpec(in);
  // Two quotes per quoted value: host and port, plus proxy host and port, plus the version.
  size_t quotes = 0;
  for (char c : spec) {
    quotes += c == '\'' ? 1 : 0;
  }
  if (quotes != (options.proxyHost.empty() ? 6u : 10u)) {
    std::abort();
  }
  return 0;
}
