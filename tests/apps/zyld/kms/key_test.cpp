// Master key and state through the in-process server: the key-state rules as GenerateKey and
// Decrypt see them, fetch failures, and the cache (what needs a connection and what does not).
#include "kms_fixture.h"
#include "provider_fixture.h"
#include "state/providers.h"

#include <test_wait.h>

#include <zyl-common/kms_metadata_parser.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>

namespace KmsTest {
namespace {

namespace K = Zyld::Kms;
using K::KmipKms;

class KeyTest : public KmsServerTest {
 protected:
  void SetState(std::optional<uint32_t> state) { server_->AddKey("mk-1", masterKey_, state); }
};

struct StateCase {
  std::optional<uint32_t> state;
  K::KmsResult generate;
  K::KmsResult decrypt;
  const char* message;
};

TEST_F(KeyTest, KeyStatesDecideWhatGenerateAndDecryptMayDo) {
  const char* deactivated = "The key is in deactivated or compromised state";
  const char* destroyed = "The key is in destroyed or destroyed compromised state";
  const StateCase cases[] = {
      {1, K::MasterKeyPreActive, K::MasterKeyPreActive,
       "The Key is in pre-active state and needs to be activated"},
      {2, K::Success, K::Success, ""},
      {3, K::MasterKeyUnusableForEncryption, K::Success, deactivated},
      {4, K::MasterKeyUnusableForEncryption, K::Success, deactivated},
      {5, K::MasterKeyUnusable, K::MasterKeyUnusable, destroyed},
      {6, K::MasterKeyUnusable, K::MasterKeyUnusable, destroyed},
      {0, K::Success, K::Success, ""},
      {7, K::Success, K::Success, ""},
      // An enumeration that reads back as -1: the state is unknown.
      {0xFFFFFFFFu, K::GeneralError, K::GeneralError, "The key state is unknown"},
      // No State in the answer: the fetch fails and counts as a missing key.
      {std::nullopt, K::MasterKeyNotFound, K::MasterKeyNotFound, nullptr},
  };
  auto kms = MakeKms();
  std::string clear;
  const std::string wrapped = Wrap(*kms, &clear);
  for (const StateCase& c : cases) {
    SCOPED_TRACE(c.state ? std::to_string(*c.state) : "missing");
    SetState(c.state);
    std::string key, out, error;
    EXPECT_EQ(kms->GenerateKey(0, 16, key, out, error), c.generate);
    if (c.message != nullptr && *c.message != '\0') {
      EXPECT_EQ(error, c.message);
    }
    key.clear();
    error.clear();
    EXPECT_EQ(kms->Decrypt(0, wrapped, key, error), c.decrypt);
    if (c.decrypt == K::Success) {
      EXPECT_EQ(key, clear);
    }
  }
}

TEST_F(KeyTest, FetchFailuresMapToTheirResults) {
  Components parts(MakeInfo());
  Har::Secret key;
  K::KeyState state = K::KeyState::Unknown;
  std::string error;
  // A KMIP failure (unknown id) is reported as a missing key, not as a general error.
  EXPECT_EQ(parts.reader.GetKey(0, "unknown", false, key, state, error), K::MasterKeyNotFound);
  EXPECT_TRUE(key.empty());
  // A connection reset keeps its own result.
  server_->SetFault(KmipTest::Fault::ResetOnAccept);
  key.assign("held");
  EXPECT_EQ(parts.reader.GetKey(0, "mk-1", false, key, state, error),
            K::KeyServerCommunicationError);
  EXPECT_TRUE(key.empty()) << "a failed connection leaves no key bytes";
  // A stalled server gives a timeout.
  auto info = MakeInfo();
  info->connectionTimeout = 1;
  server_->SetFault(KmipTest::Fault::StallResponse);
  std::string clear, wrapped;
  EXPECT_EQ(KmipKms(info).GenerateKey(0, 32, clear, wrapped, error), K::KeyServerTimeout);
  server_->SetFault(KmipTest::Fault::None);
}

TEST_F(KeyTest, DataKeySizeOutsideTheBoundIsRefusedWithoutAConnection) {
  auto kms = MakeKms();
  const int before = server_->Connections();
  for (uint32_t size : {0u, 1025u, 0xFFFFFFFFu}) {
    std::string key, wrapped, error;
    EXPECT_EQ(kms->GenerateKey(0, size, key, wrapped, error), K::GeneralError) << size;
    EXPECT_FALSE(error.empty());
  }
  // The sizes at the bounds, 1 and 1024, succeed:
  // CryptoTest.RoundTripsForEverySizeAndKeepsTheFields.
  EXPECT_EQ(server_->Connections(), before);
}

// The registry's first status refresh runs at start-up, in the background: once it has filled
// the cache, key operations, the server certificate and the status on the registry's object make
// no connection. Before it, every operation connects.
TEST_F(KeyTest, FirstStatusRefreshAtStartUpServesOperationsFromTheCache) {
  ZyldTest::TempDir dir;
  OvikConfigStore::ConfigStore::Configure(dir.File("ovik.db"));
  ASSERT_EQ(ZyldTest::WriteProvider({.id = "prov", .servers = {{"s1", "127.0.0.1"}}}),
            ZyldTest::PC::Success);
  std::shared_ptr<KmipKms> kms = MakeKms();
  std::string clear;
  const std::string wrapped = Wrap(*kms, &clear);
  int before = server_->Connections();
  Wrap(*kms);
  EXPECT_GT(server_->Connections(), before) << "without a refresh every operation connects";
  Quorex::Service::ThreadPool pool(1, 2);
  Zyld::State::Providers registry(
      {.createKms = [&](const std::string&) { return Zyld::State::ProviderLookup(kms); },
       .threadPool = &pool});
  registry.Init(Quorex::Service::ConfigValues{});
  EXPECT_TRUE(TestSupport::Eventually([&] { return !kms->FetchNeededFor(std::nullopt); }));
  before = server_->Connections();
  constexpr int kCalls = 5;
  for (int i = 0; i < kCalls; ++i) {
    const std::shared_ptr<K::Kms> found = registry.GetProvider("prov");
    ASSERT_EQ(found, kms);
    std::string key, out, error;
    EXPECT_EQ(found->GenerateKey(0, 32, key, out, error), K::Success) << error;
    EXPECT_EQ(found->Decrypt(0, wrapped, key, error), K::Success) << error;
    EXPECT_EQ(key, clear);
  }
  std::string certificate, error;
  EXPECT_EQ(kms->GetRemoteServerCertificate(0, certificate, error), K::Success);
  EXPECT_FALSE(certificate.empty());
  K::KmsStatus status;
  kms->GetStatus(status);
  EXPECT_TRUE(status.masterKeyUsable);
  EXPECT_EQ(server_->Connections(), before);
  pool.Shutdown();  // the refresh chain ends before the registry
  OvikConfigStore::ConfigStore::Configure(":memory:");
}

TEST_F(KeyTest, KeyIdDifferingInCaseBypassesTheCache) {
  server_->AddKey("MK-1", masterKey_);
  auto upper = MakeInfo();
  upper->masterKeyId = "MK-1";
  KmipKms other(upper);
  std::string clear;
  const std::string wrapped = Wrap(other, &clear);
  auto kms = MakeKms();
  kms->UpdateStatus();
  const int before = Gets();
  std::string key, error;
  EXPECT_EQ(kms->Decrypt(0, wrapped, key, error), K::Success) << error;
  EXPECT_EQ(key, clear);
  EXPECT_EQ(Gets(), before + 1);
}

TEST_F(KeyTest, ForcedStateUsesCachedBytesAndAsksOnlyForTheState) {
  Components parts(MakeInfo());
  parts.Refresh();
  const int gets = Gets();
  const int states = StateQueries();
  Har::Secret key;
  K::KeyState state = K::KeyState::Unknown;
  std::string error;
  EXPECT_EQ(parts.reader.GetKey(0, "mk-1", true, key, state, error), K::Success);
  EXPECT_EQ(Gets(), gets);
  EXPECT_EQ(StateQueries(), states + 1);
  EXPECT_EQ(std::vector<uint8_t>(key.bytes(), key.bytes() + key.size()), masterKey_);
  EXPECT_EQ(state, K::KeyState::Active);
}

// A refresh that finds the key gone, or destroyed, drops the cached key: operations ask again.
TEST_F(KeyTest, RefreshThatFindsTheKeyGoneOrDestroyedDropsTheCachedKey) {
  auto kms = MakeKms();
  kms->UpdateStatus();
  server_->RemoveKey("mk-1");
  kms->UpdateStatus();
  K::KmsStatus status;
  kms->GetStatus(status);
  EXPECT_FALSE(status.masterKeyFound);
  EXPECT_EQ(status.keyProblems, std::vector<uint32_t>{K::MasterKeyNotFound});
  server_->AddKey("mk-1", masterKey_);
  const int before = server_->Connections();
  std::string key, wrapped, error;
  EXPECT_EQ(kms->GenerateKey(0, 32, key, wrapped, error), K::Success) << error;
  EXPECT_GT(server_->Connections(), before);

  kms->UpdateStatus();
  SetState(6);
  kms->UpdateStatus();
  kms->GetStatus(status);
  EXPECT_TRUE(status.masterKeyFound);
  EXPECT_FALSE(status.masterKeyUsable);
  EXPECT_EQ(status.keyProblems, std::vector<uint32_t>{K::MasterKeyUnusable});
  const int gets = Gets();
  EXPECT_EQ(kms->GenerateKey(0, 32, key, wrapped, error), K::MasterKeyUnusable);
  EXPECT_EQ(Gets(), gets + 1) << "the key is fetched again, not taken from the cache";
}

TEST_F(KeyTest, OperationsRunWhileTheCacheIsRefreshed) {
  auto kms = MakeKms();
  std::string clear;
  const std::string wrapped = Wrap(*kms, &clear);
  std::atomic<bool> stop{false};
  std::thread refresher([&] {
    while (!stop) {
      kms->UpdateStatus();
    }
  });
  for (int i = 0; i < 20; ++i) {
    std::string key, error;
    ASSERT_EQ(kms->Decrypt(0, wrapped, key, error), K::Success) << error;
    ASSERT_EQ(key, clear);
  }
  stop = true;
  refresher.join();
}

// A reader that throws (a failed copy) must not leave the lock held: the next refresh would
// wait for it forever.
TEST(KmsCache, ReaderThatThrowsReleasesTheLock) {
  auto cache = std::make_shared<K::KmsCache>();
  cache->Store(K::ProbeRecord{});
  EXPECT_THROW(cache->Read([](const K::ProbeRecord&) { throw std::runtime_error("copy failed"); }),
               std::runtime_error);
  std::promise<void> stored;
  std::future<void> done = stored.get_future();
  std::thread refresh([cache, &stored] {
    cache->Store(K::ProbeRecord{});
    stored.set_value();
  });
  // Bounds a deadlock, not a duration: a held lock never lets the store through.
  constexpr std::chrono::seconds kDeadlockBound{30};
  const bool finished = done.wait_for(kDeadlockBound) == std::future_status::ready;
  if (!finished) {
    refresh.detach();
  } else {
    refresh.join();
  }
  ASSERT_TRUE(finished);
  EXPECT_TRUE(cache->Read([](const K::ProbeRecord&) {}));
}

}  // namespace
}  // namespace KmsTest
