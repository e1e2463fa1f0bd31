// Cost of authenticating one call with an attestation token: a fresh RS256 verification (cache
// off) against a token found in the verification cache, single-threaded and on several threads,
// and a token that does not verify with the key.
#include "authn/kms_auth_token_handler.h"
#include "token_signer.h"

#include <ironveil-common/ssl_utils.h>

#include <benchmark/benchmark.h>

#include <ctime>
#include <memory>
#include <string>

namespace {

using Zyld::Authn::KmsAuthTokenHandler;

struct Keys {
  Keys() {
    std::string cert;
    Brask::Common::SslUtils::GenerateKeyAndCert(privateKey, cert);
    Brask::Common::SslUtils::ExtractKeyFromCert(cert, publicKey);
    std::string otherCert;
    Brask::Common::SslUtils::GenerateKeyAndCert(otherKey, otherCert);
  }
  std::string privateKey;
  std::string publicKey;
  std::string otherKey;
};

const Keys& TheKeys() {
  static const Keys keys;
  return keys;
}

std::string Token(const std::string& key) {
  ZyldToken::Options o;
  o.iss = "https://proofd.local/attestation";
  o.aud = "zyld";
  o.sub = "vm-42";
  o.ttlSeconds = 3600;
  Har::Secret token;
  if (!ZyldToken::SignToken(o, Har::Secret(key), std::time(nullptr), token)) {
    return {};
  }
  return std::string(token.view());
}

std::unique_ptr<KmsAuthTokenHandler> Handler(size_t cacheCapacity) {
  KmsAuthTokenHandler::Options options;
  options.loadKey = [](std::string& key) {
    key = TheKeys().publicKey;
    return true;
  };
  options.cache.capacity = cacheCapacity;
  return std::make_unique<KmsAuthTokenHandler>(nullptr, std::move(options));
}

void Run(benchmark::State& state, KmsAuthTokenHandler& handler, const std::string& token) {
  const std::optional<std::string> bearer = token;
  for (auto _ : state) {
    auto answer = handler.Check(bearer);
    benchmark::DoNotOptimize(answer);
  }
}

void BM_AttestationTokenVerified(benchmark::State& state) {
  static const auto handler = Handler(0);
  static const std::string token = Token(TheKeys().privateKey);
  Run(state, *handler, token);
}
BENCHMARK(BM_AttestationTokenVerified)->Threads(1)->Threads(2)->UseRealTime();

void BM_AttestationTokenCached(benchmark::State& state) {
  static const auto handler = Handler(4096);
  static const std::string token = Token(TheKeys().privateKey);
  Run(state, *handler, token);
}
BENCHMARK(BM_AttestationTokenCached)->Threads(1)->Threads(2)->UseRealTime();

void BM_ForeignTokenNotVerified(benchmark::State& state) {
  static const auto handler = Handler(4096);
  static const std::string token = Token(TheKeys().otherKey);
  Run(state, *handler, token);
}
BENCHMARK(BM_ForeignTokenNotVerified);

}  // namespace

BENCHMARK_MAIN();
