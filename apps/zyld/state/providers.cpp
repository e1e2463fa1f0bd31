#include "state/providers.h"

#include "configstore/provider_config.h"
#include "kms/kmip_kms.h"
#include "state/periodic.h"

#include <harlibs/clock.h>
#include <harlibs/log.h>
#include <harlibs/no_destructor.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace Zyld::State {

namespace {

constexpr int kMinStatusUpdateSeconds = 60;
constexpr int kMaxStatusUpdateSeconds = 3600;
constexpr int kMinStaleTimeoutSeconds = 70;
constexpr int kMaxStaleTimeoutSeconds = 3600;
constexpr uint64_t kMicrosPerSecond = 1000000u;

// Why a cached provider is dropped after the store changed; null while it is unchanged.
const char* DropReason(const std::string& providerId, const Kms::KmsInfo* builtFrom) {
  Kms::KmsInfo stored;
  switch (ProviderConfig::GetKmsInfo(providerId, stored)) {
    case ProviderConfig::Success:
      return builtFrom != nullptr && stored == *builtFrom ? nullptr
                                                          : "its stored configuration changed";
    case ProviderConfig::NotFound:
      return "it is no longer stored";
    default:
      return "its stored configuration cannot be read";
  }
}

int ReadClamped(const Quorex::Service::ConfigValues& values, const char* key, int64_t fallback,
                int low, int high) {
  int64_t value = fallback;
  values.GetInt(key, &value);
  return static_cast<int>(std::clamp<int64_t>(value, low, high));
}

}  // namespace

ProviderLookup CreateKms(const std::string& providerId) {
  auto info = std::make_shared<Kms::KmsInfo>();
  const ProviderConfig::ConfigResult read = ProviderConfig::GetKmsInfo(providerId, *info);
  if (read != ProviderConfig::Success) {
    Log_Level(kLogNotable, "Error getting provider %s\n", providerId.c_str());
    return ProviderLookup(nullptr, read);
  }
  ProviderLookup built(std::make_shared<Kms::KmipKms>(info));
  built.builtFrom = std::move(info);
  return built;
}

ProvidersSettings ProvidersSettingsFromConfig(const Quorex::Service::ConfigValues& values) {
  ProvidersSettings settings;
  values.GetBool("caching", &settings.caching);
  settings.statusUpdateIntervalSeconds =
      ReadClamped(values, "statusUpdateIntervalSeconds", settings.statusUpdateIntervalSeconds,
                  kMinStatusUpdateSeconds, kMaxStatusUpdateSeconds);
  settings.cacheStaleTimeoutSeconds =
      ReadClamped(values, "cacheStaleTimeoutSeconds", settings.cacheStaleTimeoutSeconds,
                  kMinStaleTimeoutSeconds, kMaxStaleTimeoutSeconds);
  KeyServerPoolSettings& pool = settings.keyServers;
  pool.threads = ReadClamped(values, kKeyServerThreadsKey, pool.threads, kMinKeyServerThreads,
                             kMaxKeyServerThreads);
  pool.jobsPerProvider = ReadClamped(values, kKeyServerJobsPerProviderKey, pool.jobsPerProvider,
                                     kMinKeyServerJobsPerProvider, kMaxKeyServerJobsPerProvider);
  pool.queuePerProvider = ReadClamped(values, kKeyServerQueuePerProviderKey, pool.queuePerProvider,
                                      kMinKeyServerQueuePerProvider, kMaxKeyServerQueuePerProvider);
  return settings;
}

Providers& Providers::Instance() {
  static Har::NoDestructor<Providers> instance;
  return *instance;
}

Providers::Providers(ProvidersEnvironment environment)
    : env_(std::move(environment)), lock_("providers", kProvidersLockRank) {
  if (!env_.createKms) {
    env_.createKms = CreateKms;
  }
}

Providers::~Providers() {
  // Only a registry with its own pool can outlive its refresh chain; the process-wide one is
  // never destroyed.
  if (env_.threadPool != nullptr) {
    env_.threadPool->Cancel(refreshTimer_);
  }
}

void Providers::Init() { Init(Quorex::Service::GetApp().GetConfig().Values()); }

void Providers::Init(const Quorex::Service::ConfigValues& values) {
  const ProvidersSettings settings = ProvidersSettingsFromConfig(values);
  caching_.store(settings.caching);
  statusUpdateIntervalSeconds_.store(settings.statusUpdateIntervalSeconds);
  cacheStaleTimeoutSeconds_.store(settings.cacheStaleTimeoutSeconds);
  Log_Level(kLogInfo, "Status update interval = %d\n", settings.statusUpdateIntervalSeconds);
  Log_Level(kLogInfo, "Cache stale timeout seconds = %d\n", settings.cacheStaleTimeoutSeconds);
  const KeyServerPoolSettings& pool = settings.keyServers;
  Log_Level(kLogInfo, "Key-server pool: %d threads, %d jobs and %d waiting per provider\n",
            pool.threads, pool.jobsPerProvider, pool.queuePerProvider);
  keyServers_.Configure(pool);
  if (settings.caching) {
    lastRefreshUs_.store(NowUs());
    ScheduleStatusUpdate(env_.firstRefreshDelayUs.value_or(0));
  }
}

ProvidersSettings Providers::Settings() const {
  return ProvidersSettings{caching_.load(), statusUpdateIntervalSeconds_.load(),
                           cacheStaleTimeoutSeconds_.load(), keyServers_.Settings()};
}

uint64_t Providers::NowUs() const {
  return env_.nowUs ? env_.nowUs() : HarClock_SystemTimerNS() / 1000;
}

bool Providers::FlushIfStale() {
  if (!caching_.load()) {
    return true;
  }
  const uint64_t now = NowUs();
  const uint64_t last = lastRefreshUs_.load();
  const uint64_t elapsedSeconds = now >= last ? (now - last) / kMicrosPerSecond : 0;
  if (elapsedSeconds <= static_cast<uint64_t>(cacheStaleTimeoutSeconds_.load())) {
    return false;
  }
  Har::WriteGuard config(ProviderConfig::configLock);
  RemoveAllProviders();
  lastRefreshUs_.store(NowUs());
  return true;
}

bool Providers::StoreVersion::operator==(const StoreVersion& other) const {
  return stamp == other.stamp && !store.owner_before(other.store) &&
         !other.store.owner_before(store);
}

std::optional<Providers::StoreVersion> Providers::CurrentStoreVersion() {
  const uint64_t readUs = NowUs();
  std::optional<StoreVersion> version;
  try {
    auto store = OvikConfigStore::ConfigStore::GetStore(OvikConfigStore::sGlobalNamespace);
    version = StoreVersion{store, store->ChangeStamp()};
    const uint64_t opens = store->FileOpens();
    if (opens > storeFileOpens_.exchange(opens)) {
      Log_Level(kLogNotable, "Configuration store %s names a new file: reopened it\n",
                store->Path().c_str());
    }
  } catch (const OvikConfigStore::ConfigStoreException& e) {
    // Cached objects stay in use; a miss reports the store's failure.
    Log_Level(kLogTrace, "Cannot read the configuration store's change stamp: %s\n", e.what());
  }
  std::lock_guard<std::mutex> lock(versionMutex_);
  knownVersion_ = version;
  knownVersionReadUs_ = readUs;
  return version;
}

std::optional<Providers::StoreVersion> Providers::KnownStoreVersion() {
  {
    const uint64_t now = NowUs();
    std::lock_guard<std::mutex> lock(versionMutex_);
    // A clock that went back makes the known version due as well.
    if (knownVersionReadUs_ && now >= *knownVersionReadUs_ &&
        now - *knownVersionReadUs_ < kStoreRecheckUs) {
      return knownVersion_;
    }
  }
  return CurrentStoreVersion();
}

void Providers::ForgetStoreVersion() {
  std::lock_guard<std::mutex> lock(versionMutex_);
  knownVersionReadUs_.reset();
}

// A cached entry checked against the store: what it was, and why it goes (null: it stays).
struct Providers::Check {
  std::string id;
  std::shared_ptr<Kms::Kms> kms;
  std::shared_ptr<const Kms::KmsInfo> builtFrom;
  const char* dropReason = nullptr;
  bool dropped = false;
};

std::vector<Providers::Check> Providers::Unchecked(const std::optional<StoreVersion>& version) {
  std::vector<Check> checks;
  Har::ReadGuard guard(lock_);
  for (const auto& [id, entry] : providers_) {
    if (entry.checked != version) {
      checks.push_back(Check{id, entry.kms, entry.builtFrom});
    }
  }
  return checks;
}

void Providers::DropChanged(const std::optional<StoreVersion>& version) {
  if (!version || Unchecked(version).empty()) {
    return;
  }
  std::lock_guard<std::mutex> checking(checkMutex_);
  std::vector<Check> checks = Unchecked(version);  // what an earlier checker left
  for (Check& check : checks) {
    check.dropReason = DropReason(check.id, check.builtFrom.get());
  }
  std::vector<std::shared_ptr<Kms::Kms>> released;  // destroyed after the lock
  {
    Har::WriteGuard guard(lock_);
    for (Check& check : checks) {
      const auto it = providers_.find(check.id);
      if (it == providers_.end() || it->second.kms != check.kms) {
        continue;  // removed or replaced meanwhile
      }
      if (check.dropReason == nullptr) {
        it->second.checked = version;
        continue;
      }
      released.push_back(std::move(it->second.kms));
      providers_.erase(it);
      check.dropped = true;
    }
  }
  for (const Check& check : checks) {
    if (check.dropped) {
      Log_Level(kLogNotable, "Dropped provider %s from providers state: %s\n", check.id.c_str(),
                check.dropReason);
    }
  }
}

ProviderLookup Providers::Lookup(const std::string& providerId) {
  Har::ReadGuard guard(lock_);
  const auto it = providers_.find(providerId);
  if (it == providers_.end()) {
    return ProviderLookup(nullptr);
  }
  ProviderLookup found(it->second.kms);
  found.builtFrom = it->second.builtFrom;
  return found;
}

std::shared_ptr<Kms::Kms> Providers::GetProvider(const std::string& providerId) {
  return FindProvider(providerId).kms;
}

ProviderLookup Providers::FindProvider(const std::string& providerId) {
  std::optional<StoreVersion> version;
  if (caching_.load()) {
    const bool flushed = FlushIfStale();
    version = KnownStoreVersion();  // read before any object is built from the store
    if (!flushed) {
      DropChanged(version);
      if (ProviderLookup hit = Lookup(providerId); hit.kms) {
        return hit;
      }
    }
  }
  Har::ReadGuard config(ProviderConfig::configLock);
  return AddProvider(providerId, version);
}

ProviderLookup Providers::AddProvider(const std::string& providerId,
                                      const std::optional<StoreVersion>& version) {
  ProviderLookup built = env_.createKms(providerId);
  if (!built.kms || !caching_.load()) {
    return built;
  }
  bool inserted = false;
  {
    Har::WriteGuard guard(lock_);
    inserted =
        providers_.try_emplace(providerId, Entry{built.kms, built.builtFrom, version}).second;
  }
  Log_Level(kLogInfo, "Added provider %s to providers state\n", providerId.c_str());
  if (inserted) {
    return built;
  }
  // Another thread cached this provider since our look-up: everyone shares its object. It may
  // have been removed again in between; then ours is as good as any.
  ProviderLookup present = Lookup(providerId);
  return present.kms ? present : built;
}

void Providers::RemoveProvider(const std::string& providerId) {
  {
    Har::WriteGuard guard(lock_);
    providers_.erase(providerId);
  }
  ForgetStoreVersion();
  Log_Level(kLogInfo, "Deleted provider %s from providers state\n", providerId.c_str());
}

void Providers::RemoveAllProviders() {
  // Objects are released after the lock: their destructors need none of ours.
  std::unordered_map<std::string, Entry> dropped;
  {
    Har::WriteGuard guard(lock_);
    dropped.swap(providers_);
  }
  ForgetStoreVersion();
  Log_Level(kLogInfo, "Deleted all providers from providers state\n");
}

void Providers::ScheduleStatusUpdate(std::optional<uint64_t> delayUs) {
  Quorex::Service::ThreadPool& pool =
      env_.threadPool != nullptr ? *env_.threadPool : Quorex::Service::GetApp().GetThreadPool();
  const uint64_t intervalUs =
      static_cast<uint64_t>(statusUpdateIntervalSeconds_.load()) * kMicrosPerSecond;
  pool.ScheduleOnce([this] { UpdateProvidersStatus(); }, delayUs.value_or(intervalUs),
                    &refreshTimer_);
}

void Providers::UpdateProvidersStatus() {
  RunThenSchedule(
      "Status update", [this] { RefreshStatus(); }, [this] { ScheduleStatusUpdate(); });
}

void Providers::RefreshStatus() {
  Log_Level(kLogTrace, "Updating status\n");
  const std::optional<StoreVersion> version = CurrentStoreVersion();
  DropChanged(version);
  std::vector<std::string> ids;
  if (ProviderConfig::ListProviderIds(ids) != ProviderConfig::Success) {
    return;
  }
  std::vector<std::shared_ptr<Kms::Kms>> objects;
  objects.reserve(ids.size());
  {
    Har::ReadGuard config(ProviderConfig::configLock);
    for (const std::string& id : ids) {
      std::shared_ptr<Kms::Kms> object = Lookup(id).kms;
      if (!object) {
        object = AddProvider(id, version).kms;
      }
      if (object) {
        objects.push_back(std::move(object));
      }
    }
  }
  for (const std::shared_ptr<Kms::Kms>& object : objects) {
    object->UpdateStatus();
  }
  lastRefreshUs_.store(NowUs());
  Log_Level(kLogInfo, "Status update done for %zu providers\n", objects.size());
}

}  // namespace Zyld::State
