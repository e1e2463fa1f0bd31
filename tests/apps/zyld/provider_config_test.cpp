// ProviderConfig against a real store database: providers written through the module read back
// through GetProviderInfo, GetKmsInfo and the getters with the absent-value rules; failures give
// their result codes and leave the store unchanged.
#include "provider_fixture.h"

#include <sqlite3.h>

#include <functional>

namespace {

using namespace ZyldTest;
using Zyld::Kms::KmsInfo;
using Zyld::Kms::ServerEntry;

ProviderSpec FullSpec() {
  ProviderSpec spec;
  spec.id = "prov1";
  spec.masterKeyId = "master-7";
  spec.description = "primary cluster";
  spec.timeout = 30;
  spec.username = "kmip-user";
  spec.proxyHost = "proxy.example";
  spec.proxyPort = 3128;
  spec.servers = {{"s1", "kmip1.example", 5696}, {"s2", "10.0.0.2", 15696}};
  return spec;
}

using ProviderConfigTest = StoreTest;

TEST_F(ProviderConfigTest, FullProviderReadsBackIdenticallyThroughEveryReader) {
  ASSERT_EQ(WriteProvider(FullSpec()), PC::Success);
  const TestCert client = MakeCert();
  const TestCert trusted = MakeCert();
  ASSERT_EQ(PC::SetCredential("prov1", "s3cret"), PC::Success);
  ASSERT_EQ(PC::SetClientCertificate("prov1", client.messy, client.key), PC::Success);
  ASSERT_EQ(PC::SetServerCertificates("prov1", {trusted.messy, "not a certificate"}), PC::Success);

  PC::ProviderInfo info;
  ASSERT_EQ(PC::GetProviderInfo("prov1", info), PC::Success);
  EXPECT_EQ(info.masterKeyId, "master-7");
  EXPECT_EQ(info.keyServer.type, PC::KeyServerType::KMIP);
  EXPECT_EQ(info.keyServer.description, "primary cluster");
  ASSERT_TRUE(info.keyServer.connectionTimeout.has_value());
  EXPECT_EQ(*info.keyServer.connectionTimeout, 30);
  ASSERT_TRUE(info.keyServer.proxyServer.has_value());
  EXPECT_EQ(info.keyServer.proxyServer->hostname, "proxy.example");
  EXPECT_EQ(info.keyServer.proxyServer->port, std::optional<int64_t>(3128));
  EXPECT_EQ(info.keyServer.kmipServer.username, std::optional<std::string>("kmip-user"));
  std::vector<ServerEntry> servers;
  for (const auto& s : info.keyServer.kmipServer.servers) {
    servers.push_back({s.name, s.address.hostname, s.address.port.value_or(-1)});
  }
  EXPECT_EQ(servers,
            (std::vector<ServerEntry>{{"s1", "kmip1.example", 5696}, {"s2", "10.0.0.2", 15696}}));

  KmsInfo kms;
  ASSERT_EQ(PC::GetKmsInfo("prov1", kms), PC::Success);
  EXPECT_EQ(kms.name, "prov1");
  EXPECT_EQ(kms.masterKeyId, "master-7");
  EXPECT_EQ(kms.proxyHost, "proxy.example");
  EXPECT_EQ(kms.proxyPort, 3128);
  EXPECT_EQ(kms.connectionTimeout, 30);
  EXPECT_EQ(kms.username, "kmip-user");
  EXPECT_EQ(kms.password.view(), "s3cret");
  EXPECT_EQ(kms.clientCertificate, client.standard);
  EXPECT_EQ(kms.privateKey.view(), client.key);
  EXPECT_EQ(kms.trustedServerCertificates,
            (std::vector<std::string>{trusted.standard, "not a certificate"}));
  EXPECT_EQ(kms.servers,
            (std::vector<ServerEntry>{{"s1", "kmip1.example", 5696}, {"s2", "10.0.0.2", 15696}}));

  // The outputs are replaced, not added to.
  std::vector<std::string> hosts{"stale.example"};
  std::string proxy = "stale-proxy.example";
  EXPECT_EQ(PC::GetProviderHosts("prov1", true, true, hosts, proxy), PC::Success);
  EXPECT_EQ(hosts, (std::vector<std::string>{"kmip1.example", "10.0.0.2"}));
  EXPECT_EQ(proxy, "proxy.example");
  EXPECT_EQ(PC::GetProviderHosts("prov1", false, false, hosts, proxy), PC::Success);
  EXPECT_TRUE(hosts.empty());
  EXPECT_TRUE(proxy.empty());
}

// Absent values, and stored empty ones, read as empty or unset.
TEST_F(ProviderConfigTest, AbsentOptionalValuesReadAsEmptyOrUnset) {
  ASSERT_EQ(WriteProvider({.id = "bare", .username = ""}), PC::Success);
  ASSERT_EQ(PC::SetServerCertificates("bare", {}), PC::Success);

  PC::ProviderInfo info;
  ASSERT_EQ(PC::GetProviderInfo("bare", info), PC::Success);
  EXPECT_EQ(info.keyServer.description, "");
  EXPECT_FALSE(info.keyServer.connectionTimeout.has_value());
  EXPECT_FALSE(info.keyServer.proxyServer.has_value());
  EXPECT_FALSE(info.keyServer.kmipServer.username.has_value());
  EXPECT_TRUE(info.keyServer.kmipServer.servers.empty());

  KmsInfo kms, expected;
  ASSERT_EQ(PC::GetKmsInfo("bare", kms), PC::Success);
  expected.name = "bare";
  expected.masterKeyId = "mk-1";
  EXPECT_EQ(kms, expected);  // every other member empty or zero

  std::string cert = "old", csr = "keep";
  Har::Secret key("untouched"), csrKey("keep-too");
  EXPECT_EQ(PC::GetClientCertificate("bare", cert, key), PC::Success);
  EXPECT_EQ(cert, "");
  EXPECT_EQ(key.view(), "untouched");
  EXPECT_EQ(PC::GetClientCsr("bare", csr, csrKey), PC::Success);
  EXPECT_EQ(csr, "keep");
  EXPECT_EQ(csrKey.view(), "keep-too");
  Har::Secret credential("stale");
  EXPECT_EQ(PC::GetCredential("bare", credential), PC::Success);
  EXPECT_TRUE(credential.empty());
}

TEST_F(ProviderConfigTest, CreatingAnExistingProviderWritesNothing) {
  ASSERT_EQ(WriteProvider(FullSpec()), PC::Success);
  const std::string before = Export();
  PC::ProviderObjects objects{.providerId = "prov1"};
  EXPECT_EQ(PC::CreateProviderObjects(objects), PC::AlreadyExists);
  EXPECT_EQ(objects.provider, nullptr);
  ProviderSpec other = FullSpec();
  other.masterKeyId = "other";
  EXPECT_EQ(WriteProvider(other), PC::AlreadyExists);
  EXPECT_EQ(Export(), before);

  PC::ProviderObjects unnamed;
  EXPECT_EQ(PC::CreateProviderObjects(unnamed), PC::StoreError);
}

TEST_F(ProviderConfigTest, ChangesReachTheStoreOnlyAtCommit) {
  ASSERT_EQ(WriteProvider(FullSpec()), PC::Success);
  PC::ProviderObjects objects{.providerId = "prov1"};
  ASSERT_EQ(PC::LoadProviderObjects(objects), PC::Success);
  ASSERT_NE(objects.proxyServer, nullptr);
  ASSERT_EQ(objects.servers.size(), 2u);
  EXPECT_EQ(PC::SetMasterKeyId(objects, "master-8"), PC::Success);
  EXPECT_EQ(PC::SetProxyServer(objects, "", 0), PC::Success);
  EXPECT_EQ(objects.proxyServer, nullptr);
  EXPECT_EQ(PC::DeleteServers(objects), PC::Success);
  EXPECT_EQ(PC::AddServer(objects, "s9", "kmip9.example", 5696), PC::Success);
  EXPECT_EQ(PC::AddServer(objects, "s9", "dup.example", 5696), PC::StoreError);

  KmsInfo kms;
  ASSERT_EQ(PC::GetKmsInfo("prov1", kms), PC::Success);
  EXPECT_EQ(kms.masterKeyId, "master-7");
  EXPECT_EQ(kms.servers.size(), 2u);

  ASSERT_EQ(PC::CommitProviderObjects(objects), PC::Success);
  ASSERT_EQ(PC::GetKmsInfo("prov1", kms), PC::Success);
  EXPECT_EQ(kms.masterKeyId, "master-8");
  EXPECT_EQ(kms.proxyHost, "");
  EXPECT_EQ(kms.servers, (std::vector<ServerEntry>{{"s9", "kmip9.example", 5696}}));

  // A proxy added to a set without one, then changed in place.
  ASSERT_EQ(PC::SetProxyServer(objects, "p1", 8080), PC::Success);
  ASSERT_EQ(PC::SetProxyServer(objects, "p2", 8081), PC::Success);
  ASSERT_EQ(PC::CommitProviderObjects(objects), PC::Success);
  ASSERT_EQ(PC::GetKmsInfo("prov1", kms), PC::Success);
  EXPECT_EQ(kms.proxyHost, "p2");
  EXPECT_EQ(kms.proxyPort, 8081);
}

TEST_F(ProviderConfigTest, UnknownProviderIsNotFoundEverywhere) {
  ASSERT_EQ(WriteProvider(FullSpec()), PC::Success);
  const std::string before = Export();
  PC::ProviderInfo info;
  KmsInfo kms;
  std::string text;
  Har::Secret key;
  std::vector<std::string> list;
  EXPECT_EQ(PC::GetProviderInfo("nope", info), PC::NotFound);
  EXPECT_EQ(PC::GetKmsInfo("nope", kms), PC::NotFound);
  EXPECT_EQ(PC::GetKmsInfo("", kms), PC::NotFound);
  EXPECT_EQ(PC::GetProviderHosts("nope", true, true, list, text), PC::NotFound);
  EXPECT_EQ(PC::GetCredential("nope", key), PC::NotFound);
  EXPECT_EQ(PC::SetCredential("nope", "x"), PC::NotFound);
  EXPECT_EQ(PC::GetClientCertificate("nope", text, key), PC::NotFound);
  EXPECT_EQ(PC::SetClientCertificate("nope", "c", "k"), PC::NotFound);
  EXPECT_EQ(PC::GetClientCsr("nope", text, key), PC::NotFound);
  EXPECT_EQ(PC::SetClientCsr("nope", "c", "k"), PC::NotFound);
  EXPECT_EQ(PC::GetServerCertificates("nope", list), PC::NotFound);
  EXPECT_EQ(PC::SetServerCertificates("nope", {}), PC::NotFound);
  EXPECT_EQ(PC::DeleteProvider("nope"), PC::NotFound);
  PC::ProviderObjects objects{.providerId = "nope"};
  EXPECT_EQ(PC::LoadProviderObjects(objects), PC::NotFound);
  EXPECT_EQ(Export(), before);
}

TEST_F(ProviderConfigTest, DeleteRemovesOnlyItsProviderAndListsKeepStoreOrder) {
  for (const char* id : {"zeta", "alpha", "mid", "beta"}) {
    ProviderSpec spec = FullSpec();
    spec.id = id;
    ASSERT_EQ(WriteProvider(spec), PC::Success);
  }
  EXPECT_EQ(PC::DeleteProvider("alpha"), PC::Success);
  std::vector<std::string> ids;
  ASSERT_EQ(PC::ListProviderIds(ids), PC::Success);
  EXPECT_EQ(ids, (std::vector<std::string>{"zeta", "mid", "beta"}));
  std::vector<PC::ProviderSummary> summaries;
  ASSERT_EQ(PC::ListProviderSummaries(summaries), PC::Success);
  ASSERT_EQ(summaries.size(), 3u);
  EXPECT_EQ(summaries[1].provider, "mid");
}

// A stored provider damaged in one place cannot be read, yet it is still listed and its hosts
// (what the firewall needs to close again) can still be read.
TEST_F(ProviderConfigTest, DamagedProviderIsAStoreErrorButListed) {
  using Object = std::shared_ptr<OvikConfigStore::ConfigStoreObject>;
  const auto kmip = [](const Object& provider) {
    return provider->GetSubObject({"key_server"})->GetSubObject({"kmip_server"});
  };
  struct Damage {
    const char* what;
    std::function<void(const Object&)> damage;
  };
  const Damage damages[] = {
      {"no master key", [](const Object& p) { p->DeleteValue("master_key_id"); }},
      {"server without port",
       [&](const Object& p) {
         kmip(p)->GetSubObject({"servers", "s2"})->DeleteValue("port");
       }},
      {"unknown type",
       [](const Object& p) {
         p->GetSubObject({"key_server"})->SetValue("type", std::string("HSM"));
       }},
      {"certificate without key",
       [&](const Object& p) {
         kmip(p)->GetSubObject({"client_certificate"})->DeleteValue("private_key");
       }},
  };
  const TestCert client = MakeCert();
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    ASSERT_EQ(WriteProvider(FullSpec()), PC::Success);
    ASSERT_EQ(PC::SetClientCertificate("prov1", client.cert, client.key), PC::Success);
    const Object provider = Store()->Get(PC::ProviderObjectId("prov1"));
    d.damage(provider);
    Store()->Set(provider, nullptr);

    PC::ProviderInfo info;
    KmsInfo kms;
    std::vector<std::string> ids, hosts;
    std::string proxy;
    const std::string what = d.what;
    std::string cert;
    Har::Secret key;
    if (what == "certificate without key") {
      EXPECT_EQ(PC::GetClientCertificate("prov1", cert, key), PC::StoreError);
    } else {
      EXPECT_EQ(PC::GetProviderInfo("prov1", info), PC::StoreError);
    }
    if (what != "unknown type") {
      EXPECT_EQ(PC::GetKmsInfo("prov1", kms), PC::StoreError);
    }
    EXPECT_EQ(PC::ListProviderIds(ids), PC::Success);
    EXPECT_EQ(ids, std::vector<std::string>{"prov1"});
    EXPECT_EQ(PC::GetProviderHosts("prov1", true, true, hosts, proxy), PC::Success);
    ASSERT_EQ(PC::DeleteProvider("prov1"), PC::Success);
  }
}

TEST_F(ProviderConfigTest, ListedObjectWithoutItsIdentifierFailsTheWholeList) {
  // The store writes "provider" itself; only a damaged database row can lack it.
  for (const char* id : {"p0", "p1"}) {
    ASSERT_EQ(WriteProvider({.id = id}), PC::Success);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dbPath_.c_str(), &db), SQLITE_OK);
  const char* damage =
      "UPDATE objects SET body = replace(body, '\"provider\":\"p1\"', '\"other\":\"p1\"') WHERE "
      "instance = 'p1'";
  ASSERT_EQ(sqlite3_exec(db, damage, nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(sqlite3_changes(db), 1);
  sqlite3_close(db);

  std::vector<std::string> ids = {"untouched"};
  EXPECT_EQ(PC::ListProviderIds(ids), PC::StoreError);
  EXPECT_EQ(ids, std::vector<std::string>{"untouched"});
  std::vector<PC::ProviderSummary> summaries;
  EXPECT_EQ(PC::ListProviderSummaries(summaries), PC::StoreError);
  KmsInfo kms;
  EXPECT_EQ(PC::GetKmsInfo("p0", kms), PC::Success);
}

}  // namespace
