// Shared pieces of the SslUtils implementation: bounded PEM loaders that never prompt for a
// passphrase, returning owning pointers of harlibs/openssl_ptr.h.
#pragma once

#include <harlibs/openssl_ptr.h>

#include <string>

namespace Brask::Common::SslDetail {

using Har::BioPtr;
using Har::PkeyPtr;
using Har::X509Ptr;
using Har::X509ReqPtr;

// Read-only memory BIO over the text; null when the text exceeds the PEM bound.
BioPtr OpenPem(const std::string& text);
X509Ptr LoadCert(const std::string& pem);
X509ReqPtr LoadReq(const std::string& pem);
PkeyPtr LoadPrivateKey(const std::string& pem);
// Copies a memory BIO's contents into out and wipes the BIO's buffer.
bool TakeBioText(BIO* bio, std::string& out);
// Memory BIO suited for secrets (its buffer is wiped when freed).
BioPtr NewSecretBio();

}  // namespace Brask::Common::SslDetail
