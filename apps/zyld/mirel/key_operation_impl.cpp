#include "mirel/key_operation_impl.h"

#include "mirel/error.h"
#include "state/stats.h"

#include <harlibs/log.h>
#include <harlibs/secure.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

namespace Com::Velora::Ovik::Kms::KeyOperationSvc {

namespace {

namespace Api = ::Zyld::ZylApi;
using ::Zyld::Kms::KmsResult;
using KmsPtr = std::shared_ptr<::Zyld::Kms::Kms>;

// The outcome of the failover loop: the last server's result and name.
struct Attempt {
  KmsResult result = ::Zyld::Kms::GeneralError;
  std::string server;
  bool tried = false;
};

// Tries the provider's servers in order until one succeeds. `op` (index, error text) runs one
// server's operation.
template <class Op>
Attempt TryServers(const ::Zyld::Kms::Kms& kms, const char* operation, const std::string& provider,
                   Op&& op) {
  Attempt attempt;
  const uint32_t count = kms.GetServerCount();
  if (count == 0) {
    Log_Level(kLogFailure, "Provider %s has no key servers\n", provider.c_str());
  }
  for (uint32_t i = 0; i < count; ++i) {
    attempt.server.clear();
    kms.GetServerName(i, attempt.server);
    attempt.tried = true;
    std::string error;
    attempt.result = op(i, error);
    if (attempt.result == ::Zyld::Kms::Success) {
      break;
    }
    Log_Level(kLogNotable, "%s failed on provider %s server %s %s, trying next server\n", operation,
              provider.c_str(), attempt.server.c_str(), error.c_str());
  }
  return attempt;
}

// The error of a failover that found no working server: the last server's result identifier
// (the operation's generic one for results outside the table) naming that server.
::Mirel::ErrorValue ServerError(const Attempt& attempt, std::string_view operation) {
  std::string id = Api::ErrorIdForResult(attempt.result, operation);
  if (id.empty()) {
    id = Api::ErrorIdForResult(::Zyld::Kms::GeneralError, operation);
  }
  if (!attempt.tried) {
    return Api::MakeError({Api::MakeMessage(std::move(id))});
  }
  return Api::MakeError({Api::MakeMessage(std::move(id), {{"server", attempt.server}})});
}

::Mirel::ErrorValue InvalidArgument(const char* parameter) {
  return Api::MakeInvalidArgumentError({Api::MakeMessage(
      "com.velora.ovik.kms.providers.invalid_argument", {{"parameter", parameter}})});
}

template <class T>
void Fail(::Mirel::AsyncResult<T>& result, ::Mirel::ErrorValue error, uint64_t startUs) {
  result.SetError(std::move(error));
  ::Zyld::Stats::RecordKeyOperation(false, startUs);
}

// The provider's key-server object; when there is none (an unknown provider or a failing store)
// completes `result` with that error and returns null.
template <class T>
KmsPtr FindProvider(::Zyld::State::Providers& registry, const std::string& provider,
                    ::Mirel::AsyncResult<T>& result, uint64_t startUs) {
  ::Zyld::State::ProviderLookup found = registry.FindProvider(provider);
  if (!found.kms) {
    Log_Level(kLogFailure,
              found.result == ::Zyld::ProviderConfig::NotFound
                  ? "Provider %s does not exist\n"
                  : "Provider %s cannot be read from the configuration store\n",
              provider.c_str());
    Fail(result,
         Api::MakeProviderError(found.result,
                                {Api::MakeMessage("com.velora.ovik.kms.providers.not_found",
                                                  {{"provider", provider}})}),
         startUs);
  }
  return std::move(found.kms);
}

// Runs run(result) inline when the object can answer without a key server (`fetch` empty: no
// latency for warm calls); otherwise on the registry's key-server pool, so that no API thread
// waits for a server. A job the pool does not run (full queue, expired wait, shutdown) fails with
// the operation's generic error.
template <class T, class Run>
void RouteToServers(::Zyld::State::Providers& registry, const std::string& provider,
                    const std::optional<::Zyld::Kms::ServerFetch>& fetch,
                    ::Mirel::AsyncResult<T> result, std::string_view operation, uint64_t startUs,
                    Run run) {
  if (!fetch) {
    run(result);
    return;
  }
  using JobEnd = ::Zyld::State::KeyServerPool::JobEnd;
  registry.KeyServers().Submit(
      provider, std::chrono::seconds(fetch->timeoutSeconds),
      [result, operation, startUs, run = std::move(run)](JobEnd end) mutable {
        if (end == JobEnd::Ran) {
          run(result);
        } else {
          Fail(result, ServerError(Attempt{}, operation), startUs);
        }
      });
}

}  // namespace

KeyOperationImpl::KeyOperationImpl(::Zyld::State::Providers& registry) : registry_(registry) {}

void KeyOperationImpl::GenerateKey(const std::string& provider, int64_t keySize,
                                   ::Mirel::AsyncResult<GeneratedKey> result) {
  const uint64_t startUs = ::Zyld::Stats::KeyOperationClockUs();
  if (provider.empty()) {
    Log_Level(kLogFailure, "Generate key called on an empty provider\n");
    Fail(result, InvalidArgument("provider"), startUs);
    return;
  }
  if (keySize < 1 || keySize > kMaxKeySize) {
    Log_Level(kLogFailure, "Generate key called with key size %lld\n",
              static_cast<long long>(keySize));
    Fail(result, InvalidArgument("keySize"), startUs);
    return;
  }
  const KmsPtr kms = FindProvider(registry_, provider, result, startUs);
  if (!kms) {
    return;
  }
  auto run = [kms, provider, keySize, startUs](::Mirel::AsyncResult<GeneratedKey>& out) {
    std::string key;
    std::string wrappedKey;
    Har::WipeGuard keyGuard(key);
    const Attempt attempt =
        TryServers(*kms, "GenerateKey", provider, [&](uint32_t server, std::string& error) {
          return kms->GenerateKey(server, static_cast<uint32_t>(keySize), key, wrappedKey, error);
        });
    if (attempt.result != ::Zyld::Kms::Success) {
      Fail(out, ServerError(attempt, Api::kGenerateKeyOperation), startUs);
      return;
    }
    GeneratedKey generated{std::move(wrappedKey), key};
    Har::WipeGuard resultGuard(*generated.key);
    out.SetResult(generated);
    ::Zyld::Stats::RecordKeyOperation(true, startUs);
  };
  RouteToServers(registry_, provider, kms->FetchNeededFor(std::nullopt), std::move(result),
                 Api::kGenerateKeyOperation, startUs, std::move(run));
}

void KeyOperationImpl::Encrypt(const std::string& /*provider*/, const std::string& /*key*/,
                               ::Mirel::AsyncResult<EncryptResult> result) {
  Log_Level(kLogFailure, "Encrypt is not supported.\n");
  result.SetError(Api::MakeError({}));
}

void KeyOperationImpl::Decrypt(const std::string& provider, const std::string& wrappedKey,
                               ::Mirel::AsyncResult<DecryptResult> result) {
  const uint64_t startUs = ::Zyld::Stats::KeyOperationClockUs();
  if (provider.empty()) {
    Log_Level(kLogFailure, "Decrypt called on an empty provider\n");
    Fail(result, InvalidArgument("provider"), startUs);
    return;
  }
  const KmsPtr kms = FindProvider(registry_, provider, result, startUs);
  if (!kms) {
    return;
  }
  auto run = [kms, provider, wrappedKey, startUs](::Mirel::AsyncResult<DecryptResult>& out) {
    std::string key;
    Har::WipeGuard keyGuard(key);
    const Attempt attempt =
        TryServers(*kms, "Decrypt", provider, [&](uint32_t server, std::string& error) {
          return kms->Decrypt(server, wrappedKey, key, error);
        });
    if (attempt.result != ::Zyld::Kms::Success) {
      Fail(out, ServerError(attempt, Api::kDecryptOperation), startUs);
      return;
    }
    DecryptResult decrypted{key};
    Har::WipeGuard resultGuard(decrypted.key);
    out.SetResult(decrypted);
    ::Zyld::Stats::RecordKeyOperation(true, startUs);
  };
  RouteToServers(registry_, provider, kms->FetchNeededFor(wrappedKey), std::move(result),
                 Api::kDecryptOperation, startUs, std::move(run));
}

}  // namespace Com::Velora::Ovik::Kms::KeyOperationSvc
