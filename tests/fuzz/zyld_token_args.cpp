// zyld-token's argument parser on arbitrary argument vectors: the input is split at NUL bytes into
// arguments. An error always names its problem, and accepted options respect the documented
// bounds and combinations.
#include "fuzz_argv.h"
#include "token_options.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzArgv args("zyld-token", data, size, 300);
  ZyldToken::Options o;
  const Har::Status status = ZyldToken::ParseArguments(args.Argc(), args.Argv(), o);
  if (!status && status.message().empty()) {
    std::abort();
  }
  if (!status || o.help) {
    return 0;
  }
  const bool hs = o.alg == ZyldToken::Algorithm::HS256;
  if ((hs ? o.secretFile.empty() || !o.keyFile.empty()
          : o.keyFile.empty() || !o.secretFile.empty()) ||
      o.entitlements.size() > ZyldToken::kMaxEntitlements ||
      o.claims.size() > ZyldToken::kMaxClaims || o.ttlSeconds < 0 ||
      o.ttlSeconds > ZyldToken::kMaxTtlSeconds) {
    std::abort();
  }
  for (const auto& [name, value] : o.claims) {
    if (name.empty() || name.size() > ZyldToken::kMaxClaimNameLength || name == "exp" ||
        name == "aud") {
      std::abort();
    }
  }
  return 0;
}
