// The provider schema of an import text: each required member and type, named with its provider
// and path, and what a valid text holds.
#include "configstore/provider_schema.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace PC = Zyld::ProviderConfig;

const std::string kServer =
    R"({"name":"servers","instance":"s1","values":{"name":"s1","hostname":"kms1","port":5696},)"
    R"("subObjects":[]},)";
const std::string kValid =
    R"({"format":"ovik-configstore-export","version":1,"selection":{"key":"providers",)"
    R"("group":"kms","component":"ovik"},"objects":[{"key":"providers","group":"kms",)"
    R"("component":"ovik","instance":"p1","values":{"master_key_id":"mk","provider":"p1"},)"
    R"("subObjects":[{"name":"key_server","instance":"","values":{"type":"KMIP",)"
    R"("connection_timeout":30},"subObjects":[{"name":"proxy_server","instance":"",)"
    R"("values":{"hostname":"proxy","port":443},"subObjects":[]},{"name":"kmip_server",)"
    R"("instance":"","values":{"username":"u","credential":"pw"},"subObjects":[)" +
    kServer +
    R"({"name":"client_certificate","instance":"","values":{"certificate":"C",)"
    R"("private_key":"K"},"subObjects":[]}]}]}]}]})";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(ProviderSchemaTest, EveryBrokenMemberIsNamed) {
  PC::ProvidersText valid;
  ASSERT_EQ(PC::CheckProvidersText(kValid, PC::OtherSelections::Refuse, valid), std::nullopt);
  EXPECT_EQ(valid.providers, std::vector<std::string>{"p1"});
  EXPECT_EQ(valid.hosts, (std::vector<std::string>{"proxy", "kms1"}));
  const std::string servers = "key_server.kmip_server.servers";
  const struct {
    std::string from, to, member;
  } cases[] = {
      {R"("port":5696)", R"("port":"5696")", servers + "[s1].port"},
      {R"("port":443)", R"("port":65536)", "key_server.proxy_server.port"},
      {R"("hostname":"kms1")", R"("hostname":"a b")", servers + "[s1].hostname"},
      {R"("name":"s1",)", "", servers + "[s1].name"},
      {kServer, "", servers},
      {R"("master_key_id":"mk",)", "", "master_key_id"},
      {R"("type":"KMIP")", R"("type":"kmip")", "key_server.type"},
      {R"("connection_timeout":30)", R"("connection_timeout":"30")",
       "key_server.connection_timeout"},
      {R"("private_key":"K")", R"("private_key":["K"])",
       "key_server.kmip_server.client_certificate.private_key"},
      {R"("name":"kmip_server","instance":"")", R"("name":"kmip_server","instance":"x")",
       "key_server.kmip_server"},
      {R"("name":"key_server")", R"("name":"key_server2")", "key_server"},
  };
  for (const auto& c : cases) {
    PC::ProvidersText found;
    const auto problem =
        PC::CheckProvidersText(Replace(kValid, c.from, c.to), PC::OtherSelections::Pass, found);
    ASSERT_TRUE(problem) << c.to;
    EXPECT_EQ(problem->provider, "p1");
    EXPECT_EQ(problem->member, c.member) << c.to;
    EXPECT_TRUE(found.hosts.empty());
  }
}

TEST(ProviderSchemaTest, OtherTextsAreRefusedOnlyWhenProvidersAreRequired) {
  const std::string other = Replace(kValid, R"("key":"providers","group":"kms",)",
                                    R"("key":"zyld_config","group":"kms",)");
  for (const std::string& text : {other, std::string("not json"), std::string("[]")}) {
    PC::ProvidersText found;
    const auto refused = PC::CheckProvidersText(text, PC::OtherSelections::Refuse, found);
    ASSERT_TRUE(refused) << text;
    EXPECT_TRUE(refused->provider.empty());
    EXPECT_EQ(PC::CheckProvidersText(text, PC::OtherSelections::Pass, found), std::nullopt);
  }
}

}  // namespace
