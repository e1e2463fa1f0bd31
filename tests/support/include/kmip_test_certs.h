// Test certificates made in memory with OpenSSL: a certificate authority that issues server
// certificates (serverAuth, with DNS and IP subject alternative names) and client certificates
// (clientAuth, one CN), plus the usual set a KMIP test peer needs. Keys are RSA-2048 (what the
// PyKMIP peer needs) or P-256 (fast). All texts are PEM. Failures throw std::runtime_error.
#ifndef KMIP_TEST_CERTS_H
#define KMIP_TEST_CERTS_H

#include <string>
#include <vector>

namespace KmipTest {

enum class KeyKind { Rsa2048, EcP256 };

struct KeyPair {
  std::string certPem;
  std::string keyPem;
};

struct ServerNames {
  std::vector<std::string> dns;
  std::vector<std::string> ip;
};

class CertAuthority {
 public:
  explicit CertAuthority(const std::string& commonName, KeyKind kind = KeyKind::Rsa2048);
  const KeyPair& Root() const { return root_; }
  KeyPair IssueServer(const std::string& commonName, const ServerNames& names) const;
  // clientAuthEku false gives a certificate whose only extended key usage is serverAuth.
  KeyPair IssueClient(const std::string& commonName, bool clientAuthEku = true) const;

 private:
  KeyPair Issue(const std::string& commonName, const std::vector<std::string>& extensions) const;
  KeyKind kind_;
  KeyPair root_;
};

// A self-signed server certificate (no authority), e.g. to pin directly.
KeyPair MakeSelfSignedServer(const std::string& commonName, const ServerNames& names,
                             KeyKind kind = KeyKind::Rsa2048);

struct CertSet {
  KeyPair ca;      // certPem: the authority's certificate
  KeyPair server;  // CN kmip-server, SAN IP:127.0.0.1 and DNS:localhost
  KeyPair client;  // CN kmip-client, EKU clientAuth
};

CertSet MakeCertSet(KeyKind kind = KeyKind::Rsa2048);
// An RSA set made once per process.
const CertSet& SharedCertSet();

// Lower-case hex of TEXT, two digits per byte (as the session specification carries PEM).
std::string Hex(const std::string& text);

}  // namespace KmipTest

#endif
