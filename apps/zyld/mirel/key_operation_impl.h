// KeyOperationImpl: the key operation service. GenerateKey and Decrypt take the provider's
// key-server object from the registry and try its servers in configured order, each once, until
// one succeeds; a failed server is logged and the next one tried, and only the last server's
// result and name reach the caller. A call the object can answer from what it holds runs on the
// calling thread; one that needs a key server runs on the registry's key-server pool and the
// calling thread returns at once (a job the pool refuses, expires or drops fails with the
// operation's generic error). Each call completes its result exactly once and adds exactly one
// sample to the key statistics, whatever the path. Clear key texts are wiped once handed to the
// result. Encrypt is not supported. The object holds no state of its own.
#pragma once

#include "state/providers.h"

#include <zyl-bindings/services.h>

#include <cstdint>
#include <string>

namespace Com::Velora::Ovik::Kms::KeyOperationSvc {

// Largest data key GenerateKey accepts, in bytes (the smallest is 1).
inline constexpr int64_t kMaxKeySize = 1024;

class KeyOperationImpl : public AsyncServiceInterface {
 public:
  explicit KeyOperationImpl(
      ::Zyld::State::Providers& registry = ::Zyld::State::Providers::Instance());

  void GenerateKey(const std::string& provider, int64_t keySize,
                   ::Mirel::AsyncResult<GeneratedKey> result) override;
  void Encrypt(const std::string& provider, const std::string& key,
               ::Mirel::AsyncResult<EncryptResult> result) override;
  void Decrypt(const std::string& provider, const std::string& wrappedKey,
               ::Mirel::AsyncResult<DecryptResult> result) override;

 private:
  ::Zyld::State::Providers& registry_;
};

}  // namespace Com::Velora::Ovik::Kms::KeyOperationSvc
