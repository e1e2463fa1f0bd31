#include "connection_spec.h"

namespace Kmipctl {
namespace {

void AppendPem(const char* label, std::string_view pem, Har::SecureString& out) {
  out += label;
  out += "=PEM:[";
  AppendHex(pem, out);
  out += "]";
}

}  // namespace

void AppendHex(std::string_view bytes, Har::SecureString& out) {
  static const char kDigits[] = "0123456789abcdef";
  out.reserve(out.size() + 2 * bytes.size());
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0x0f];
  }
}

Har::SecureString BuildConnectionSpec(const SpecInputs& in) {
  Har::SecureString spec = "Presentation={Protocol=KMIP, Version='1.1', Format=TTLV}, Session = {";
  if (!in.proxyHost.empty()) {
    spec += "Proxy={Protocol=HTTP, Host='";
    spec += in.proxyHost;
    spec += "', Port='" + std::to_string(in.proxyPort) + "'},";
  }
  spec += "Protocol=SSL, Host='";
  spec += in.host;
  spec += "', Port='" + std::to_string(in.port) + "', ";
  spec +=
      "Timeout=" + std::to_string(in.timeoutSeconds == 0 ? 60 : in.timeoutSeconds) + ":Seconds, ";
  if (!in.clientCertificate.empty()) {
    AppendPem("Certificate", in.clientCertificate, spec);
    spec += ", ";
    AppendPem("Public", in.clientCertificate, spec);
    spec += ", ";
    AppendPem("Private", std::string_view(in.privateKey.data(), in.privateKey.size()), spec);
    spec += ",";
  }
  spec += "User_Trust, Authenticate}";
  if (in.trust) {
    for (const std::string& cert : in.trustedCertificates) {
      spec += ", ";
      AppendPem("Trusted_Cert", cert, spec);
    }
  }
  return spec;
}

}  // namespace Kmipctl
