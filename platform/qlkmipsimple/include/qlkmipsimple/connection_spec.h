// The session specification text: a builder and a strict parser of exactly the layout
//   Presentation={Protocol=KMIP, Version='1.1', Format=TTLV}, Session = {
//   [Proxy={Protocol=HTTP, Host='H', Port='P'},]Protocol=SSL, Host='H', Port='P',
//   Timeout=N:Seconds, [Certificate=PEM:[hex], Public=PEM:[hex], Private=PEM:[hex],]User_Trust,
//   Authenticate}
//   [, Trusted_Cert=PEM:[hex]]...
// (spaces exactly as shown; hex digits in either case, two per byte). Ports must be 1..65535,
// the time-out 1..86400 seconds, hosts non-empty without quotes or control characters; every
// PEM object is at most 64 KiB once decoded, at most 256 trusted certificates, 4 MiB of text.
// The text carries the client's private key: it is a Har::Secret wherever this library holds it.
#ifndef QLKMIPSIMPLE_CONNECTION_SPEC_H
#define QLKMIPSIMPLE_CONNECTION_SPEC_H

#include <harlibs/secure.h>
#include <harlibs/status.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Qlkmip {

struct ConnectionSpec {
  std::string host;
  uint16_t port = 0;
  std::string proxyHost;  // empty: no proxy
  uint16_t proxyPort = 0;
  int timeoutSeconds = 0;
  bool hasClientCertificate = false;
  std::string certificatePem;
  std::string publicPem;
  Har::Secret privateKeyPem;
  std::vector<std::string> trustedPems;
};

constexpr size_t kMaxSpecText = 4u << 20;
constexpr size_t kMaxPemObject = 64u << 10;
constexpr size_t kMaxTrustedCerts = 256;
constexpr int kMaxTimeoutSeconds = 86400;
// What callers use when they are given no time-out; the text always names one.
constexpr int kDefaultTimeoutSeconds = 60;

// Writes SPEC as the text that ParseConnectionSpec reads back into an equal ConnectionSpec: the
// proxy piece when proxyHost is set, the credential pieces when hasClientCertificate is set
// (PEM objects as lower-case hex), one Trusted_Cert piece per trusted certificate. Values
// outside the parser's bounds are written as given, and the parser refuses the text.
Har::Secret BuildConnectionSpec(const ConnectionSpec& spec);

// Parses TEXT into *out. On failure the error names the reason.
Har::Status ParseConnectionSpec(std::string_view text, ConnectionSpec* out);

}  // namespace Qlkmip

#endif
