// Certificate and CSR generation, validation and inspection.
#include <ironveil-common/ssl_utils.h>

#include "ssl_internal.h"

#include <harlibs/secure.h>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <unistd.h>

#include <climits>
#include <ctime>

namespace Brask::Common::SslUtils {

namespace {

using namespace SslDetail;

constexpr int kRsaBits = 2048;
constexpr int64_t kSecondsPerDay = 24 * 3600;

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') {
    return "localhost";
  }
  return name;
}

PkeyPtr NewRsaKey() { return PkeyPtr(EVP_RSA_gen(kRsaBits)); }

bool SetCommonName(X509_NAME* name, const std::string& cn) {
  return X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                                    0) == 1;
}

bool SetRandomSerial(X509* cert) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) {
    return false;
  }
  bytes[0] &= 0x7f;  // positive
  bytes[0] |= 0x01;  // non-zero, full length
  Har::BignumPtr bn(BN_bin2bn(bytes, sizeof(bytes), nullptr));
  return bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr;
}

bool SetValidity(X509* cert, int64_t notBeforeOffset, int64_t notAfterOffset) {
  time_t now = time(nullptr);
  auto adjust = [&](ASN1_TIME* t, int64_t offset) {
    const long days = static_cast<long>(offset / kSecondsPerDay);
    const long secs = static_cast<long>(offset % kSecondsPerDay);
    return X509_time_adj_ex(t, static_cast<int>(days), secs, &now) != nullptr;
  };
  return adjust(X509_getm_notBefore(cert), notBeforeOffset) &&
         adjust(X509_getm_notAfter(cert), notAfterOffset);
}

bool AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  Har::X509ExtensionPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

bool AddCertExtensions(X509* cert) {
  return AddExtension(cert, NID_basic_constraints, "critical,CA:FALSE") &&
         AddExtension(cert, NID_key_usage, "critical,digitalSignature,keyEncipherment") &&
         AddExtension(cert, NID_ext_key_usage, "clientAuth") &&
         AddExtension(cert, NID_subject_key_identifier, "hash");
}

X509Ptr BuildSelfSigned(EVP_PKEY* key, const CertProfile& profile) {
  X509Ptr cert(X509_new());
  if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1 || !SetRandomSerial(cert.get()) ||
      !SetValidity(cert.get(), profile.notBeforeOffsetSeconds, profile.notAfterOffsetSeconds) ||
      X509_set_pubkey(cert.get(), key) != 1) {
    return nullptr;
  }
  X509_NAME* subject = X509_get_subject_name(cert.get());
  const std::string cn = profile.commonName.empty() ? HostName() : profile.commonName;
  if (!SetCommonName(subject, cn) || X509_set_issuer_name(cert.get(), subject) != 1 ||
      !AddCertExtensions(cert.get()) || X509_sign(cert.get(), key, EVP_sha256()) <= 0) {
    return nullptr;
  }
  return cert;
}

X509ReqPtr BuildReq(EVP_PKEY* key) {
  X509ReqPtr req(X509_REQ_new());
  if (!req || X509_REQ_set_version(req.get(), X509_REQ_VERSION_1) != 1 ||
      X509_REQ_set_pubkey(req.get(), key) != 1 ||
      !SetCommonName(X509_REQ_get_subject_name(req.get()), HostName()) ||
      X509_REQ_sign(req.get(), key, EVP_sha256()) <= 0) {
    return nullptr;
  }
  return req;
}

bool WritePrivateKey(EVP_PKEY* key, std::string& out) {
  BioPtr bio = NewSecretBio();
  return bio &&
         PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
         TakeBioText(bio.get(), out);
}

bool WriteCert(X509* cert, std::string& out) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  return bio && PEM_write_bio_X509(bio.get(), cert) == 1 && TakeBioText(bio.get(), out);
}

bool WriteReq(X509_REQ* req, std::string& out) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  return bio && PEM_write_bio_X509_REQ(bio.get(), req) == 1 && TakeBioText(bio.get(), out);
}

// Writes key and object text, both or neither; the key text is wiped when the object fails.
template <typename WriteObject>
bool WriteBoth(EVP_PKEY* key, WriteObject writeObject, std::string& keyOut, std::string& objOut) {
  std::string keyText;
  Har::WipeGuard wipeKey(keyText);
  std::string objText;
  const bool ok = WritePrivateKey(key, keyText) && writeObject(objText);
  if (ok) {
    keyOut.swap(keyText);
    objOut.swap(objText);
  }
  return ok;
}

bool DerOf(X509* cert, std::vector<unsigned char>& der) {
  const int len = i2d_X509(cert, nullptr);
  if (len <= 0) {
    return false;
  }
  der.resize(static_cast<size_t>(len));
  unsigned char* p = der.data();
  return i2d_X509(cert, &p) == len;
}

}  // namespace

bool ValidatePemCert(const std::string& cert) { return LoadCert(cert) != nullptr; }

bool ValidatePemCertWithKey(const std::string& cert, const std::string& privateKey) {
  X509Ptr x = LoadCert(cert);
  PkeyPtr key = x ? LoadPrivateKey(privateKey) : nullptr;
  return key && EVP_PKEY_eq(X509_get0_pubkey(x.get()), key.get()) == 1;
}

bool ValidatePemCsrWithKey(const std::string& csr, const std::string& privateKey) {
  X509ReqPtr req = LoadReq(csr);
  PkeyPtr key = req ? LoadPrivateKey(privateKey) : nullptr;
  if (!key) {
    return false;
  }
  EVP_PKEY* reqKey = X509_REQ_get0_pubkey(req.get());
  return reqKey != nullptr && X509_REQ_verify(req.get(), reqKey) == 1 &&
         EVP_PKEY_eq(reqKey, key.get()) == 1;
}

bool GenerateKeyAndCertWith(const CertProfile& profile, std::string& privateKey,
                            std::string& cert) {
  PkeyPtr key = NewRsaKey();
  X509Ptr x = key ? BuildSelfSigned(key.get(), profile) : nullptr;
  if (!x) {
    return false;
  }
  return WriteBoth(
      key.get(), [&](std::string& out) { return WriteCert(x.get(), out); }, privateKey, cert);
}

bool GenerateKeyAndCert(std::string& privateKey, std::string& cert) {
  return GenerateKeyAndCertWith(CertProfile{}, privateKey, cert);
}

bool GenerateKeyAndCsr(std::string& privateKey, std::string& csr) {
  PkeyPtr key = NewRsaKey();
  X509ReqPtr req = key ? BuildReq(key.get()) : nullptr;
  if (!req) {
    return false;
  }
  return WriteBoth(
      key.get(), [&](std::string& out) { return WriteReq(req.get(), out); }, privateKey, csr);
}

bool ExtractKeyFromCert(const std::string& cert, std::string& publicKey) {
  X509Ptr x = LoadCert(cert);
  EVP_PKEY* key = x ? X509_get0_pubkey(x.get()) : nullptr;
  BioPtr bio(BIO_new(BIO_s_mem()));
  return key != nullptr && bio && PEM_write_bio_PUBKEY(bio.get(), key) == 1 &&
         TakeBioText(bio.get(), publicKey);
}

bool ComparePemCerts(const std::string& a, const std::string& b) {
  X509Ptr xa = LoadCert(a);
  X509Ptr xb = xa ? LoadCert(b) : nullptr;
  std::vector<unsigned char> da;
  std::vector<unsigned char> db;
  return xb && DerOf(xa.get(), da) && DerOf(xb.get(), db) && da == db;
}

int GetPemCertDaysToExpire(const std::string& cert) {
  X509Ptr x = LoadCert(cert);
  int days = 0;
  int secs = 0;
  if (!x || ASN1_TIME_diff(&days, &secs, nullptr, X509_get0_notAfter(x.get())) != 1) {
    return kDaysToExpireUnknown;
  }
  // days and secs share a sign; round a partial negative day down.
  const int64_t total = static_cast<int64_t>(days) * kSecondsPerDay + secs;
  int64_t whole = total / kSecondsPerDay;
  if (total % kSecondsPerDay < 0) {
    --whole;
  }
  return whole <= INT_MIN ? INT_MIN + 1 : static_cast<int>(whole);
}

}  // namespace Brask::Common::SslUtils
