// Cost of the host's administration-token stage, which every call passes first: an attestation
// token (signed by another key, so not this handler's kind) and an administration token, each
// presented again and again with the handler's caches on (remembered outcome) and off (verified
// every time), and tokens the handler has never seen (each iteration presents a fresh one, caches
// on). The certificate reader hands out a copy of a fixed PEM text, as a store read would.
#include <tokenauthn/token_handler.h>

#include <benchmark/benchmark.h>
#include <jwt.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

using Ovik::Authn::HostTokenHandler;

struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Deleter {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};

template <class Write>
std::string Pem(Write write) {
  std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
  write(bio.get());
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

// An RSA key pair as PEM, with a self-signed certificate.
struct Identity {
  Identity() {
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key(
        EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}));
    std::unique_ptr<X509, X509Deleter> cert(X509_new());
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_sign(cert.get(), key.get(), EVP_sha256());
    privateKey = Pem([&](BIO* b) {
      PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    certificate = Pem([&](BIO* b) { PEM_write_bio_X509(b, cert.get()); });
  }
  std::string privateKey;
  std::string certificate;
};

const Identity& Host() {
  static const Identity id;
  return id;
}
const Identity& Proofd() {
  static const Identity id;
  return id;
}

std::string Sign(const std::string& key, const char* aud, const char* sub, long serial) {
  jwt_t* jwt = nullptr;
  jwt_new(&jwt);
  jwt_add_grant(jwt, "aud", aud);
  jwt_add_grant(jwt, "sub", sub);
  jwt_add_grant_int(jwt, "exp", static_cast<long>(std::time(nullptr)) + 3600);
  jwt_add_grant_int(jwt, "jti", serial);
  jwt_add_grants_json(jwt, R"({"entitlements": ["KMS_ADMIN", "KMS_READ"]})");
  jwt_set_alg(jwt, JWT_ALG_RS256, reinterpret_cast<const unsigned char*>(key.data()),
              static_cast<int>(key.size()));
  char* text = jwt_encode_str(jwt);
  std::string token = text != nullptr ? text : "";
  std::free(text);
  jwt_free(jwt);
  return token;
}

std::string AttestationToken(long serial = 0) {
  return Sign(Proofd().privateKey, "zyld", "vm-42", serial);
}
std::string AdminToken(long serial = 0) { return Sign(Host().privateKey, "zyld", "admin", serial); }

std::unique_ptr<HostTokenHandler> Handler(size_t cacheCapacity = 4096) {
  HostTokenHandler::Options options;
  options.accepted.capacity = cacheCapacity;
  options.foreign.capacity = cacheCapacity;
  return std::make_unique<HostTokenHandler>(
      [text = std::make_shared<const std::string>(Host().certificate)] { return text; }, nullptr,
      std::move(options));
}

void Run(benchmark::State& state, const HostTokenHandler& handler, const std::string& token) {
  for (auto _ : state) {
    auto answer = handler.Check(token);
    benchmark::DoNotOptimize(answer);
  }
}

void BM_HostCheckAttestationToken(benchmark::State& state) {
  static const auto handler = Handler();
  static const std::string token = AttestationToken();
  Run(state, *handler, token);
}
BENCHMARK(BM_HostCheckAttestationToken);

void BM_HostCheckAdminToken(benchmark::State& state) {
  static const auto handler = Handler();
  static const std::string token = AdminToken();
  Run(state, *handler, token);
}
BENCHMARK(BM_HostCheckAdminToken);

void BM_HostCheckAttestationTokenUncached(benchmark::State& state) {
  static const auto handler = Handler(0);
  static const std::string token = AttestationToken();
  Run(state, *handler, token);
}
BENCHMARK(BM_HostCheckAttestationTokenUncached);

void BM_HostCheckAdminTokenUncached(benchmark::State& state) {
  static const auto handler = Handler(0);
  static const std::string token = AdminToken();
  Run(state, *handler, token);
}
BENCHMARK(BM_HostCheckAdminTokenUncached);

// Tokens never seen before: signed up front (outside the timing), each presented once.
void RunFresh(benchmark::State& state, std::string (*make)(long)) {
  const auto handler = Handler();
  constexpr long kTokens = 2000;
  long serial = 0;
  std::vector<std::string> tokens;
  for (long i = 0; i < kTokens; ++i) {
    tokens.push_back(make(++serial));
  }
  size_t next = 0;
  for (auto _ : state) {
    if (next == tokens.size()) {
      state.PauseTiming();
      for (auto& token : tokens) {
        token = make(++serial);
      }
      next = 0;
      state.ResumeTiming();
    }
    auto answer = handler->Check(tokens[next++]);
    benchmark::DoNotOptimize(answer);
  }
}

void BM_HostCheckUnseenAttestationToken(benchmark::State& state) {
  RunFresh(state, &AttestationToken);
}
BENCHMARK(BM_HostCheckUnseenAttestationToken);

void BM_HostCheckUnseenAdminToken(benchmark::State& state) { RunFresh(state, &AdminToken); }
BENCHMARK(BM_HostCheckUnseenAdminToken);

}  // namespace

// Key generation happens before any timing starts.
int main(int argc, char** argv) {
  Host();
  Proofd();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
