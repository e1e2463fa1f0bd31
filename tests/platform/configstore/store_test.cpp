// The store on a real SQLite file: round trips, order, store-set values, errors, concurrency.
#include "test_util.h"

#include <harlibs/secure.h>

#include <gtest/gtest.h>
#include <test_wipes.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace ConfigStoreTest {
namespace {

using StoreTest = StoreFixture;

TEST_F(StoreTest, WholeObjectRoundTripsThroughAnotherConnection) {
  auto p = MakeProvider("p1", 3);
  p->SetValue("empty", "");
  p->SetValue("nul", std::string("a\0b", 3));
  p->SetValue("min", INT64_MIN);
  p->SetValue("none", std::vector<std::string>{});
  auto kmip = p->GetSubObject(SubObjectId("key_server"))->GetSubObject(SubObjectId("kmip_server"));
  for (const char* s : {"zeta", "alpha"}) {  // sub-object instances keep their order
    kmip->CreateSubObject(SubObjectId("servers", s));
  }
  int result = -1;
  store_->Set(p, &result);
  EXPECT_EQ(result, 0);

  auto other = ConfigStore::Open(path_);  // a second connection, as the tool would have
  auto back = other->Get(ProviderId("p1"));
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(SameObject(*p, *back));
  EXPECT_EQ(other->Get(ProviderId("p2")), nullptr);
  EXPECT_EQ(other->Get(ConfigStoreObjectId("providers", "kms", "other", "p1")), nullptr);

  back->SetValue("master_key_id", "changed");  // a handle is a copy until written
  std::string mk;
  ASSERT_TRUE(store_->Get(ProviderId("p1"))->GetValue("master_key_id", mk));
  EXPECT_EQ(mk, "mk-p1");
  other->Update(back, nullptr);
  ASSERT_TRUE(store_->Get(ProviderId("p1"))->GetValue("master_key_id", mk));
  EXPECT_EQ(mk, "changed");
}

TEST_F(StoreTest, FileAndDirectoryAreCreatedPrivate) {
  const std::string path = dir_.File("sub/dir/ovik.db");
  auto store = ConfigStore::Open(path);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(dir_.File("sub/dir").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  store->Set(MakeProvider("p"), nullptr);  // the journal holds the same secrets
  ASSERT_EQ(::stat((path + "-wal").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(StoreTest, StoreOrderIsInsertionOrderAndRewritesKeepPosition) {
  for (const char* name : {"c", "a", "b"}) {
    store_->Set(MakeProvider(name), nullptr);
  }
  store_->Set(
      std::make_shared<ConfigStoreObject>(ConfigStoreObjectId("providers", "kms", "x", "z")),
      nullptr);
  auto a = store_->Get(ProviderId("a"));
  a->SetValue("master_key_id", "new");
  store_->Set(a, nullptr);
  store_->Update(store_->Get(ProviderId("c")), nullptr);
  EXPECT_EQ(Instances(store_->List(kProvidersFilter)), (std::vector<std::string>{"c", "a", "b"}));
  EXPECT_EQ(Instances(store_->GetDesiredUserConfigInstances(ProviderId("ignored"))),
            (std::vector<std::string>{"c", "a", "b"}));
  EXPECT_EQ(Instances(store_->List(std::make_shared<FilterSpecObject>(ProviderId("b")))),
            std::vector<std::string>{"b"});

  EXPECT_TRUE(store_->Delete(ProviderId("a")));
  EXPECT_FALSE(store_->Delete(ProviderId("a")));
  store_->Set(MakeProvider("a"), nullptr);  // re-created: goes to the end
  EXPECT_EQ(Instances(store_->List(kProvidersFilter)), (std::vector<std::string>{"c", "b", "a"}));
}

TEST_F(StoreTest, ProvidersCarryTheirInstanceAsProviderValue) {
  auto p = MakeProvider("p1");
  p->SetValue("provider", "forged");
  store_->Set(p, nullptr);
  std::string v;
  ASSERT_TRUE(store_->Get(ProviderId("p1"))->GetValue("provider", v));
  EXPECT_EQ(v, "p1");
  auto other = std::make_shared<ConfigStoreObject>(
      ConfigStoreObjectId("certificate", "attestation", "ovik"));
  store_->Set(other, nullptr);
  EXPECT_FALSE(store_->Get(other->GetConfigStoreObjectId())->GetValue("provider", v));
}

TEST_F(StoreTest, UnstorableObjectsAreRefusedWithoutChangingTheStore) {
  store_->Set(MakeProvider("p"), nullptr);
  auto bad = MakeProvider("p");
  bad->SetValue("master_key_id", "\xff\xfe");
  EXPECT_THROW(store_->Set(bad, nullptr), ConfigStoreException);
  auto deep = MakeProvider("p");
  auto node = deep;
  for (int i = 0; i < 40; ++i) {
    node = node->CreateSubObject(SubObjectId("n"));
  }
  EXPECT_THROW(store_->Set(deep, nullptr), ConfigStoreException);
  EXPECT_THROW(
      store_->Set(std::make_shared<ConfigStoreObject>(ConfigStoreObjectId("", "g", "c")), nullptr),
      ConfigStoreException);
  EXPECT_THROW(store_->Update(MakeProvider("absent"), nullptr), ConfigStoreException);
  EXPECT_EQ(store_->Get(ProviderId("absent")), nullptr);
  EXPECT_TRUE(SameObject(
      *store_->Get(ProviderId("p")), *[] {
        auto p = MakeProvider("p");
        p->SetValue("provider", "p");
        return p;
      }()));
}

TEST_F(StoreTest, BootStatusIsRecordedForTheCurrentBoot) {
  const ConfigStoreObjectId zyld("zyld_config", "kms", "ovik");
  EXPECT_FALSE(store_->IsRestoredThisBoot(zyld));
  store_->SetBootStatus(zyld, true);
  EXPECT_TRUE(ConfigStore::Open(path_)->IsRestoredThisBoot(zyld));
  EXPECT_FALSE(store_->IsRestoredThisBoot(ProviderId("p")));
  ExecSql(path_, "UPDATE boot_status SET boot_id='00000000-0000-0000-0000-000000000000'");
  EXPECT_FALSE(store_->IsRestoredThisBoot(zyld));  // recorded during another boot
}

TEST_F(StoreTest, CorruptRowsGiveExceptionsNotCrashes) {
  store_->Set(MakeProvider("p"), nullptr);
  for (const char* body : {"'{\"values\":{}'", "'[]'",
                           "'{\"values\":{\"x\":1.5},\"subObjects\":[]}'", "x'00ff'", "42"}) {
    ExecSql(path_, std::string("UPDATE objects SET body=") + body);
    EXPECT_THROW(store_->Get(ProviderId("p")), ConfigStoreException) << body;
    EXPECT_THROW(store_->List(kProvidersFilter), ConfigStoreException) << body;
  }
}

size_t BodyLength(const std::string& path, const std::string& instance) {
  sqlite3* db = nullptr;
  sqlite3_stmt* statement = nullptr;
  size_t length = 0;
  const std::string sql = "SELECT length(CAST(body AS BLOB)) FROM objects WHERE instance=?1";
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
      sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_bind_text(statement, 1, instance.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    length = static_cast<size_t>(sqlite3_column_int64(statement, 0));
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return length;
}

// Bodies hold credentials: one that fails to decode still leaves no other body unwiped.
TEST_F(StoreTest, ListingWipesEveryBodyAlsoWhenARowIsCorrupt) {
  store_->Set(MakeProvider("p"), nullptr);
  store_->Set(MakeProvider("q"), nullptr);
  ExecSql(path_, "UPDATE objects SET body='[]' WHERE instance='p'");
  const size_t length = BodyLength(path_, "q");
  ASSERT_GT(length, 0u);
  TestSupport::WipeRecorder recorder;
  EXPECT_THROW(store_->List(kProvidersFilter), ConfigStoreException);
  EXPECT_TRUE(recorder.Saw([&](const TestSupport::Wipe& w) { return w.size == length; }));
}

TEST_F(StoreTest, CorruptDatabaseFileIsRejected) {
  const std::string bad = dir_.File("bad.db");
  std::ofstream(bad) << std::string(8192, 'Z');
  try {
    ConfigStore::Open(bad);
    FAIL() << "opened a corrupt file";
  } catch (const ConfigStoreException& e) {
    EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
  }
  ExecSql(dir_.File("newer.db"), "PRAGMA user_version=7");
  EXPECT_THROW(ConfigStore::Open(dir_.File("newer.db")), ConfigStoreException);
}

// Opens a read-only database; as root the check runs in a child that gives up its privileges.
TEST_F(StoreTest, ReadOnlyDatabaseIsRejected) {
  store_.reset();
  ::chmod(dir_.Path().c_str(), 0755);
  ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
  auto attempt = [&] {
    try {
      ConfigStore::Open(path_);
    } catch (const ConfigStoreException& e) {
      return std::string(e.what()).find(path_) != std::string::npos;
    }
    return false;
  };
  if (::geteuid() != 0) {
    EXPECT_TRUE(attempt());
    return;
  }
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
    ::_exit(dropped && attempt() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(StoreTest, ConcurrentReadersAndWritersSeeWholeObjects) {
  auto second = ConfigStore::Open(path_);
  store_->Set(MakeProvider("shared"), nullptr);
  std::atomic<bool> torn{false};
  std::atomic<int> failures{0};
  auto writer = [&](std::shared_ptr<ConfigStore> store, int id) {
    for (int i = 0; i < 60; ++i) {
      auto p = MakeProvider("shared", 1 + (i % 3));
      const std::string version = std::to_string(id) + ":" + std::to_string(i);
      p->SetValue("master_key_id", version);
      p->GetSubObject(SubObjectId("key_server"))->SetValue("description", version);
      try {
        store->Set(p, nullptr);
        store->Set(MakeProvider("w" + std::to_string(id) + "-" + std::to_string(i)), nullptr);
      } catch (const ConfigStoreException&) {
        ++failures;
      }
    }
  };
  auto reader = [&](std::shared_ptr<ConfigStore> store) {
    for (int i = 0; i < 150; ++i) {
      auto p = store->Get(ProviderId("shared"));
      std::string a, b;
      if (!p || !p->GetValue("master_key_id", a)) {
        torn = true;
        continue;
      }
      p->GetSubObject(SubObjectId("key_server"))->GetValue("description", b);
      if (a != "mk-shared" && a != b) {
        torn = true;
      }
      store->List(kProvidersFilter);
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(writer, store_, 1);
  threads.emplace_back(writer, second, 2);
  threads.emplace_back(reader, store_);
  threads.emplace_back(reader, second);
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_FALSE(torn);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(store_->List(kProvidersFilter).size(), 121u);
}

// Another writer replaces the file: removes it with its WAL and shared-memory files and creates a
// new one, which it keeps open. Until then the store keeps its open file; afterwards its next
// read follows the path, and closing the old file leaves the new file's WAL in place.
TEST_F(StoreTest, ReplacedFileIsReopenedAtTheNextRead) {
  store_->Set(MakeProvider("old"), nullptr);
  const uint64_t stamp = store_->ChangeStamp();
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::filesystem::remove(path_ + suffix);
  }
  EXPECT_NE(store_->Get(ProviderId("old")), nullptr);

  auto writer = ConfigStore::Open(path_);
  writer->Set(MakeProvider("new"), nullptr);
  EXPECT_EQ(store_->Get(ProviderId("old")), nullptr);
  EXPECT_NE(store_->Get(ProviderId("new")), nullptr);
  EXPECT_NE(store_->ChangeStamp(), stamp);
  EXPECT_EQ(store_->FileOpens(), 2u);
  EXPECT_NE(ConfigStore::Open(path_)->Get(ProviderId("new")), nullptr);
}

}  // namespace
}  // namespace ConfigStoreTest
