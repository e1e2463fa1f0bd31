// Command-line options of kmipctl.
//
// ParseArguments reads `kmipctl [options] COMMAND [ID]` into Options. Every value is bounded
// (argument count, lengths, number of trusted certificates); host names must be free of the
// quote and separators of the connection specification, ids and credentials printable ASCII. On
// success with help or version set the caller prints the usage text or the version (exit 0); an
// error names the problem (an option that does not exist as unknown) and the caller prints it
// with the usage text (exit 2). Files named by options are not opened here.
#pragma once

#include <harlibs/secure.h>
#include <harlibs/status.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Kmipctl {

enum class Command { Versions, ServerCert, State, KeyInfo };

struct Options {
  bool help = false;     // -h or --help: nothing else was read
  bool version = false;  // --version: nothing else was read
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

// Limits enforced by ParseArguments.
constexpr int kMaxArguments = 64;
constexpr size_t kMaxArgumentLength = 4096;
constexpr size_t kMaxHostLength = 253;
constexpr size_t kMaxKeyIdLength = 128;
constexpr size_t kMaxCredentialLength = 256;
constexpr size_t kMaxTrustedCerts = 16;
constexpr long kMaxTimeoutSeconds = 3600;

Har::Status ParseArguments(int argc, const char* const* argv, Options& out);

// The usage text (several lines, ends in a newline).
const char* UsageText();

}  // namespace Kmipctl
