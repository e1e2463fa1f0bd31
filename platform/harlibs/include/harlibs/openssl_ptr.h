// Owning pointers for OpenSSL objects: each frees its object with the one matching call.
// A BIO chain is freed whole (BIO_free_all), which frees a single BIO too.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace Har {

template <typename T, void (*Free)(T*)>
struct OpenSslFree {
  void operator()(T* p) const { Free(p); }
};

using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO, BIO_free_all>>;
using BioMethodPtr = std::unique_ptr<BIO_METHOD, OpenSslFree<BIO_METHOD, BIO_meth_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, OpenSslFree<BIGNUM, BN_free>>;
using CipherPtr = std::unique_ptr<EVP_CIPHER, OpenSslFree<EVP_CIPHER, EVP_CIPHER_free>>;
using CipherCtxPtr =
    std::unique_ptr<EVP_CIPHER_CTX, OpenSslFree<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using MdPtr = std::unique_ptr<EVP_MD, OpenSslFree<EVP_MD, EVP_MD_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX, SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, OpenSslFree<SSL, SSL_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree<X509, X509_free>>;
using X509ExtensionPtr =
    std::unique_ptr<X509_EXTENSION, OpenSslFree<X509_EXTENSION, X509_EXTENSION_free>>;
using X509ReqPtr = std::unique_ptr<X509_REQ, OpenSslFree<X509_REQ, X509_REQ_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OpenSslFree<X509_STORE, X509_STORE_free>>;

}  // namespace Har
