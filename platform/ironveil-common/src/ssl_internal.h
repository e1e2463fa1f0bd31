// Shared pieces of the SslUtils implementation: owning handles for OpenSSL objects and bounded
// PEM loaders that never prompt for a passphrase.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace Brask::Common::SslDetail {

struct BioFree {
  void operator()(BIO* p) const { BIO_free_all(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct ReqFree {
  void operator()(X509_REQ* p) const { X509_REQ_free(p); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};

using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using ReqPtr = std::unique_ptr<X509_REQ, ReqFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Read-only memory BIO over the text; null when the text exceeds the PEM bound.
BioPtr OpenPem(const std::string& text);
X509Ptr LoadCert(const std::string& pem);
ReqPtr LoadReq(const std::string& pem);
PkeyPtr LoadPrivateKey(const std::string& pem);
// Moves a memory BIO's contents into out, wiping the BIO's buffer.
bool TakeBioText(BIO* bio, std::string& out);
// Memory BIO suited for secrets (its buffer is wiped when freed).
BioPtr NewSecretBio();

}  // namespace Brask::Common::SslDetail
