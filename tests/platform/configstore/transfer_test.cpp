// Export text and import: canonical form, identity, replacement of the selection, all or nothing.
#include "test_util.h"

#include <gtest/gtest.h>

namespace ConfigStoreTest {
namespace {

const std::string kCanonical =
    R"({"format":"ovik-configstore-export","version":1,"selection":{"key":"providers","group":"kms","component":"ovik"},)"
    R"("objects":[{"key":"providers","group":"kms","component":"ovik","instance":"prov1",)"
    R"("values":{"master_key_id":"1","provider":"prov1"},)"
    R"("subObjects":[{"name":"key_server","instance":"",)"
    R"("values":{"connection_timeout":30,"server_cert":["-----BEGIN CERTIFICATE-----\n..."],"type":"KMIP"},)"
    R"("subObjects":[{"name":"kmip_server","instance":"","values":{"username":"u"},)"
    R"("subObjects":[{"name":"servers","instance":"s1",)"
    R"("values":{"hostname":"127.0.0.1","name":"s1","port":5696},"subObjects":[]}]}]}]}]})";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const auto pos = text.find(from);
  EXPECT_NE(pos, std::string::npos) << from;
  return pos == std::string::npos ? text : text.replace(pos, from.size(), to);
}

using TransferTest = StoreFixture;

TEST_F(TransferTest, ExportNeedsOneSelectionWithoutInstance) {
  EXPECT_THROW(store_->Export({}), ConfigStoreException);
  EXPECT_THROW(store_->Export({kProvidersFilter, kProvidersFilter}), ConfigStoreException);
  EXPECT_THROW(store_->Export({std::make_shared<FilterSpecObject>(ProviderId("p"))}),
               ConfigStoreException);
  EXPECT_THROW(store_->Export({nullptr}), ConfigStoreException);
}

TEST_F(TransferTest, ImportReplacesTheSelectionAndExportGivesTheTextBack) {
  for (const char* name : {"a", "b", "c"}) {
    store_->Set(MakeProvider(name), nullptr);
  }
  const ConfigStoreObjectId outside("providers", "kms", "elsewhere", "a");
  store_->Set(std::make_shared<ConfigStoreObject>(outside), nullptr);

  // Text built by another store holding c (changed) then d: the new store order follows the text.
  auto source = ConfigStore::Open(dir_.File("source.db"));
  auto c = MakeProvider("c", 1);
  c->SetValue("master_key_id", "other");
  source->Set(c, nullptr);
  source->Set(MakeProvider("d"), nullptr);
  const std::string text = source->Export({kProvidersFilter});

  std::vector<ErrorInfo> errors;
  ASSERT_TRUE(store_->Import(text, errors));
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(store_->Export({kProvidersFilter}), text);
  EXPECT_EQ(Instances(store_->GetDesiredUserConfigInstances(ProviderId(""))),
            (std::vector<std::string>{"c", "d"}));
  EXPECT_TRUE(SameObject(*store_->Get(ProviderId("c")), *source->Get(ProviderId("c"))));
  EXPECT_NE(store_->Get(outside), nullptr);

  ASSERT_TRUE(store_->Import(kCanonical, errors));
  EXPECT_EQ(store_->Export({kProvidersFilter}), kCanonical);

  // The store sets "provider" itself, whatever the text says.
  ASSERT_TRUE(
      store_->Import(Replace(kCanonical, R"("provider":"prov1")", R"("provider":"x")"), errors));
  EXPECT_EQ(store_->Export({kProvidersFilter}), kCanonical);

  const std::string none =
      Replace(kCanonical, kCanonical.substr(kCanonical.find("[{\"key\"")), "[]}");
  ASSERT_TRUE(store_->Import(none, errors));
  EXPECT_TRUE(store_->GetDesiredUserConfigInstances(ProviderId("")).empty());
  EXPECT_EQ(store_->Export({kProvidersFilter}), none);
}

TEST_F(TransferTest, RejectedTextsChangeNothing) {
  store_->Set(MakeProvider("keep"), nullptr);
  const std::string before = store_->Export({kProvidersFilter});
  std::string deep = R"({"name":"n","instance":"","values":{},"subObjects":[]})";
  for (int i = 0; i < 40; ++i) {
    deep = R"({"name":"n","instance":"","values":{},"subObjects":[)" + deep + "]}";
  }
  const std::string sub = R"("subObjects":[{"name":"key_server")";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"not JSON", "{\"format\":"},
      {"trailing bytes", kCanonical + "x"},
      {"not an object", "[]"},
      {"format", Replace(kCanonical, "ovik-configstore-export", "other-export")},
      {"version", Replace(kCanonical, R"("version":1)", R"("version":2)")},
      {"version type", Replace(kCanonical, R"("version":1)", R"("version":"1")")},
      {"selection member", Replace(kCanonical, R"(,"component":"ovik"},)", "},")},
      {"empty selection key",
       Replace(kCanonical, R"({"key":"providers","group")", R"({"key":"","group")")},
      {"unknown member", Replace(kCanonical, R"("version":1,)", R"("version":1,"extra":0,)")},
      {"outside selection",
       Replace(kCanonical, R"("component":"ovik","instance")", R"("component":"x","instance")")},
      {"double", Replace(kCanonical, "5696", "5696.5")},
      {"too big", Replace(kCanonical, "5696", "9223372036854775808")},
      {"bool", Replace(kCanonical, R"("username":"u")", R"("username":true)")},
      {"object value", Replace(kCanonical, R"("username":"u")", R"("username":{})")},
      {"array element", Replace(kCanonical, R"(["-----BEGIN)", R"([1,"-----BEGIN)")},
      {"empty value name", Replace(kCanonical, R"("username":"u")", R"("":"u")")},
      {"sub-object members",
       Replace(kCanonical, R"("port":5696},"subObjects":[])", R"("port":5696}})")},
      {"sub-object name", Replace(kCanonical, sub, R"("subObjects":[{"name":"")")},
      {"duplicate sub-object",
       Replace(
           kCanonical, R"("subObjects":[]})",
           R"("subObjects":[]},{"name":"servers","instance":"s1","values":{},"subObjects":[]})")},
      {"duplicate object",
       Replace(
           kCanonical, "]}]}]}]}",
           R"(]}]}]}]},{"key":"providers","group":"kms","component":"ovik","instance":"prov1","values":{},"subObjects":[]})")},
      {"too deep", Replace(kCanonical, R"("subObjects":[]})", R"("subObjects":[)" + deep + "]}")},
      {"invalid UTF-8", Replace(kCanonical, R"("username":"u")", "\"username\":\"\xc3\x28\"")},
      {"too large", Replace(kCanonical, R"("username":"u")",
                            "\"username\":\"" + std::string(17u << 20, 'a') + "\"")},
  };
  for (const auto& [name, text] : cases) {
    std::vector<ErrorInfo> errors;
    EXPECT_FALSE(store_->Import(text, errors)) << name;
    EXPECT_FALSE(errors.empty()) << name;
    EXPECT_EQ(store_->Export({kProvidersFilter}), before) << name;
  }
}

}  // namespace
}  // namespace ConfigStoreTest
