// Zyld::State::Providers: the in-memory cache of key-server objects, one per provider identifier,
// built from the stored configuration on a miss and shared (std::shared_ptr) with every caller; an
// object dropped from the cache stays valid for whoever still holds it. With caching off nothing
// is kept and every look-up builds a fresh object. The registry also runs the periodic status
// refresh (a chain of one-shot tasks on the application's thread pool, each scheduling the next;
// they run on its workers, never on the tasks that run the API's I/O context) and flushes the whole
// cache when no refresh has finished within the stale timeout. It owns the key-server pool on
// which key operations that need a server run; the pool is stopped (its threads joined) before
// the registry is destroyed, or earlier by the daemon's shutdown.
//
// Changes made to the store by another writer (the administration tool, another process) reach
// the cache within kStoreRecheckUs: a look-up reads the store's change stamp (a query on the
// store's own read connection, which never waits for the store's writers) when the stamp it knows
// is older than that, and every status refresh reads it afresh. The daemon's own changes, which
// remove what they changed, also make the next look-up read it. Reading it on every call cost
// three system calls a call. Entries last checked under another stamp
// have the configuration they were built from compared with the store's: a provider that changed,
// vanished or cannot be read is dropped (one log line each) and rebuilt when next asked for; an
// unchanged provider keeps its object and with it its warm caches.
//
// Locks: configLock (read while objects are built, write while the cache is flushed) is taken
// before the registry lock; the registry lock is never held while configLock is taken, while an
// object is built, while the store is read or while any Kms operation runs. Concurrent misses on
// one identifier converge on one cached object. One check of the cache against a changed store
// runs at a time (the check mutex, taken before the registry lock and never with configLock
// held); callers that arrive meanwhile wait for it and find their entries checked, so a burst of
// calls after a change reads each changed provider once, not once per caller.
#pragma once

#include "configstore/provider_config.h"
#include "kms/kms.h"
#include "kms/kms_info.h"
#include "state/key_server_pool.h"

#include <harlockpp/harlockpp.h>
#include <quorex/quorex.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace Zyld::State {

inline constexpr uint32_t kProvidersLockRank = 0xFF000000u;

// How long a look-up may rely on the store's change stamp it last read (microseconds).
inline constexpr uint64_t kStoreRecheckUs = 1000000u;

// The registry's settings after clamping.
struct ProvidersSettings {
  bool caching = true;
  int statusUpdateIntervalSeconds = 300;  // 60..3600
  int cacheStaleTimeoutSeconds = 1800;    // 70..3600
  KeyServerPoolSettings keyServers;
};

// Keys of the key-server pool's settings.
inline constexpr const char* kKeyServerThreadsKey = "keyServerThreads";
inline constexpr const char* kKeyServerJobsPerProviderKey = "keyServerJobsPerProvider";
inline constexpr const char* kKeyServerQueuePerProviderKey = "keyServerQueuePerProvider";

// Reads "caching", "statusUpdateIntervalSeconds", "cacheStaleTimeoutSeconds" and the key-server
// pool's keys (defaults for absent keys) and clamps the numbers into their bounds.
ProvidersSettings ProvidersSettingsFromConfig(const Quorex::Service::ConfigValues& values);

// A provider's key-server object, or the store's reason why there is none (NotFound, StoreError).
struct ProviderLookup {
  explicit ProviderLookup(std::shared_ptr<Kms::Kms> found,
                          ProviderConfig::ConfigResult whyNot = ProviderConfig::NotFound)
      : kms(std::move(found)), result(kms ? ProviderConfig::Success : whyNot) {}

  std::shared_ptr<Kms::Kms> kms;
  ProviderConfig::ConfigResult result;
  // The stored configuration the object was built from, compared with the store's when the store
  // changes; null when unknown (such an object is dropped at every change of the store).
  std::shared_ptr<const Kms::KmsInfo> builtFrom;
};

// The daemon's factory: reads the provider from the configuration store and builds its KMIP
// object (with builtFrom); no object (logged) and the store's answer (NotFound, StoreError) when
// it cannot be read.
ProviderLookup CreateKms(const std::string& providerId);

// What the registry uses from outside; each empty member means the daemon's own: CreateKms, the
// application's thread pool, the host's monotonic timer in microseconds and a first status
// refresh at once.
struct ProvidersEnvironment {
  std::function<ProviderLookup(const std::string& providerId)> createKms;
  Quorex::Service::ThreadPool* threadPool = nullptr;
  std::function<uint64_t()> nowUs;
  std::optional<uint64_t> firstRefreshDelayUs;
};

class Providers {
 public:
  // The process-wide registry (created on first use, never destroyed before exit).
  static Providers& Instance();

  // A separate registry (tests); the daemon uses Instance().
  explicit Providers(ProvidersEnvironment environment = {});
  ~Providers();
  Providers(const Providers&) = delete;
  Providers& operator=(const Providers&) = delete;

  // Start-up: reads the settings from the application's configuration, logs them and, with
  // caching on, schedules the first status refresh to run at once on the thread pool (so that key
  // operations are served from the status cache as soon as the key servers answer, not only after
  // the first interval); the caller is not delayed. Call once.
  void Init();
  void Init(const Quorex::Service::ConfigValues& values);

  // The provider's object, or why it cannot be built from the store.
  ProviderLookup FindProvider(const std::string& providerId);
  // The provider's object; null when it cannot be built from the store.
  std::shared_ptr<Kms::Kms> GetProvider(const std::string& providerId);
  // Drop one entry / every entry (the next look-up builds from the store).
  void RemoveProvider(const std::string& providerId);
  void RemoveAllProviders();

  // Schedules one UpdateProvidersStatus after delayUs (default: the status update interval).
  void ScheduleStatusUpdate(std::optional<uint64_t> delayUs = std::nullopt);
  // Probes every stored provider's servers (outside the registry's locks) and schedules the next
  // run, also when the probing fails (logged).
  void UpdateProvidersStatus();

  ProvidersSettings Settings() const;
  // Where key operations that need a key server run.
  KeyServerPool& KeyServers() { return keyServers_; }
  // Where the handle of the pending refresh is kept (for cancelling it).
  Quorex::Service::TimerHandle& RefreshTimer() { return refreshTimer_; }

 private:
  // A change stamp of the global store, with the store object it belongs to (stamps of two store
  // objects are unrelated).
  struct StoreVersion {
    std::weak_ptr<OvikConfigStore::ConfigStore> store;
    uint64_t stamp = 0;
    bool operator==(const StoreVersion& other) const;
  };
  struct Entry {
    std::shared_ptr<Kms::Kms> kms;
    std::shared_ptr<const Kms::KmsInfo> builtFrom;
    std::optional<StoreVersion> checked;  // when builtFrom last matched the store
  };
  struct Check;

  // The probing of UpdateProvidersStatus.
  void RefreshStatus();
  bool FlushIfStale();
  // The store's version now (logs a reopened store file); nullopt when the store cannot be read.
  // Kept as the known version.
  std::optional<StoreVersion> CurrentStoreVersion();
  // The known version while it is younger than kStoreRecheckUs, else CurrentStoreVersion().
  std::optional<StoreVersion> KnownStoreVersion();
  // Makes the next KnownStoreVersion read the store (after the daemon's own changes).
  void ForgetStoreVersion();
  // Drops the entries whose stored configuration differs from what they were built from, when
  // they were last checked under another version. Takes no lock of the caller's.
  void DropChanged(const std::optional<StoreVersion>& version);
  // The entries not yet checked under `version`.
  std::vector<Check> Unchecked(const std::optional<StoreVersion>& version);
  // The cached object (and what it was built from); no object on a miss.
  ProviderLookup Lookup(const std::string& providerId);
  // Builds and, with caching on, inserts (as checked under `version`, read before building);
  // returns the cached object when another thread won. Caller holds configLock for reading.
  ProviderLookup AddProvider(const std::string& providerId,
                             const std::optional<StoreVersion>& version);
  uint64_t NowUs() const;

  ProvidersEnvironment env_;
  Har::RWLock lock_;
  std::mutex checkMutex_;  // one DropChanged check at a time
  std::unordered_map<std::string, Entry> providers_;
  std::atomic<uint64_t> storeFileOpens_{1};  // the store's FileOpens last seen
  std::mutex versionMutex_;                  // guards the known version and when it was read
  std::optional<StoreVersion> knownVersion_;
  std::optional<uint64_t> knownVersionReadUs_;  // unset: read the store at the next look-up
  Quorex::Service::TimerHandle refreshTimer_;
  std::atomic<bool> caching_{true};
  std::atomic<int> statusUpdateIntervalSeconds_{300};
  std::atomic<int> cacheStaleTimeoutSeconds_{1800};
  std::atomic<uint64_t> lastRefreshUs_{0};
  KeyServerPool keyServers_;  // last: stopped before the rest goes
};

}  // namespace Zyld::State
