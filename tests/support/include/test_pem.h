// PEM texts for tests: keys and certificates from the product's generator (the shared ones made
// once per test program: RSA key generation is slow under sanitizers), and re-wrapped bodies.
#pragma once

#include <ironveil-common/ssl_utils.h>

#include <gtest/gtest.h>

#include <string>

namespace TestSupport {

struct KeyAndCert {
  std::string key;
  std::string cert;
};

// A new key and its self-signed certificate.
inline KeyAndCert NewKeyAndCert() {
  KeyAndCert out;
  EXPECT_TRUE(Brask::Common::SslUtils::GenerateKeyAndCert(out.key, out.cert));
  return out;
}

inline const KeyAndCert& SharedCert() {
  static const KeyAndCert kc = NewKeyAndCert();
  return kc;
}

inline const KeyAndCert& SharedCsr() {
  static const KeyAndCert kc = [] {
    KeyAndCert out;
    EXPECT_TRUE(Brask::Common::SslUtils::GenerateKeyAndCsr(out.key, out.cert));
    return out;
  }();
  return kc;
}

// The Base64 body of a PEM text, without line breaks.
inline std::string PemBody(const std::string& pem) {
  const size_t start = pem.find('\n') + 1;
  const size_t end = pem.find("-----END");
  std::string body;
  for (char c : pem.substr(start, end - start)) {
    if (c != '\n') body.push_back(c);
  }
  return body;
}

// Re-wraps body at width columns with the given line break.
inline std::string Wrap(const std::string& body, size_t width, const std::string& eol) {
  std::string out;
  for (size_t i = 0; i < body.size(); i += width) {
    out += body.substr(i, width) + eol;
  }
  return out;
}

}  // namespace TestSupport
