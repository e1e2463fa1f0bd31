// Command-line options of kmipctl.
//
// ParseArguments reads `kmipctl [options] COMMAND [ID]` into Options. Every value is bounded
// (argument count, lengths, number of trusted certificates); host names must be free of the
// quote and separators of the connection specification, ids and credentials printable ASCII. It
// returns Ok, Help (the caller prints the usage text, exit 0) or Error (error names the problem;
// the caller prints it with the usage text, exit 2). Files named by options are not opened here.
#pragma once

#include <harlibs/secure.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Kmipctl {

enum class Command { Versions, ServerCert, State, KeyInfo };

struct Options {
  std::string host;
  uint16_t port = 0;
  std::string clientCertFile;
  std::string clientKeyFile;
  std::vector<std::string> trustedCertFiles;
  std::string proxyHost;
  uint16_t proxyPort = 0;
  long timeoutSeconds = 60;
  std::string user;
  Har::Secret password;
  Command command = Command::Versions;
  std::string keyId;  // State and KeyInfo only
};

enum class ParseStatus { Ok, Help, Error };

// Limits enforced by ParseArguments.
constexpr int kMaxArguments = 64;
constexpr size_t kMaxArgumentLength = 4096;
constexpr size_t kMaxHostLength = 253;
constexpr size_t kMaxKeyIdLength = 128;
constexpr size_t kMaxCredentialLength = 256;
constexpr size_t kMaxTrustedCerts = 16;
constexpr long kMaxTimeoutSeconds = 3600;

ParseStatus ParseArguments(int argc, const char* const* argv, Options& out, std::string& error);

// The usage text (several lines, ends in a newline).
const char* UsageText();

}  // namespace Kmipctl
