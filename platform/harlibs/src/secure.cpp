// Wiping of secrets.
#include <harlibs/secure.h>

#include <openssl/crypto.h>

namespace Har {

void Cleanse(void* p, size_t len) {
  if (p != nullptr && len > 0) {
    OPENSSL_cleanse(p, len);
  }
}

}  // namespace Har
