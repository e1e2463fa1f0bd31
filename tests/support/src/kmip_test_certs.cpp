#include "kmip_test_certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <harlibs/openssl_ptr.h>

#include <memory>
#include <stdexcept>

namespace KmipTest {
namespace {

using Har::BioPtr;
using Har::PkeyPtr;
using Har::X509Ptr;

void Check(bool ok, const char* what) {
  if (!ok) {
    throw std::runtime_error(std::string("test certificate: ") + what);
  }
}

PkeyPtr NewKey(KeyKind kind) {
  PkeyPtr key(kind == KeyKind::Rsa2048 ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
  Check(key != nullptr, "key generation");
  return key;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(size));
}

std::string CertPem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  Check(bio && PEM_write_bio_X509(bio.get(), cert) == 1, "write certificate");
  return BioText(bio.get());
}

std::string KeyPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  Check(bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "write key");
  return BioText(bio.get());
}

X509Ptr ReadCert(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  Check(cert != nullptr, "read certificate");
  return cert;
}

PkeyPtr ReadKey(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  Check(key != nullptr, "read key");
  return key;
}

// Builds and signs a certificate for KEY. ISSUER null means self-signed.
X509Ptr Build(EVP_PKEY* key, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey,
              const std::vector<std::string>& extensions) {
  X509Ptr cert(X509_new());
  Check(cert != nullptr, "new certificate");
  X509_set_version(cert.get(), 2);
  unsigned char serial[8];
  RAND_bytes(serial, sizeof(serial));
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof(serial), nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, signer, cert.get(), nullptr, nullptr, 0);
  for (const std::string& ext : extensions) {
    const size_t eq = ext.find('=');
    X509_EXTENSION* e =
        X509V3_EXT_conf(nullptr, &ctx, ext.substr(0, eq).c_str(), ext.substr(eq + 1).c_str());
    Check(e != nullptr, "extension");
    X509_add_ext(cert.get(), e, -1);
    X509_EXTENSION_free(e);
  }
  Check(X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0, "sign");
  return cert;
}

std::string AltNames(const ServerNames& names) {
  std::string alt;
  for (const auto& dns : names.dns) alt += (alt.empty() ? "" : ",") + std::string("DNS:") + dns;
  for (const auto& ip : names.ip) alt += (alt.empty() ? "" : ",") + std::string("IP:") + ip;
  return alt;
}

std::vector<std::string> ServerExtensions(const ServerNames& names) {
  std::vector<std::string> ext = {"basicConstraints=critical,CA:FALSE",
                                  "keyUsage=critical,digitalSignature,keyEncipherment",
                                  "extendedKeyUsage=serverAuth", "subjectKeyIdentifier=hash"};
  const std::string alt = AltNames(names);
  if (!alt.empty()) ext.push_back("subjectAltName=" + alt);
  return ext;
}

}  // namespace

CertAuthority::CertAuthority(const std::string& commonName, KeyKind kind) : kind_(kind) {
  PkeyPtr key = NewKey(kind);
  X509Ptr cert = Build(key.get(), commonName, nullptr, nullptr,
                       {"basicConstraints=critical,CA:TRUE",
                        "keyUsage=critical,keyCertSign,cRLSign", "subjectKeyIdentifier=hash"});
  root_ = KeyPair{CertPem(cert.get()), KeyPem(key.get())};
}

KeyPair CertAuthority::Issue(const std::string& commonName,
                             const std::vector<std::string>& extensions) const {
  X509Ptr caCert = ReadCert(root_.certPem);
  PkeyPtr caKey = ReadKey(root_.keyPem);
  PkeyPtr key = NewKey(kind_);
  std::vector<std::string> all = extensions;
  all.push_back("authorityKeyIdentifier=keyid");
  X509Ptr cert = Build(key.get(), commonName, caCert.get(), caKey.get(), all);
  return KeyPair{CertPem(cert.get()), KeyPem(key.get())};
}

KeyPair CertAuthority::IssueServer(const std::string& commonName, const ServerNames& names) const {
  return Issue(commonName, ServerExtensions(names));
}

KeyPair CertAuthority::IssueClient(const std::string& commonName, bool clientAuthEku) const {
  return Issue(
      commonName,
      {"basicConstraints=critical,CA:FALSE", "keyUsage=critical,digitalSignature,keyEncipherment",
       clientAuthEku ? "extendedKeyUsage=clientAuth" : "extendedKeyUsage=serverAuth",
       "subjectKeyIdentifier=hash"});
}

KeyPair MakeSelfSignedServer(const std::string& commonName, const ServerNames& names,
                             KeyKind kind) {
  PkeyPtr key = NewKey(kind);
  X509Ptr cert = Build(key.get(), commonName, nullptr, nullptr, ServerExtensions(names));
  return KeyPair{CertPem(cert.get()), KeyPem(key.get())};
}

CertSet MakeCertSet(KeyKind kind) {
  CertAuthority ca("kmip-test-ca", kind);
  CertSet set;
  set.ca = ca.Root();
  set.server = ca.IssueServer("kmip-server", ServerNames{{"localhost"}, {"127.0.0.1"}});
  set.client = ca.IssueClient("kmip-client");
  return set;
}

std::string Hex(const std::string& text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char c : text) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0x0f]);
  }
  return out;
}

}  // namespace KmipTest
