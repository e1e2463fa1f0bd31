// SHA-256 digests and AES-GCM encryption of secrets.
#include <ironveil-common/ssl_utils.h>

#include <harlibs/openssl_ptr.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <utility>

namespace Brask::Common::SslUtils {

namespace {

using Har::CipherCtxPtr;
using Har::CipherPtr;

constexpr size_t kAes128KeySize = 16;
constexpr size_t kAes256KeySize = 32;

// The provider implementations are fetched once: handing OpenSSL a built-in cipher makes it
// look the implementation up by name, under its store locks, on every operation.
const EVP_CIPHER* CipherForKey(size_t keySize) {
  static const CipherPtr aes128(EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr));
  static const CipherPtr aes256(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));
  switch (keySize) {
    case kAes128KeySize:
      return aes128.get();
    case kAes256KeySize:
      return aes256.get();
    default:
      return nullptr;
  }
}

// One GCM operation on this thread's reusable context. The destructor resets the context, which
// frees (and wipes) the provider state holding the key schedule, so nothing of the key outlives
// the operation; only the bare context allocation is kept for the next one.
class GcmOperation {
 public:
  GcmOperation() : ctx_(ThreadContext()) {}
  ~GcmOperation() {
    if (ctx_ != nullptr) {
      EVP_CIPHER_CTX_reset(ctx_);
    }
  }
  GcmOperation(const GcmOperation&) = delete;
  GcmOperation& operator=(const GcmOperation&) = delete;

  // Key, 12-byte IV (the GCM default length, so no length change is needed) and additional data.
  bool Start(const EVP_CIPHER* cipher, bool encrypt, const Har::Secret& key, const uint8_t* iv,
             const std::vector<uint8_t>& aad) {
    int len = 0;
    return ctx_ != nullptr && cipher != nullptr && aad.size() <= kMaxAesGcmInput &&
           EVP_CipherInit_ex2(ctx_, cipher, key.bytes(), iv, encrypt ? 1 : 0, nullptr) == 1 &&
           (aad.empty() ||
            EVP_CipherUpdate(ctx_, nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1);
  }

  // Processes all of in into out (same size: GCM is a stream mode) and finishes the operation;
  // on decryption this is where the tag is checked.
  bool Run(const uint8_t* in, size_t size, uint8_t* out) {
    int len = 0;
    if (size > 0 && (EVP_CipherUpdate(ctx_, out, &len, in, static_cast<int>(size)) != 1 ||
                     static_cast<size_t>(len) != size)) {
      return false;
    }
    uint8_t tail[EVP_MAX_BLOCK_LENGTH];  // GCM writes nothing here
    int tailLen = 0;
    return EVP_CipherFinal_ex(ctx_, tail, &tailLen) == 1 && tailLen == 0;
  }

  bool GetTag(uint8_t* tag, size_t size) {
    OSSL_PARAM params[] = {OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag, size),
                           OSSL_PARAM_construct_end()};
    return EVP_CIPHER_CTX_get_params(ctx_, params) == 1;
  }

  // The provider only reads the tag on a set, hence the const_cast.
  bool SetTag(const uint8_t* tag, size_t size) {
    OSSL_PARAM params[] = {OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG,
                                                             const_cast<uint8_t*>(tag), size),
                           OSSL_PARAM_construct_end()};
    return EVP_CIPHER_CTX_set_params(ctx_, params) == 1;
  }

 private:
  // Allocated on first use per thread (retried if that failed); freed when the thread ends.
  static EVP_CIPHER_CTX* ThreadContext() {
    thread_local CipherCtxPtr ctx;
    if (!ctx) {
      ctx.reset(EVP_CIPHER_CTX_new());
    }
    return ctx.get();
  }

  EVP_CIPHER_CTX* ctx_;
};

}  // namespace

bool ComputeHashHex(const std::string& text, std::string& hex) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &len, EVP_sha256(), nullptr) != 1) {
    return false;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(static_cast<size_t>(len) * 2, '\0');
  for (unsigned int i = 0; i < len; ++i) {
    out[2 * i] = kDigits[digest[i] >> 4];
    out[2 * i + 1] = kDigits[digest[i] & 0x0f];
  }
  hex.swap(out);
  return true;
}

bool AesGcmEncrypt(const Har::Secret& plaintext, const Har::Secret& key,
                   const std::vector<uint8_t>& aad, std::vector<uint8_t>& iv,
                   std::vector<uint8_t>& ciphertext, std::vector<uint8_t>& tag) {
  const EVP_CIPHER* cipher = CipherForKey(key.size());
  if (plaintext.size() > kMaxAesGcmInput || cipher == nullptr) {
    return false;
  }
  uint8_t newIv[kAesGcmIvSize];
  if (!RandomBytes(newIv, sizeof newIv)) {
    return false;
  }
  std::vector<uint8_t> out(plaintext.size());
  std::vector<uint8_t> newTag(kAesGcmTagSize);
  GcmOperation op;
  if (!op.Start(cipher, true, key, newIv, aad) ||
      !op.Run(plaintext.bytes(), plaintext.size(), out.data()) ||
      !op.GetTag(newTag.data(), newTag.size())) {
    return false;
  }
  iv.assign(newIv, newIv + sizeof newIv);
  ciphertext.swap(out);
  tag.swap(newTag);
  return true;
}

bool AesGcmDecrypt(const std::vector<uint8_t>& ciphertext, const Har::Secret& key,
                   const std::vector<uint8_t>& iv, const std::vector<uint8_t>& aad,
                   const std::vector<uint8_t>& tag, Har::Secret& plaintext) {
  plaintext.Wipe();
  const EVP_CIPHER* cipher = CipherForKey(key.size());
  if (ciphertext.size() > kMaxAesGcmInput || iv.size() != kAesGcmIvSize ||
      tag.size() != kAesGcmTagSize || cipher == nullptr) {
    return false;
  }
  Har::Secret out(ciphertext.size());
  GcmOperation op;
  if (!op.Start(cipher, false, key, iv.data(), aad) || !op.SetTag(tag.data(), tag.size()) ||
      !op.Run(ciphertext.data(), ciphertext.size(), out.bytes())) {
    return false;  // out wipes itself
  }
  plaintext = std::move(out);
  return true;
}

}  // namespace Brask::Common::SslUtils
