// The provider registry over a real configuration store, with scripted key-server objects and a
// real thread pool: settings and their bounds, caching on and off, the stale flush, removal,
// concurrent misses, and the status refresh.
#include "state/providers.h"

#include "../provider_fixture.h"
#include "configstore/provider_config.h"
#include "fake_kms.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

using Quorex::Service::ConfigValues;
using Zyld::State::Providers;
using Zyld::State::ProvidersSettings;
using ZyldTest::FakeKms;
using ZyldTest::FakeServer;

constexpr uint64_t kSecond = 1000000;
constexpr uint64_t kLater = 300 * kSecond;

struct ClampCase {
  const char* key;
  int64_t configured;
  int expectedInterval;
  int expectedStale;
};

TEST(ProvidersSettingsTest, SettingsAreClampedIntoTheirBounds) {
  const ClampCase cases[] = {
      {"statusUpdateIntervalSeconds", -5, 60, 1800},
      {"statusUpdateIntervalSeconds", 900, 900, 1800},
      {"statusUpdateIntervalSeconds", int64_t{1} << 40, 3600, 1800},
      {"cacheStaleTimeoutSeconds", 0, 300, 70},
      {"cacheStaleTimeoutSeconds", 600, 300, 600},
      {"cacheStaleTimeoutSeconds", 5000, 300, 3600},
  };
  for (const ClampCase& c : cases) {
    ConfigValues values;
    values.SetInt(c.key, c.configured);
    const ProvidersSettings s = Zyld::State::ProvidersSettingsFromConfig(values);
    EXPECT_EQ(s.statusUpdateIntervalSeconds, c.expectedInterval) << c.key << "=" << c.configured;
    EXPECT_EQ(s.cacheStaleTimeoutSeconds, c.expectedStale) << c.key << "=" << c.configured;
    EXPECT_TRUE(s.caching);
  }
  ConfigValues off;
  off.SetBool("caching", false);
  EXPECT_FALSE(Zyld::State::ProvidersSettingsFromConfig(off).caching);
  // The key-server pool: threads up to their maximum, no negative queue.
  ConfigValues pool;
  pool.SetInt(Zyld::State::kKeyServerThreadsKey, 1000);
  pool.SetInt(Zyld::State::kKeyServerJobsPerProviderKey, 2);
  pool.SetInt(Zyld::State::kKeyServerQueuePerProviderKey, -1);
  const auto keyServers = Zyld::State::ProvidersSettingsFromConfig(pool).keyServers;
  EXPECT_EQ(keyServers.threads, Zyld::State::kMaxKeyServerThreads);
  EXPECT_EQ(keyServers.jobsPerProvider, 2);
  EXPECT_EQ(keyServers.queuePerProvider, 0);
}

class ProvidersTest : public ZyldTest::StoreTest {
 protected:
  // A registry over this fixture's builder, pool and clock, initialised from `values`.
  Providers& MakeRegistry(const ConfigValues& values = {}) {
    Zyld::State::ProvidersEnvironment env;
    env.createKms = [this](const std::string& id) {
      return Zyld::State::ProviderLookup(Build(id));
    };
    env.threadPool = &pool_;
    env.nowUs = [this] { return now_.load(); };
    env.firstRefreshDelayUs = kLater;  // the tests run refreshes themselves
    registry_ = std::make_unique<Providers>(std::move(env));
    registry_->Init(values);
    return *registry_;
  }
  static ConfigValues CachingOff() {
    ConfigValues values;
    values.SetBool("caching", false);
    return values;
  }
  // Stores providers with one server each.
  static void StoreProviders(std::initializer_list<const char*> ids) {
    for (const char* id : ids) {
      ASSERT_EQ(ZyldTest::WriteProvider({.id = id, .servers = {{"s1", "kms1.example"}}}),
                Zyld::ProviderConfig::Success);
    }
  }
  // True when a status refresh is pending (it is cancelled thereby).
  bool TakePendingRefresh() { return pool_.Cancel(registry_->RefreshTimer()); }

  std::shared_ptr<FakeKms> Build(const std::string& id) {
    if (buildHook_) {
      buildHook_(id);
    }
    builds_.fetch_add(1);
    if (id == "broken") {
      return nullptr;
    }
    auto kms = std::make_shared<FakeKms>(id, std::vector<FakeServer>{{"s1"}});
    std::lock_guard<std::mutex> guard(mutex_);
    built_.push_back(kms);
    return kms;
  }
  std::vector<std::shared_ptr<FakeKms>> Built() {
    std::lock_guard<std::mutex> guard(mutex_);
    return built_;
  }

  Quorex::Service::ThreadPool pool_{1, 2};
  std::atomic<uint64_t> now_{1000 * kSecond};
  std::atomic<int> builds_{0};
  std::function<void(const std::string&)> buildHook_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<FakeKms>> built_;
  std::unique_ptr<Providers> registry_;  // destroyed before the pool
};

// An unbuildable provider is not cached and is tried again; removed entries are built afresh.
TEST_F(ProvidersTest, CachingOnSharesOneObjectPerProviderUntilRemoved) {
  Providers& registry = MakeRegistry();
  const auto p1 = registry.GetProvider("p1");
  ASSERT_NE(p1, nullptr);
  EXPECT_EQ(registry.GetProvider("p1"), p1);
  const auto p2 = registry.GetProvider("p2");
  EXPECT_NE(p2, p1);
  EXPECT_EQ(registry.GetProvider("broken"), nullptr);
  EXPECT_EQ(registry.GetProvider("broken"), nullptr);
  EXPECT_EQ(builds_.load(), 4);

  registry.RemoveProvider("never-cached");
  registry.RemoveProvider("p1");
  EXPECT_NE(registry.GetProvider("p1"), p1);
  EXPECT_EQ(registry.GetProvider("p2"), p2);
  registry.RemoveAllProviders();
  EXPECT_NE(registry.GetProvider("p2"), p2);
  EXPECT_EQ(builds_.load(), 6);
}

TEST_F(ProvidersTest, CachingOffBuildsEveryTimeAndSchedulesNothing) {
  Providers& registry = MakeRegistry(CachingOff());
  EXPECT_FALSE(TakePendingRefresh());
  const auto first = registry.GetProvider("p1");
  const auto second = registry.GetProvider("p1");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(builds_.load(), 2);
}

TEST_F(ProvidersTest, StaleCacheIsFlushedAndTheProviderRebuilt) {
  Providers& registry = MakeRegistry();
  const auto before = registry.GetProvider("p1");
  const auto other = registry.GetProvider("p2");
  now_ += 1800 * kSecond;  // exactly the timeout: still fresh
  EXPECT_EQ(registry.GetProvider("p1"), before);

  now_ += kSecond;
  const auto after = registry.GetProvider("p1");
  ASSERT_NE(after, nullptr);
  EXPECT_NE(after, before);
  EXPECT_EQ(builds_.load(), 3);
  // The flush counts as a refresh: the rebuilt object is cached, and every other entry went.
  EXPECT_EQ(registry.GetProvider("p1"), after);
  EXPECT_NE(registry.GetProvider("p2"), other);
  EXPECT_EQ(builds_.load(), 4);
  // Holders of dropped objects keep them.
  EXPECT_EQ(std::static_pointer_cast<FakeKms>(before)->Provider(), "p1");
}

TEST_F(ProvidersTest, ConcurrentMissesConvergeOnOneObject) {
  Providers& registry = MakeRegistry();
  // Both builds run at once: each waits until the other has started.
  std::mutex m;
  std::condition_variable cv;
  int inside = 0;
  buildHook_ = [&](const std::string&) {
    std::unique_lock<std::mutex> lock(m);
    ++inside;
    cv.notify_all();
    cv.wait_for(lock, std::chrono::seconds(30), [&] { return inside >= 2; });
  };
  std::shared_ptr<Zyld::Kms::Kms> a;
  std::shared_ptr<Zyld::Kms::Kms> b;
  std::thread t1([&] { a = registry.GetProvider("p1"); });
  std::thread t2([&] { b = registry.GetProvider("p1"); });
  t1.join();
  t2.join();
  EXPECT_EQ(inside, 2);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  buildHook_ = nullptr;
  EXPECT_EQ(registry.GetProvider("p1"), a);
  EXPECT_EQ(builds_.load(), 2);
}

TEST_F(ProvidersTest, RefreshProbesEveryStoredProviderOutsideTheLocksAndReschedules) {
  StoreProviders({"p1", "p2", "p3", "broken"});
  Providers& registry = MakeRegistry();
  ASSERT_TRUE(TakePendingRefresh());
  const auto cached = std::static_pointer_cast<FakeKms>(registry.GetProvider("p2"));
  // A probe may take configLock for writing and use the registry: neither lock is held then.
  cached->OnUpdate([&registry] {
    Har::WriteGuard config(Zyld::ProviderConfig::configLock);
    registry.RemoveProvider("p3");
  });

  now_ += 1000 * kSecond;
  registry.UpdateProvidersStatus();
  const auto built = Built();
  ASSERT_EQ(built.size(), 3u);  // p2 before, then p1 and p3 (broken is skipped)
  for (const auto& kms : built) {
    EXPECT_EQ(kms->UpdateCount(), 1) << kms->Provider();
  }
  EXPECT_EQ(registry.GetProvider("p1"), built[1]);  // kept by the refresh
  EXPECT_TRUE(TakePendingRefresh());

  // The refresh counts as fresh: 1000 s later nothing is flushed (the timeout is 1800 s).
  now_ += 1000 * kSecond;
  EXPECT_EQ(registry.GetProvider("p2"), cached);
}

TEST_F(ProvidersTest, FailingProbeOrListingOnlyReschedules) {
  StoreProviders({"p1"});
  Providers& registry = MakeRegistry();
  ASSERT_TRUE(TakePendingRefresh());
  const auto cached = registry.GetProvider("p1");
  const auto fake = std::static_pointer_cast<FakeKms>(cached);
  fake->OnUpdate([] { throw std::runtime_error("probe broke"); });
  registry.UpdateProvidersStatus();
  EXPECT_TRUE(TakePendingRefresh());

  fake->OnUpdate(nullptr);
  OvikConfigStore::ConfigStore::Configure(dbPath_ + "/under-a-file.db");  // cannot be opened
  now_ += 1801 * kSecond;
  registry.UpdateProvidersStatus();
  EXPECT_EQ(fake->UpdateCount(), 0);
  EXPECT_TRUE(TakePendingRefresh());
  // The last refresh time did not advance: the next look-up flushes.
  EXPECT_NE(registry.GetProvider("p1"), cached);
}

// A second store object on the same file writes as another process would: a look-up once the
// known stamp is due drops the changed and the deleted provider (logged) and keeps the unchanged
// one's object.
TEST_F(ProvidersTest, ChangesByAnotherWriterReachLookUpsWithinTheRecheckInterval) {
  namespace PC = Zyld::ProviderConfig;
  StoreProviders({"changed", "kept", "deleted"});
  // The daemon's own builder, reading the store.
  Providers cached({.threadPool = &pool_,
                    .nowUs = [this] { return now_.load(); },
                    .firstRefreshDelayUs = kLater});
  cached.Init(ConfigValues{});
  const auto changed = cached.FindProvider("changed");
  const auto kept = cached.FindProvider("kept");
  ASSERT_NE(changed.kms, nullptr);
  ASSERT_NE(kept.kms, nullptr);
  ASSERT_NE(cached.FindProvider("deleted").kms, nullptr);

  auto other = OvikConfigStore::ConfigStore::Open(dbPath_);
  auto record = other->Get(PC::ProviderObjectId("changed"));
  record->SetValue("master_key_id", "mk-2");
  other->Update(record, nullptr);
  ASSERT_TRUE(other->Delete(PC::ProviderObjectId("deleted")));

  now_ += Zyld::State::kStoreRecheckUs;
  ZyldTest::LogCapture log(dir_);
  EXPECT_EQ(cached.FindProvider("kept").kms, kept.kms);
  EXPECT_TRUE(log.Contains("Dropped provider changed from providers state: its stored"));
  EXPECT_TRUE(log.Contains("Dropped provider deleted from providers state: it is no longer"));
  EXPECT_FALSE(log.Contains("Dropped provider kept"));
  const auto rebuilt = cached.FindProvider("changed");
  ASSERT_NE(rebuilt.kms, nullptr);
  EXPECT_NE(rebuilt.kms, changed.kms);
  EXPECT_EQ(rebuilt.builtFrom->masterKeyId, "mk-2");
  EXPECT_EQ(cached.FindProvider("changed").kms, rebuilt.kms);
  EXPECT_EQ(cached.FindProvider("deleted").result, PC::NotFound);
}

}  // namespace
