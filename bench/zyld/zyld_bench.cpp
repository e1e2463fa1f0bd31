// Costs of the daemon core's hot paths: reading one provider's key-server record and listing the
// providers with 1,000 providers stored (repeated, and first after a change), and recording one
// key-operation sample.
#include "configstore/provider_config.h"
#include "state/stats.h"

#include <configstore/configstore.h>
#include <harlibs/log.h>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

namespace {

namespace PC = Zyld::ProviderConfig;

constexpr int kProviders = 1000;

// prefix + number, built by appending (g++ 12 at -O3 warns falsely on operator+ here).
std::string Name(const char* prefix, int i) {
  std::string name(prefix);
  name.append(std::to_string(i));
  return name;
}

// One store with 1,000 providers (three servers, a proxy, a credential each), built once.
class ThousandProviders {
 public:
  ThousandProviders() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zyld-bench-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
    Log_Configure(1, "");
    dbPath_ = dir_ + "/ovik.db";
    OvikConfigStore::ConfigStore::Configure(dbPath_);
    for (int i = 0; i < kProviders; ++i) {
      Write(i);
    }
  }
  ~ThousandProviders() {
    OvikConfigStore::ConfigStore::Configure(":memory:");
    std::filesystem::remove_all(dir_);
  }

  const std::string& DbPath() const { return dbPath_; }

  static ThousandProviders& Instance() {
    static ThousandProviders instance;
    return instance;
  }

 private:
  static void Write(int i) {
    PC::ProviderObjects objects;
    objects.providerId = Name("provider-", i);
    PC::CreateProviderObjects(objects);
    PC::SetMasterKeyId(objects, Name("master-key-", i));
    PC::SetKeyServerType(objects, PC::KeyServerType::KMIP);
    PC::SetDescription(objects, "benchmark provider");
    PC::SetConnectionTimeout(objects, 30);
    PC::SetUsername(objects, "user");
    PC::SetProxyServer(objects, "proxy.example", 3128);
    for (int s = 0; s < 3; ++s) {
      PC::AddServer(objects, Name("s", s), Name("kmip", s).append(".example"), 5696);
    }
    PC::CommitProviderObjects(objects);
    PC::SetCredential(objects.providerId, "secret");
  }

  std::string dir_;
  std::string dbPath_;
};

void BM_GetKmsInfo(benchmark::State& state) {
  ThousandProviders::Instance();
  int i = 0;
  for (auto _ : state) {
    Zyld::Kms::KmsInfo info;
    if (PC::GetKmsInfo(Name("provider-", i), info) != PC::Success) {
      state.SkipWithError("GetKmsInfo failed");
      break;
    }
    benchmark::DoNotOptimize(info);
    i = (i + 7) % kProviders;
  }
}
BENCHMARK(BM_GetKmsInfo)->Unit(benchmark::kMicrosecond);

void BM_ListProviderIds(benchmark::State& state) {
  ThousandProviders::Instance();
  for (auto _ : state) {
    std::vector<std::string> ids;
    if (PC::ListProviderIds(ids) != PC::Success || ids.size() != static_cast<size_t>(kProviders)) {
      state.SkipWithError("ListProviderIds failed");
      break;
    }
    benchmark::DoNotOptimize(ids);
  }
}
BENCHMARK(BM_ListProviderIds)->Unit(benchmark::kMicrosecond);

// The store reading every identifier again because another writer changed the database.
void BM_ListStringValueAfterChange(benchmark::State& state) {
  const auto other = OvikConfigStore::ConfigStore::Open(ThousandProviders::Instance().DbPath());
  const auto store = OvikConfigStore::ConfigStore::GetStore(OvikConfigStore::sGlobalNamespace);
  const auto filter = std::make_shared<OvikConfigStore::FilterSpecObject>(
      OvikConfigStore::ConfigStoreObjectId("providers", "kms", "ovik"));
  const OvikConfigStore::ConfigStoreObjectId marker("bench_marker", "kms", "ovik");
  bool flag = false;
  for (auto _ : state) {
    state.PauseTiming();
    other->SetBootStatus(marker, flag = !flag);
    state.ResumeTiming();
    auto ids = store->ListStringValue(filter, "provider");
    if (ids.size() != static_cast<size_t>(kProviders)) {
      state.SkipWithError("ListStringValue failed");
      break;
    }
    benchmark::DoNotOptimize(ids);
  }
}
BENCHMARK(BM_ListStringValueAfterChange)->Unit(benchmark::kMicrosecond);

void BM_RecordKeyOperation(benchmark::State& state) {
  bool success = true;
  for (auto _ : state) {
    Zyld::Stats::RecordKeyOperation(success, Zyld::Stats::KeyOperationClockUs());
    success = !success;
  }
}
BENCHMARK(BM_RecordKeyOperation)->ThreadRange(1, 4);

}  // namespace

BENCHMARK_MAIN();
