// Helpers shared by the configuration-store tests: a store on a temporary file, sample objects
// and direct SQL on the database file.
#pragma once

#include <test_temp_dir.h>

#include <configstore/configstore.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

namespace ConfigStoreTest {

using namespace OvikConfigStore;

using TestSupport::TempDir;

inline ConfigStoreObjectId ProviderId(const std::string& instance) {
  ConfigStoreObjectId id("providers", "kms", "ovik");
  id.instance = instance;
  return id;
}

// A provider shaped like the daemon's: key_server / kmip_server / servers instances.
inline std::shared_ptr<ConfigStoreObject> MakeProvider(const std::string& name, int servers = 2) {
  auto p = std::make_shared<ConfigStoreObject>(ProviderId(name));
  p->SetValue("master_key_id", "mk-" + name);
  auto ks = p->CreateSubObject(SubObjectId("key_server"));
  ks->SetValue("type", "KMIP");
  ks->SetValue("connection_timeout", int64_t{30});
  ks->SetValue("server_cert", std::vector<std::string>{"-----BEGIN CERTIFICATE-----\nAA==\n", ""});
  auto kmip = ks->CreateSubObject(SubObjectId("kmip_server"));
  kmip->SetValue("username", "user");
  kmip->SetValue("credential", "s3cr\"et\\\n\x01 \xc3\xa9");
  for (int i = 0; i < servers; ++i) {
    const std::string s = "s" + std::to_string(i);
    auto srv = kmip->CreateSubObject(SubObjectId("servers", s));
    srv->SetValue("name", s);
    srv->SetValue("hostname", "10.0.0." + std::to_string(i));
    srv->SetValue("port", int64_t{5696 + i});
  }
  return p;
}

// Runs SQL on the database file directly, as damage from outside would.
inline void ExecSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// Same identifier, values and sub-objects (recursively, in order).
inline bool SameObject(const ConfigStoreObject& a, const ConfigStoreObject& b) {
  if (!(a.GetConfigStoreObjectId() == b.GetConfigStoreObjectId()) || a.Values() != b.Values() ||
      a.SubObjects().size() != b.SubObjects().size()) {
    return false;
  }
  for (size_t i = 0; i < a.SubObjects().size(); ++i) {
    if (!SameObject(*a.SubObjects()[i], *b.SubObjects()[i])) {
      return false;
    }
  }
  return true;
}

// Every provider of the daemon's component.
inline const auto kProvidersFilter =
    std::make_shared<FilterSpecObject>(ConfigStoreObjectId("providers", "kms", "ovik"));

// A store on a new file in a temporary directory.
class StoreFixture : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.File("ovik.db");
  std::shared_ptr<ConfigStore> store_ = ConfigStore::Open(path_);
};

inline std::vector<std::string> Instances(const ConfigStore::ObjectList& list) {
  std::vector<std::string> out;
  for (const auto& o : list) {
    out.push_back(o->GetConfigStoreObjectId().instance);
  }
  return out;
}

}  // namespace ConfigStoreTest
