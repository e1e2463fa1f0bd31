#include "kmip_test_certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <harlibs/openssl_ptr.h>

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

// The PEM text WRITE puts into a memory BIO.
template <typename Write>
std::string Pem(Write write) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  Check(bio && write(bio.get()) == 1, "write PEM");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

KeyPair PairOf(X509* cert, EVP_PKEY* key) {
  return {Pem([&](BIO* b) { return PEM_write_bio_X509(b, cert); }), Pem([&](BIO* b) {
            return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr);
          })};
}

BioPtr Source(const std::string& pem) {
  return BioPtr(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
}

// Builds and signs a certificate for KEY. ISSUER null means self-signed.
X509Ptr Build(EVP_PKEY* key, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey,
              const std::vector<std::string>& extensions) {
  X509Ptr cert(X509_new());
  Check(cert != nullptr, "new certificate");
  X509_set_version(cert.get(), 2);
  uint64_t serial = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof(serial));
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial >> 1);
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
    Har::X509ExtensionPtr e(
        X509V3_EXT_conf(nullptr, &ctx, ext.substr(0, eq).c_str(), ext.substr(eq + 1).c_str()));
    Check(e && X509_add_ext(cert.get(), e.get(), -1) == 1, "extension");
  }
  Check(X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0, "sign");
  return cert;
}

// A leaf certificate's extensions: extended key usage EKU, subject alternative names NAMES.
std::vector<std::string> LeafExtensions(const std::string& eku, const ServerNames& names = {}) {
  std::string alt;
  for (const auto& dns : names.dns) alt += ",DNS:" + dns;
  for (const auto& ip : names.ip) alt += ",IP:" + ip;
  std::vector<std::string> ext = {"basicConstraints=critical,CA:FALSE",
                                  "keyUsage=critical,digitalSignature,keyEncipherment",
                                  "extendedKeyUsage=" + eku, "subjectKeyIdentifier=hash"};
  if (!alt.empty()) ext.push_back("subjectAltName=" + alt.substr(1));
  return ext;
}

}  // namespace

CertAuthority::CertAuthority(const std::string& commonName, KeyKind kind) : kind_(kind) {
  PkeyPtr key = NewKey(kind);
  X509Ptr cert = Build(key.get(), commonName, nullptr, nullptr,
                       {"basicConstraints=critical,CA:TRUE",
                        "keyUsage=critical,keyCertSign,cRLSign", "subjectKeyIdentifier=hash"});
  root_ = PairOf(cert.get(), key.get());
}

KeyPair CertAuthority::Issue(const std::string& commonName,
                             const std::vector<std::string>& extensions) const {
  X509Ptr caCert(PEM_read_bio_X509(Source(root_.certPem).get(), nullptr, nullptr, nullptr));
  PkeyPtr caKey(PEM_read_bio_PrivateKey(Source(root_.keyPem).get(), nullptr, nullptr, nullptr));
  Check(caCert && caKey, "read authority");
  PkeyPtr key = NewKey(kind_);
  std::vector<std::string> all = extensions;
  all.push_back("authorityKeyIdentifier=keyid");
  X509Ptr cert = Build(key.get(), commonName, caCert.get(), caKey.get(), all);
  return PairOf(cert.get(), key.get());
}

KeyPair CertAuthority::IssueServer(const std::string& commonName, const ServerNames& names) const {
  return Issue(commonName, LeafExtensions("serverAuth", names));
}

KeyPair CertAuthority::IssueClient(const std::string& commonName, bool clientAuthEku) const {
  return Issue(commonName, LeafExtensions(clientAuthEku ? "clientAuth" : "serverAuth"));
}

KeyPair MakeSelfSignedServer(const std::string& commonName, const ServerNames& names,
                             KeyKind kind) {
  PkeyPtr key = NewKey(kind);
  X509Ptr cert =
      Build(key.get(), commonName, nullptr, nullptr, LeafExtensions("serverAuth", names));
  return PairOf(cert.get(), key.get());
}

CertSet MakeCertSet(KeyKind kind) {
  CertAuthority ca("kmip-test-ca", kind);
  CertSet set;
  set.ca = ca.Root();
  set.server = ca.IssueServer("kmip-server", ServerNames{{"localhost"}, {"127.0.0.1"}});
  set.client = ca.IssueClient("kmip-client");
  return set;
}

const CertSet& SharedCertSet() {
  static const CertSet certs = MakeCertSet();
  return certs;
}

std::string Hex(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return out;
}

}  // namespace KmipTest
