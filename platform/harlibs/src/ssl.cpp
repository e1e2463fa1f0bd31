// OpenSSL 3 initialisation and clean-up.
#include <harlibs/ssl.h>
#include <harlibs/log.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

void SSL_Init(void*, void*, void*) {
  const uint64_t opts = OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS;
  if (OPENSSL_init_ssl(opts, nullptr) != 1) {
    Log_Level(kLogFailure, "OpenSSL initialisation failed\n");
  }
}

void SSL_Exit() {
  // OpenSSL 3 frees its global state at process exit; release what this thread holds now.
  ERR_clear_error();
  OPENSSL_thread_stop();
}
