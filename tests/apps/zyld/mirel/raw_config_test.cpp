// The raw configuration service on a real store with the in-memory firewall backend: who may read
// the text, and an import that is checked before anything changes and keeps the firewall to
// exactly the stored hosts (opened before the import, closed after it or when it fails).
#include "mirel/raw_config_impl.h"

#include "service_fixture.h"

#include <ironveil-common/gzip.h>
#include <mirel/errors.h>

namespace {

namespace PC = Zyld::ProviderConfig;
namespace Raw = Com::Velora::Ovik::Kms::RawConfigSvc;
namespace Prov = Com::Velora::Ovik::Kms::ProvidersSvc;
namespace Gzip = Brask::Common::Gzip;
using Hosts = std::set<std::string>;
using Bytes = std::vector<uint8_t>;
using namespace Mirel::ErrorTypes;

class RawConfigTest : public ZyldTest::FirewallStoreTest {
 protected:
  // Runs one call as a caller holding `entitlement`, to completion.
  template <class T, class Call>
  static Mirel::MethodResult Run(Call&& call, const char* entitlement = "KMS_ADMIN") {
    return ZyldTest::RunCall<T>(std::forward<Call>(call), entitlement);
  }
  Mirel::MethodResult Get(std::optional<Raw::InfoType> type,
                          const char* entitlement = "KMS_ADMIN") {
    return Run<Raw::Info>([&](auto r) { raw_.Get(type, std::move(r)); }, entitlement);
  }
  Mirel::MethodResult Set(const Bytes& bytes) {
    return Run<void>([&](auto r) { raw_.Set(bytes, std::move(r)); });
  }
  Mirel::MethodResult Create(const std::string& id, const std::vector<std::string>& hosts) {
    return Run<void>(
        [&](auto r) { providers_.Create(ZyldTest::CreateSpecFor(id, hosts), std::move(r)); });
  }
  static Bytes Compress(const std::string& text) {
    Bytes bytes;
    EXPECT_TRUE(Gzip::CompressFromString(text, bytes));
    return bytes;
  }
  // The stored providers compressed (with their text in `text`).
  static Bytes Stored(std::string& text) {
    std::string hash;
    EXPECT_EQ(PC::ExportProviders(text, hash), PC::Success);
    return Compress(text);
  }
  static void ExpectError(const Mirel::MethodResult& r, std::string_view type,
                          const std::string& firstId) {
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.error->type, type);
    ASSERT_FALSE(r.error->messages.empty());
    EXPECT_EQ(r.error->messages[0].id, firstId);
  }

  Zyld::State::Providers registry_;
  Prov::ProvidersImpl providers_{registry_};
  Raw::RawConfigImpl raw_{registry_};
};

TEST_F(RawConfigTest, OnlyAdministratorsReadTheText) {
  ASSERT_FALSE(Create("A", {"a"}).IsError());
  std::string text, hash;
  ASSERT_EQ(PC::ExportProviders(text, hash), PC::Success);

  const Mirel::MethodResult admin = Get(Raw::InfoType::CONFIGURATION);
  ASSERT_FALSE(admin.IsError());
  EXPECT_EQ(admin.value->at("hash").as_string(), hash);
  EXPECT_FALSE(admin.value->at("configuration").as_string().empty());

  ExpectError(Get(Raw::InfoType::CONFIGURATION, "KMS_READ"), kUnauthorized,
              "com.velora.mirel.std.errors.unauthorized");
  for (const std::optional<Raw::InfoType>& type :
       {std::optional(Raw::InfoType::HASH), std::optional<Raw::InfoType>()}) {
    const Mirel::MethodResult reader = Get(type, "KMS_READ");
    ASSERT_FALSE(reader.IsError());
    EXPECT_EQ(reader.value->at("hash").as_string(), hash);
    const boost::json::value* text = reader.value->as_object().if_contains("configuration");
    EXPECT_TRUE(text == nullptr || text->is_null());
  }
  ExpectError(Get(Raw::InfoType::UNKNOWN), kInvalidArgument,
              "com.velora.ovik.kms.raw_config.unknown_infotype");
}

TEST_F(RawConfigTest, ImportReplacesProvidersAndFirewallRules) {
  ASSERT_FALSE(Create("A", {"a", "s"}).IsError());
  std::string text;
  const Bytes blob = Stored(text);
  ASSERT_FALSE(Run<void>([&](auto r) { providers_.Delete("A", std::move(r)); }).IsError());
  ASSERT_FALSE(Create("C", {"c", "s"}).IsError());
  EXPECT_EQ(Rules(), (Hosts{"c", "s"}));

  ASSERT_FALSE(Set(blob).IsError());
  EXPECT_EQ(Export(), text);
  EXPECT_EQ(Rules(), (Hosts{"a", "s"}));
}

TEST_F(RawConfigTest, RefusedImportsChangeNothing) {
  ASSERT_FALSE(Create("A", {"a"}).IsError());
  std::string text;
  Stored(text);
  std::string moved = text;
  moved.replace(moved.find("\"a\""), 3, "\"b\"");  // the server's host name
  std::string portAsText = moved;
  portAsText.replace(portAsText.find("5696"), 4, "\"5696\"");
  std::string storeRefuses = moved;
  storeRefuses.replace(storeRefuses.find("\"version\":1"), 11, "\"version\":9");
  const std::string invalid = "com.velora.ovik.kms.providers.invalid_argument";

  ExpectError(Set({}), kInvalidArgument, invalid);
  ExpectError(Set({0x1f, 0x8b, 0x08}), kInvalidArgument, invalid);
  const Mirel::MethodResult schema = Set(Compress(portAsText));
  ExpectError(schema, kInvalidArgument, invalid);
  ASSERT_EQ(schema.error->messages.size(), 2u);
  EXPECT_EQ(schema.error->messages[1].args,
            (std::map<std::string, std::string>{
                {"provider", "A"}, {"member", "key_server.kmip_server.servers[n-a].port"}}));
  ExpectError(Set(Compress(storeRefuses)), kError,
              "com.velora.ovik.kms.raw_config.config_store_error");
  backend_->failAfter = 0;
  ExpectError(Set(Compress(moved)), kError, "com.velora.ovik.kms.providers.firewall_error");

  std::string after;
  Stored(after);
  EXPECT_EQ(after, text);
  EXPECT_EQ(Rules(), Hosts{"a"});
}

}  // namespace
