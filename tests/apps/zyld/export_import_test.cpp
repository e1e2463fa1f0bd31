// Export, import and restore of the providers, and clear failures on a corrupt database.
#include "provider_fixture.h"

namespace {

using namespace ZyldTest;

using ExportImportTest = StoreTest;

void WriteThree() {
  for (int i = 0; i < 3; ++i) {
    ProviderSpec spec;
    spec.id = "p" + std::to_string(i);
    spec.masterKeyId = "mk" + std::to_string(i);
    spec.description = "d" + std::to_string(i);
    spec.timeout = 10 + i;
    spec.proxyHost = i == 1 ? "proxy" : "";
    spec.servers = {{"a", "host-a", 5696}, {"b", "host-b", 5697}};
    ASSERT_EQ(WriteProvider(spec), PC::Success);
    ASSERT_EQ(PC::SetCredential(spec.id, "cred" + std::to_string(i)), PC::Success);
  }
}

// The text's round trip and the replaced selection are the store's (TransferTest); here the hash.
TEST_F(ExportImportTest, ExportGivesTheHashOfItsText) {
  WriteThree();
  std::string text, hash, expectedHash;
  ASSERT_EQ(PC::ExportProviders(text, hash), PC::Success);
  ASSERT_TRUE(Brask::Common::SslUtils::ComputeHashHex(text, expectedHash));
  EXPECT_EQ(hash, expectedHash);
}

// Which texts the store refuses, all or nothing, is the store's; here, the answer and the log line.
TEST_F(ExportImportTest, RejectedImportIsAStoreError) {
  WriteThree();
  const std::string before = Export();
  LogCapture capture(dir_);
  EXPECT_EQ(PC::ImportConfiguration("not json at all"), PC::StoreError);
  EXPECT_EQ(Export(), before);
  EXPECT_TRUE(capture.Contains("Failed to import the given configuration"));
}

TEST_F(ExportImportTest, RestoreMarksEveryProviderAndTheDaemonKey) {
  WriteThree();
  LogCapture capture(dir_);
  PC::RestoreConfiguration();
  for (const char* id : {"p0", "p1", "p2"}) {
    EXPECT_TRUE(Store()->IsRestoredThisBoot(PC::ProviderObjectId(id))) << id;
    EXPECT_TRUE(
        capture.Contains(std::string("Restoring configuration key providers instance ") + id));
  }
  EXPECT_TRUE(Store()->IsRestoredThisBoot(
      OvikConfigStore::ConfigStoreObjectId("zyld_config", "kms", "ovik")));
  EXPECT_TRUE(capture.Contains("Restoring configuration key zyld_config"));
}

// On a corrupt database every persistence function answers StoreError, and only the restore
// throws.
TEST(BrokenStoreTest, CorruptDatabaseGivesStoreErrors) {
  TempDir dir;
  const std::string path = dir.File("ovik.db");
  WriteFile(path, std::string(8192, 'Z'));
  OvikConfigStore::ConfigStore::Configure(path);
  EXPECT_EQ(WriteProvider({.id = "p"}), PC::StoreError);
  Zyld::Kms::KmsInfo kms;
  PC::ProviderInfo info;
  std::vector<std::string> ids;
  std::string text, hash;
  EXPECT_EQ(PC::GetKmsInfo("p", kms), PC::StoreError);
  EXPECT_EQ(PC::GetProviderInfo("p", info), PC::StoreError);
  EXPECT_EQ(PC::ListProviderIds(ids), PC::StoreError);
  EXPECT_EQ(PC::SetCredential("p", "x"), PC::StoreError);
  EXPECT_EQ(PC::DeleteProvider("p"), PC::StoreError);
  EXPECT_EQ(PC::ExportProviders(text, hash), PC::StoreError);
  EXPECT_EQ(PC::ImportConfiguration("{}"), PC::StoreError);
  EXPECT_FALSE(PC::GetAttestationPublicKey(text));
  EXPECT_THROW(PC::RestoreConfiguration(), OvikConfigStore::ConfigStoreException);
  OvikConfigStore::ConfigStore::Configure(":memory:");
}

}  // namespace
