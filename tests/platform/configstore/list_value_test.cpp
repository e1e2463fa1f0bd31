// Reading one string value of every listed object: agrees with decoding the whole objects, keeps
// the store order, and rejects malformed rows. The change stamp callers keep answers by.
#include "test_util.h"

#include <gtest/gtest.h>

#include <optional>

namespace ConfigStoreTest {
namespace {

using Values = std::vector<std::optional<std::string>>;

// What ListStringValue must give: the value read from each wholly decoded object.
Values FromWholeObjects(ConfigStore& store, const std::shared_ptr<FilterSpecObject>& filter,
                        const std::string& name) {
  Values out;
  for (const auto& obj : store.List(filter)) {
    std::string v;
    out.push_back(obj->GetValue(name, v) ? std::optional(v) : std::nullopt);
  }
  return out;
}

using ListValueTest = StoreFixture;

TEST_F(ListValueTest, ProviderIdentifiersInStoreOrder) {
  for (const char* id : {"p2", "p0", "p1"}) {
    store_->Set(MakeProvider(id), nullptr);
  }
  store_->Set(MakeProvider("p2", 1), nullptr);  // replacing keeps the position
  EXPECT_EQ(store_->ListStringValue(kProvidersFilter, "provider"), (Values{"p2", "p0", "p1"}));
  auto one = std::make_shared<FilterSpecObject>(ProviderId("p0"));
  EXPECT_EQ(store_->ListStringValue(one, "master_key_id"), (Values{"mk-p0"}));
  auto none = std::make_shared<FilterSpecObject>(ConfigStoreObjectId("providers", "kms", "other"));
  EXPECT_TRUE(store_->ListStringValue(none, "provider").empty());
  EXPECT_THROW(store_->ListStringValue(nullptr, "provider"), ConfigStoreException);
}

TEST_F(ListValueTest, AgreesWithWholeObjectsForEveryKindOfValueAndName) {
  auto a = MakeProvider("a");
  a->SetValue("text", "s3cr\"et\\\n\x01 \xc3\xa9 },\"subObjects\":[");
  a->SetValue("empty", "");
  a->SetValue("number", int64_t{7});
  a->SetValue("list", std::vector<std::string>{"x"});
  a->SetValue("dotted.name[0]", "d");
  a->SetValue("quoted\"name", "q");
  a->SetValue("back\\slash", "b");
  a->SetValue("caf\xc3\xa9", "c");
  auto b = MakeProvider("b");
  b->SetValue("text", int64_t{1});  // same name, another type
  store_->Set(a, nullptr);
  store_->Set(b, nullptr);
  // "type" and "username" live only in sub-objects: not top-level values.
  for (const char* name :
       {"text", "empty", "number", "list", "dotted.name[0]", "quoted\"name", "back\\slash",
        "caf\xc3\xa9", "absent", "type", "username", "", "dotted"}) {
    EXPECT_EQ(store_->ListStringValue(kProvidersFilter, name),
              FromWholeObjects(*store_, kProvidersFilter, name))
        << name;
  }
  EXPECT_EQ(store_->ListStringValue(kProvidersFilter, "text").front(),
            "s3cr\"et\\\n\x01 \xc3\xa9 },\"subObjects\":[");
  EXPECT_EQ(store_->ListStringValue(kProvidersFilter, std::string(5000, 'n')),
            (Values{std::nullopt, std::nullopt}));
}

// Repeated lists may be answered from the last one, by the change stamp: every write, whoever
// makes it, moves the stamp and shows in the next answer; reads and failed writes move nothing.
TEST_F(ListValueTest, EveryWriteMovesTheStampAndShowsInTheNextAnswer) {
  store_->Set(MakeProvider("p0"), nullptr);
  auto keys = [&] { return store_->ListStringValue(kProvidersFilter, "master_key_id"); };
  uint64_t stamp = store_->ChangeStamp();
  auto moved = [&] {
    const uint64_t now = store_->ChangeStamp();
    const bool moved = now != stamp;
    stamp = now;
    return moved && store_->ChangeStamp() == now;
  };
  EXPECT_EQ(keys(), (Values{"mk-p0"}));
  store_->Get(ProviderId("p0"));
  store_->List(kProvidersFilter);
  EXPECT_FALSE(store_->Delete(ProviderId("absent")));
  EXPECT_THROW(store_->Update(MakeProvider("absent"), nullptr), ConfigStoreException);
  EXPECT_FALSE(moved());

  auto one = std::make_shared<FilterSpecObject>(ProviderId("p1"));
  EXPECT_TRUE(store_->ListStringValue(one, "provider").empty());
  ConfigStore::Open(path_)->Set(MakeProvider("p1"), nullptr);  // another connection
  EXPECT_TRUE(moved());
  EXPECT_EQ(keys(), (Values{"mk-p0", "mk-p1"}));
  EXPECT_EQ(store_->ListStringValue(one, "provider"), (Values{"p1"}));
  ASSERT_TRUE(store_->Delete(ProviderId("p0")));  // this store's own writes
  EXPECT_TRUE(moved());
  EXPECT_EQ(keys(), (Values{"mk-p1"}));
  auto p1 = store_->Get(ProviderId("p1"));
  p1->SetValue("master_key_id", "changed");
  store_->Update(p1, nullptr);
  EXPECT_TRUE(moved());
  EXPECT_EQ(keys(), (Values{"changed"}));
  ExecSql(path_, "UPDATE objects SET body = replace(body, 'changed', 'raw')");
  EXPECT_TRUE(moved());
  EXPECT_EQ(keys(), (Values{"raw"}));
  // A row that lost the value gives nothing at its position; one that cannot be read throws.
  ExecSql(path_, "UPDATE objects SET body = replace(body, 'master_key_id', 'other')");
  EXPECT_EQ(keys(), (Values{std::nullopt}));
  ExecSql(path_, "UPDATE objects SET body = '[]'");
  EXPECT_THROW(keys(), ConfigStoreException);
  EXPECT_THROW(keys(), ConfigStoreException);
}

TEST_F(ListValueTest, MalformedRowsThrowNamingTheObject) {
  store_->Set(MakeProvider("good"), nullptr);
  store_->Set(MakeProvider("p"), nullptr);
  for (const char* body : {"'{\"values\":{}'", "'[]'", "'{\"values\":[],\"subObjects\":[]}'",
                           "'{\"values\":{},\"subObjects\":{}}'", "x'00ff'", "42", "''",
                           "'{\"values\":{\"provider\":\"\xff\"},\"subObjects\":[]}'"}) {
    ExecSql(path_, std::string("UPDATE objects SET body=") + body + " WHERE instance='p'");
    try {
      store_->ListStringValue(kProvidersFilter, "provider");
      ADD_FAILURE() << "listed a malformed row: " << body;
    } catch (const ConfigStoreException& e) {
      EXPECT_NE(std::string(e.what()).find("providers/kms/ovik[p]"), std::string::npos) << e.what();
    }
    EXPECT_THROW(store_->ListStringValue(kProvidersFilter, "quoted\"name"), ConfigStoreException)
        << body;
  }
}

}  // namespace
}  // namespace ConfigStoreTest
