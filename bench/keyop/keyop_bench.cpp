// Costs of the key operation service around the key server: the registry's cache hit (alone and
// from several threads), and a whole GenerateKey / Decrypt call through the service (look-up,
// failover loop, result encoding, wiping, statistics sample) over a key-server object that
// answers at once.
#include "mirel/key_operation_impl.h"
#include "mirel/message_resolver.h"
#include "state/providers.h"

#include <harlibs/log.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

namespace KeyOp = Com::Velora::Ovik::Kms::KeyOperationSvc;
using Zyld::Kms::KmsResult;

// One server that answers every operation with a fixed 32-byte key text.
class InstantKms : public Zyld::Kms::Kms {
 public:
  uint32_t GetServerCount() const override { return 1; }
  KmsResult GenerateKey(uint32_t, uint32_t, std::string& key, std::string& wrappedKey,
                        std::string&) override {
    key = "MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWY=";
    wrappedKey = "wrapped";
    return Zyld::Kms::Success;
  }
  KmsResult Decrypt(uint32_t, const std::string&, std::string& key, std::string&) override {
    key = "MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWY=";
    return Zyld::Kms::Success;
  }
  void GetTrustedServerCertificates(std::vector<std::string>&) const override {}
  void GetClientCertificate(std::string&) const override {}
  int GetServerName(uint32_t, std::string& name) const override {
    name = "kms-1";
    return 0;
  }
  KmsResult GetRemoteServerCertificate(uint32_t, std::string&, std::string&) override {
    return Zyld::Kms::GeneralError;
  }
  void UpdateStatus() override {}
  void GetStatus(Zyld::Kms::KmsStatus&) override {}
};

// A caching registry over InstantKms whose refresh never comes due (its own idle pool).
struct Fixture {
  Fixture() : pool(1, 1) {
    Log_Configure(1, "");
    Zyld::State::ProvidersEnvironment env;
    env.createKms = [](const std::string&) {
      return Zyld::State::ProviderLookup(std::make_shared<InstantKms>());
    };
    env.threadPool = &pool;
    registry = std::make_unique<Zyld::State::Providers>(std::move(env));
    registry->Init(Quorex::Service::ConfigValues());
    service = std::make_unique<KeyOp::KeyOperationImpl>(*registry);
  }
  Quorex::Service::ThreadPool pool;
  std::unique_ptr<Zyld::State::Providers> registry;
  std::unique_ptr<KeyOp::KeyOperationImpl> service;
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void BM_RegistryHit(benchmark::State& state) {
  Zyld::State::Providers& registry = *Shared().registry;
  const std::string id = "prov1";
  for (auto _ : state) {
    benchmark::DoNotOptimize(registry.GetProvider(id));
  }
}
BENCHMARK(BM_RegistryHit)->Threads(1)->Threads(2);

void BM_GenerateKeyCall(benchmark::State& state) {
  Fixture& f = Shared();
  const auto localizer = Zyld::ZylApi::MakeLocalizer();
  for (auto _ : state) {
    f.service->GenerateKey(
        "prov1", 32,
        Mirel::MakeAsyncResult<KeyOp::GeneratedKey>(
            [](Mirel::MethodResult r) { benchmark::DoNotOptimize(r); }, localizer));
  }
}
BENCHMARK(BM_GenerateKeyCall);

void BM_DecryptCall(benchmark::State& state) {
  Fixture& f = Shared();
  const auto localizer = Zyld::ZylApi::MakeLocalizer();
  for (auto _ : state) {
    f.service->Decrypt("prov1", "wrapped",
                       Mirel::MakeAsyncResult<KeyOp::DecryptResult>(
                           [](Mirel::MethodResult r) { benchmark::DoNotOptimize(r); }, localizer));
  }
}
BENCHMARK(BM_DecryptCall);

}  // namespace

BENCHMARK_MAIN();
