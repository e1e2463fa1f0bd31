// The key operation service over a registry of scripted key-server objects: failover and its log
// lines, the error each outcome gives (rendered through the daemon's localizer), input checks, one
// statistics sample per call, and the wiping of clear key texts.
#include "mirel/key_operation_impl.h"

#include "fake_kms.h"
#include "service_fixture.h"
#include "state/stats.h"

#include <configstore/configstore.h>
#include <gtest/gtest.h>
#include <test_wipes.h>
#include <harlibs/secure.h>

#include <map>

namespace {

namespace KeyOp = Com::Velora::Ovik::Kms::KeyOperationSvc;
using Zyld::Kms::KmsResult;
using ZyldTest::FakeKms;
using ZyldTest::FakeServer;
using namespace Mirel::ErrorTypes;

// Statistics samples of the process: all of them, and the failures.
uint64_t Samples() {
  const Zyld::Stats::KeyStatsCounters c = Zyld::Stats::ProcessKeyStats().Counters();
  return c.successCount + c.failureCount;
}
uint64_t Failures() { return Zyld::Stats::ProcessKeyStats().Counters().failureCount; }

class KeyOperationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_ = ZyldTest::UncachedRegistry([this](const std::string& id) { return Build(id); });
    service_ = std::make_unique<KeyOp::KeyOperationImpl>(*registry_);
    samples_ = Samples();
    failures_ = Failures();
  }

  std::shared_ptr<FakeKms> Build(const std::string& id) {
    const auto it = scripts_.find(id);
    if (it == scripts_.end()) {
      return nullptr;
    }
    last_ = std::make_shared<FakeKms>(id, it->second);
    return last_;
  }

  Mirel::MethodResult Generate(const std::string& provider, int64_t keySize = 32) {
    return ZyldTest::RunCall<KeyOp::GeneratedKey>(
        [&](auto result) { service_->GenerateKey(provider, keySize, std::move(result)); });
  }
  Mirel::MethodResult Decrypt(const std::string& provider, const std::string& wrapped) {
    return ZyldTest::RunCall<KeyOp::DecryptResult>(
        [&](auto result) { service_->Decrypt(provider, wrapped, std::move(result)); });
  }
  // One statistics sample was added by the last call (and it was a failure or not).
  void ExpectOneSample(bool failed) {
    EXPECT_EQ(Samples(), samples_ + 1);
    EXPECT_EQ(Failures(), failures_ + (failed ? 1 : 0));
    samples_ = Samples();
    failures_ = Failures();
  }

  static void ExpectError(const Mirel::MethodResult& r, std::string_view type,
                          const std::string& id, const std::map<std::string, std::string>& args,
                          const std::string& text) {
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.error->type, type);
    ASSERT_EQ(r.error->messages.size(), 1u);
    EXPECT_EQ(r.error->messages[0].id, id);
    EXPECT_EQ(r.error->messages[0].args, args);
    EXPECT_EQ(r.error->messages[0].defaultMessage, text);
  }

  std::map<std::string, std::vector<FakeServer>> scripts_ = {
      {"three",
       {{"kms-a", Zyld::Kms::KeyServerCommunicationError, "connection refused"},
        {"kms-b", Zyld::Kms::KeyServerTimeout, "timed out"},
        {"kms-c", Zyld::Kms::Success}}},
      {"down",
       {{"kms-a", Zyld::Kms::MasterKeyNotFound},
        {"kms-b", Zyld::Kms::KeyServerTimeout},
        {"kms-c", Zyld::Kms::MasterKeyPreActive}}},
      {"broken", {{"kms-a", Zyld::Kms::CryptoError}}},
      {"deactivated", {{"kms-a", Zyld::Kms::MasterKeyUnusableForEncryption}}},
      {"destroyed", {{"kms-a", Zyld::Kms::MasterKeyUnusable}}},
      {"odd", {{"kms-a", static_cast<KmsResult>(99)}}},
      {"empty", {}},
  };
  ZyldTest::TempDir dir_;
  std::unique_ptr<Zyld::State::Providers> registry_;
  std::unique_ptr<KeyOp::KeyOperationImpl> service_;
  std::shared_ptr<FakeKms> last_;
  uint64_t samples_ = 0;
  uint64_t failures_ = 0;
};

TEST_F(KeyOperationTest, FailoverReachesTheThirdServerAndLogsEachFailure) {
  ZyldTest::LogCapture log(dir_);
  const Mirel::MethodResult r = Generate("three", 16);
  ASSERT_FALSE(r.IsError());
  EXPECT_EQ(r.value->at("wrappedKey").as_string(), "wrapped-by-kms-c");
  EXPECT_EQ(r.value->at("key").as_string(), std::string(16, 'k'));
  EXPECT_EQ(last_->Attempts(), (std::vector<uint32_t>{0, 1, 2}));
  ExpectOneSample(false);
  const std::vector<std::string> lines = log.MessagesAt(3);  // one per failed server
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1],
            "GenerateKey failed on provider three server kms-b timed out, trying next server");

  const Mirel::MethodResult d = Decrypt("three", "w1");
  ASSERT_FALSE(d.IsError());
  EXPECT_EQ(d.value->at("key").as_string(), "clear-w1");
  ExpectOneSample(false);
}

TEST_F(KeyOperationTest, AllServersDownNamesTheLastServerAndItsResult) {
  for (const bool generate : {true, false}) {
    ExpectError(
        generate ? Generate("down") : Decrypt("down", "w"), kError,
        "com.velora.ovik.kms.master_key_pre_active", {{"server", "kms-c"}},
        "The master key on key server kms-c is in pre-active state and needs to be activated.");
    EXPECT_EQ(last_->Attempts(), (std::vector<uint32_t>{0, 1, 2}));
    ExpectOneSample(true);
  }
}

// A master key that may only decrypt, and one that is gone, each give their own error.
TEST_F(KeyOperationTest, UnusableMasterKeysNameTheirState) {
  ExpectError(Generate("deactivated"), kError,
              "com.velora.ovik.kms.master_key_unusable_for_encryption", {{"server", "kms-a"}},
              "The master key on key server kms-a is deactivated or compromised. It can be used "
              "for decryption only and cannot be used for encryption.");
  ExpectOneSample(true);
  ExpectError(Decrypt("destroyed", "w"), kError, "com.velora.ovik.kms.master_key_unusable",
              {{"server", "kms-a"}},
              "The master key on key server kms-a is destroyed or destroyed-compromised and "
              "cannot be used for encryption or decryption.");
  ExpectOneSample(true);
}

// Results without an identifier of their own, outside the table, or no server at all: the
// operation's generic error, naming the server when one was tried.
TEST_F(KeyOperationTest, GenericFailuresGiveTheOperationsOwnError) {
  const std::string generateError = "com.velora.ovik.kms.keyoperationsvc.generatekey.error";
  const std::string decryptError = "com.velora.ovik.kms.keyoperationsvc.decrypt.error";
  for (const char* provider : {"broken", "odd", "empty"}) {
    SCOPED_TRACE(provider);
    const std::map<std::string, std::string> args =
        std::string(provider) == "empty" ? std::map<std::string, std::string>{}
                                         : std::map<std::string, std::string>{{"server", "kms-a"}};
    ExpectError(Generate(provider), kError, generateError, args, "Unable to generate a new key.");
    ExpectOneSample(true);
    ExpectError(Decrypt(provider, "w"), kError, decryptError, args,
                "Unable to decrypt the ciphertext.");
    ExpectOneSample(true);
  }
  EXPECT_TRUE(last_->Attempts().empty());  // "empty" contacted no server
}

TEST_F(KeyOperationTest, RejectedInputsAreReportedBeforeAnyServer) {
  const auto expectInvalid = [&](const Mirel::MethodResult& r, const std::string& parameter) {
    ExpectError(r, kInvalidArgument, "com.velora.ovik.kms.providers.invalid_argument",
                {{"parameter", parameter}},
                "A specified parameter was not correct: '" + parameter + "'.");
    ExpectOneSample(true);
  };
  expectInvalid(Generate(""), "provider");
  expectInvalid(Decrypt("", "w"), "provider");
  // The empty provider is checked first, then the key size, then the provider's existence.
  expectInvalid(Generate("", 0), "provider");
  for (int64_t size : {int64_t{0}, int64_t{-1}, int64_t{1025}, int64_t{1} << 32}) {
    expectInvalid(Generate("no-such", size), "keySize");
  }
  EXPECT_EQ(last_, nullptr);  // no provider was looked up
  for (int64_t size : {int64_t{1}, int64_t{1024}}) {
    ASSERT_FALSE(Generate("three", size).IsError()) << size;
    ExpectOneSample(false);
  }

  for (const auto& r : {Generate("no-such"), Decrypt("no-such", "w")}) {
    ExpectError(r, kNotFound, "com.velora.ovik.kms.providers.not_found", {{"provider", "no-such"}},
                "The provider 'no-such' does not exist.");
  }
  EXPECT_EQ(Samples(), samples_ + 2);
  EXPECT_EQ(Failures(), failures_ + 2);
}

TEST_F(KeyOperationTest, FailingStoreIsAStoreErrorNotAnUnknownProvider) {
  ZyldTest::WriteFile(dir_.File("file"), "");
  OvikConfigStore::ConfigStore::Configure(dir_.File("file") + "/ovik.db");  // cannot be opened
  const auto storeRegistry = ZyldTest::UncachedRegistry();  // builds its objects from the store
  KeyOp::KeyOperationImpl service(*storeRegistry);
  const Mirel::MethodResult r = ZyldTest::RunCall<KeyOp::GeneratedKey>(
      [&](auto result) { service.GenerateKey("p1", 32, std::move(result)); });
  OvikConfigStore::ConfigStore::Configure(":memory:");
  ExpectError(r, kError, "com.velora.ovik.kms.providers.config_store_error", {},
              "Unable to update configuration.");
  ExpectOneSample(true);
}

TEST_F(KeyOperationTest, EncryptIsUnsupportedAndNotCounted) {
  const Mirel::MethodResult r = ZyldTest::RunCall<KeyOp::EncryptResult>(
      [&](auto result) { service_->Encrypt("three", "key", std::move(result)); });
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.error->type, kError);
  EXPECT_TRUE(r.error->messages.empty());
  EXPECT_EQ(Samples(), samples_);
  EXPECT_EQ(last_, nullptr);
}

// Both copies of a clear key text, the working copy and the result record, are wiped once the
// result has taken it, and no guard is left unwiped.
TEST_F(KeyOperationTest, ClearKeyTextsAreWipedOnceHandedOver) {
  std::vector<TestSupport::Wipe> wipes;
  {
    TestSupport::WipeRecorder recorder;
    ASSERT_FALSE(Generate("three", 48).IsError());
    ASSERT_FALSE(Decrypt("three", "w").IsError());
    ASSERT_TRUE(Generate("down").IsError());
    ASSERT_FALSE(Generate("three", 3).IsError());  // short enough to live inside the string object
    wipes = recorder.Take();
  }
  const auto zeroed = [&](size_t size) {
    return std::count_if(wipes.begin(), wipes.end(),
                         [&](const auto& w) { return w.size == size && w.zero; });
  };
  // The key text of each success (48, "clear-w", 3 characters) was wiped.
  for (size_t size : {48u, 7u, 3u}) {
    EXPECT_GE(zeroed(size), 1) << size;
  }
  for (const auto& w : wipes) {
    EXPECT_TRUE(w.zero) << w.size;
  }
  // The decrypted key and its copy in the result are each wiped.
  EXPECT_GE(zeroed(7), 2);
}

}  // namespace
