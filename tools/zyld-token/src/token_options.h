// Command-line options of zyld-token.
//
// ParseArguments reads
//   zyld-token (--key FILE | --alg HS256 --secret-file FILE) [--alg RS256|ES256|HS256]
//              [--iss S] [--aud S] [--sub S] [--ttl SECONDS | --exp EPOCH | --no-exp]
//              [--entitlement E]... [--claim NAME=VALUE]...
// (each option also as --name=value) into Options. Every value is bounded (argument count and
// length, number of entitlements and claims); claim names are printable ASCII and may not be one
// of the claims that have their own option. On success with help or version set the caller prints
// the usage text or the version (exit 0); an error names the problem and the caller prints it with
// the usage text (exit 2).
// Files named by options are not opened here.
#pragma once

#include <harlibs/status.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ZyldToken {

enum class Algorithm { FromKey, RS256, ES256, HS256 };
enum class Expiry { Ttl, At, None };

struct Options {
  bool help = false;       // -h or --help: nothing after it was read
  bool version = false;    // --version: nothing after it was read
  std::string keyFile;     // private key (PEM) for RS256 / ES256
  std::string secretFile;  // HMAC secret for HS256
  Algorithm alg = Algorithm::FromKey;
  std::optional<std::string> iss;
  std::optional<std::string> aud;
  std::optional<std::string> sub;
  Expiry expiry = Expiry::Ttl;
  int64_t ttlSeconds = 3600;
  int64_t expAt = 0;
  std::vector<std::string> entitlements;
  std::vector<std::pair<std::string, std::string>> claims;  // extra text claims
};

constexpr int kMaxArguments = 256;
constexpr size_t kMaxArgumentLength = 4096;
constexpr size_t kMaxEntitlements = 64;
constexpr size_t kMaxClaims = 64;
constexpr size_t kMaxClaimNameLength = 64;
constexpr int64_t kMaxTtlSeconds = int64_t{100} * 366 * 24 * 3600;

Har::Status ParseArguments(int argc, const char* const* argv, Options& out);

// The usage text (several lines, ends in a newline).
const char* UsageText();

}  // namespace ZyldToken
