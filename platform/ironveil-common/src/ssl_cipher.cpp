// SHA-256 digests and AES-GCM encryption of secrets.
#include <ironveil-common/ssl_utils.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

namespace Brask::Common::SslUtils {

namespace {

struct CipherCtxFree { void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); } };
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

const EVP_CIPHER* CipherForKey(size_t keySize) {
  switch (keySize) {
    case 16: return EVP_aes_128_gcm();
    case 32: return EVP_aes_256_gcm();
    default: return nullptr;
  }
}

// Starts a GCM operation with key and IV and feeds the additional data.
CipherCtxPtr StartGcm(bool encrypt, const Har::SecureBytes& key, const std::vector<uint8_t>& iv,
                      const std::vector<uint8_t>& aad) {
  const EVP_CIPHER* cipher = CipherForKey(key.size());
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (cipher == nullptr || !ctx || aad.size() > kMaxAesGcmInput ||
      EVP_CipherInit_ex2(ctx.get(), cipher, nullptr, nullptr, encrypt ? 1 : 0, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(iv.size()), nullptr) != 1 ||
      EVP_CipherInit_ex2(ctx.get(), nullptr, key.data(), iv.data(), -1, nullptr) != 1) {
    return nullptr;
  }
  int len = 0;
  if (!aad.empty() && EVP_CipherUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1) {
    return nullptr;
  }
  return ctx;
}

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

bool AesGcmEncrypt(const Har::SecureBytes& plaintext, const Har::SecureBytes& key, const std::vector<uint8_t>& aad,
                   std::vector<uint8_t>& iv, std::vector<uint8_t>& ciphertext, std::vector<uint8_t>& tag) {
  if (plaintext.size() > kMaxAesGcmInput || CipherForKey(key.size()) == nullptr) {
    return false;
  }
  std::vector<uint8_t> newIv(kAesGcmIvSize);
  if (RAND_bytes(newIv.data(), static_cast<int>(newIv.size())) != 1) {
    return false;
  }
  CipherCtxPtr ctx = StartGcm(true, key, newIv, aad);
  std::vector<uint8_t> out(plaintext.size() + EVP_MAX_BLOCK_LENGTH);
  std::vector<uint8_t> newTag(kAesGcmTagSize);
  int len = 0;
  int finalLen = 0;
  if (!ctx || EVP_EncryptUpdate(ctx.get(), out.data(), &len, plaintext.data(), static_cast<int>(plaintext.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), out.data() + len, &finalLen) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(newTag.size()), newTag.data()) != 1) {
    return false;
  }
  out.resize(static_cast<size_t>(len + finalLen));
  iv.swap(newIv);
  ciphertext.swap(out);
  tag.swap(newTag);
  return true;
}

bool AesGcmDecrypt(const std::vector<uint8_t>& ciphertext, const Har::SecureBytes& key, const std::vector<uint8_t>& iv,
                   const std::vector<uint8_t>& aad, const std::vector<uint8_t>& tag, Har::SecureBytes& plaintext) {
  Har::Cleanse(plaintext.data(), plaintext.size());
  plaintext.clear();
  if (ciphertext.size() > kMaxAesGcmInput || iv.size() != kAesGcmIvSize || tag.size() != kAesGcmTagSize) {
    return false;
  }
  CipherCtxPtr ctx = StartGcm(false, key, iv, aad);
  if (!ctx) {
    return false;
  }
  Har::SecureBytes out(ciphertext.size() + EVP_MAX_BLOCK_LENGTH);
  std::vector<uint8_t> expected(tag);
  int len = 0;
  int finalLen = 0;
  const bool ok =
      EVP_DecryptUpdate(ctx.get(), out.data(), &len, ciphertext.data(), static_cast<int>(ciphertext.size())) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(expected.size()), expected.data()) == 1 &&
      EVP_DecryptFinal_ex(ctx.get(), out.data() + len, &finalLen) == 1;
  if (!ok) {
    return false;  // out wipes itself
  }
  out.resize(static_cast<size_t>(len + finalLen));
  plaintext.swap(out);
  return true;
}

}  // namespace Brask::Common::SslUtils
