// The connection specification text qlc_connect_key_manager takes, built the way the daemon
// builds it: presentation, optional proxy, endpoint, time-out, optional client credentials
// (certificate hex-encoded as both Certificate and Public, private key as Private), the fixed
// trust options, then one Trusted_Cert piece per trusted certificate when trust is requested.
// PEM texts are written as lower-case hex, two digits a byte. The result holds the private key
// and therefore wipes itself when released.
#pragma once

#include <harlibs/secure.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Kmipctl {

struct SpecInputs {
  std::string host;
  uint16_t port = 0;
  long timeoutSeconds = 0;  // 0 means 60
  std::string proxyHost;    // empty: direct connection
  uint16_t proxyPort = 0;
  std::string clientCertificate;  // PEM; empty: no client credentials
  Har::SecureString privateKey;   // PEM; used only with a client certificate
  bool trust = false;             // add the trusted certificates below
  std::vector<std::string> trustedCertificates;
};

Har::SecureString BuildConnectionSpec(const SpecInputs& in);

// Appends the lower-case hex of bytes to out.
void AppendHex(std::string_view bytes, Har::SecureString& out);

}  // namespace Kmipctl
