// The providers service on a real store with the in-memory firewall backend: input checks and
// their parameter paths, defaults and round trips, the store results, and the firewall kept to
// exactly the stored hosts through creates, updates and deletes (undone when the backend fails).
#include "mirel/providers_impl.h"

#include "service_fixture.h"

#include <mirel/errors.h>

namespace {

using namespace Com::Velora::Ovik::Kms::ProvidersSvc;
using Hosts = std::set<std::string>;
using ZyldTest::CreateSpecFor;
using ZyldTest::ExpectError;
using namespace Mirel::ErrorTypes;

UpdateSpec ProxyUpdate(const std::string& proxy) {
  UpdateSpec spec;
  spec.keyServer.emplace();
  spec.keyServer->proxyServer = NetworkAddress{proxy, std::nullopt};
  return spec;
}

UpdateSpec ServersUpdate(const std::vector<std::string>& hosts) {
  UpdateSpec spec;
  spec.keyServer.emplace().kmipServer.emplace().servers.emplace();
  for (const std::string& host : hosts) {
    spec.keyServer->kmipServer->servers->push_back({"n-" + host, {host, std::nullopt}});
  }
  return spec;
}

class ProvidersServiceTest : public ZyldTest::FirewallStoreTest {
 protected:
  Mirel::MethodResult Create(const CreateSpec& spec) {
    return ZyldTest::RunCall<void>([&](auto r) { service_.Create(spec, std::move(r)); });
  }
  Mirel::MethodResult Update(const std::string& id, const UpdateSpec& spec) {
    return ZyldTest::RunCall<void>([&](auto r) { service_.Update(id, spec, std::move(r)); });
  }
  Mirel::MethodResult Delete(const std::string& id) {
    return ZyldTest::RunCall<void>([&](auto r) { service_.Delete(id, std::move(r)); });
  }
  Mirel::MethodResult Get(const std::string& id) {
    return ZyldTest::RunCall<Info>([&](auto r) { service_.Get(id, std::move(r)); });
  }

  Zyld::State::Providers registry_;
  ProvidersImpl service_{registry_};
};

TEST_F(ProvidersServiceTest, InvalidInputNamesItsParameterAndStoresNothing) {
  const std::string longHost(256, 'h');
  const std::vector<std::pair<std::function<void(CreateSpec&)>, std::string>> creates = {
      {[](CreateSpec& s) { s.provider.clear(); }, "spec.provider"},
      {[](CreateSpec& s) { s.masterKeyId.assign(257, 'm'); }, "spec.masterKeyId"},
      {[](CreateSpec& s) { s.keyServer.description = ""; }, "spec.keyServer.description"},
      {[](CreateSpec& s) { s.keyServer.kmipServer.username = ""; },
       "spec.keyServer.kmipServer.username"},
      {[](CreateSpec& s) {
         s.keyServer.proxyServer = NetworkAddress{"", 8080};
       },
       "spec.keyServer.proxyServer.hostname"},
      {[](CreateSpec& s) {
         s.keyServer.proxyServer = NetworkAddress{"p", 0};
       },
       "spec.keyServer.proxyServer.port"},
      {[](CreateSpec& s) { s.keyServer.connectionTimeout = 86401; },
       "spec.keyServer.connectionTimeout"},
      {[](CreateSpec& s) { s.keyServer.kmipServer.servers.clear(); },
       "spec.keyServer.kmipServer.servers"},
      {[](CreateSpec& s) { s.keyServer.kmipServer.servers[1].name = "n-a"; },
       "spec.keyServer.kmipServer.servers.server.Name"},
      {[](CreateSpec& s) {
         s.keyServer.proxyServer = NetworkAddress{"b", std::nullopt};
       },
       "spec.keyServer.kmipServer.servers.server.adress.hostname"},
      {[](CreateSpec& s) { s.keyServer.kmipServer.servers[1].address.hostname = "a"; },
       "spec.keyServer.kmipServer.servers.server.adress.hostname"},
      {[&](CreateSpec& s) { s.keyServer.kmipServer.servers[0].address.hostname = longHost; },
       "spec.keyServer.kmipServer.servers.server.adress.hostname"},
      {[](CreateSpec& s) { s.keyServer.kmipServer.servers[0].address.hostname = "a\nb"; },
       "spec.keyServer.kmipServer.servers.server.adress.hostname"},
      {[](CreateSpec& s) { s.keyServer.kmipServer.servers[0].address.hostname = "a,b"; },
       "spec.keyServer.kmipServer.servers.server.adress.hostname"},
      {[](CreateSpec& s) { s.keyServer.kmipServer.servers[0].address.port = 65536; },
       "spec.keyServer.kmipServer.servers.server.adress.port"},
  };
  for (const auto& [mutate, parameter] : creates) {
    CreateSpec spec = CreateSpecFor("p", {"a", "b"});
    mutate(spec);
    ExpectError(Create(spec), kInvalidArgument, "invalid_argument", {{"parameter", parameter}});
  }
  ExpectError(Get("p"), kNotFound);
  EXPECT_EQ(Rules(), Hosts{});
  // Names differing in case are distinct.
  CreateSpec cased = CreateSpecFor("p", {"a", "b"});
  cased.keyServer.kmipServer.servers[1].name = "N-A";
  ASSERT_FALSE(Create(cased).IsError());

  UpdateSpec masterKey;
  masterKey.masterKeyId = "";
  ExpectError(Update("p", masterKey), kInvalidArgument, "invalid_argument",
              {{"parameter", "spec.masterKeyId"}});
  ExpectError(Update("", {}), kInvalidArgument, "invalid_argument", {{"parameter", "provider"}});
  ExpectError(Update("p", ServersUpdate({"c", "c"})), kInvalidArgument, "invalid_argument",
              {{"parameter", "spec.keyServer.kmipServer.servers.server.Name"}});
  ExpectError(Get(""), kInvalidArgument, "invalid_argument", {{"parameter", "provider"}});
  ExpectError(Delete(""), kInvalidArgument, "invalid_argument", {{"parameter", "provider"}});
  EXPECT_EQ(Rules(), (Hosts{"a", "b"}));
}

TEST_F(ProvidersServiceTest, RoundTripsWithDefaultsAndStoreResults) {
  CreateSpec spec = CreateSpecFor("p", {"a"}, "proxy");
  spec.keyServer.description = "d";
  spec.keyServer.connectionTimeout = 9;
  spec.keyServer.kmipServer.username = "u";
  {
    ZyldTest::LogCapture log(dir_);  // the change is logged with the caller's name
    ASSERT_FALSE(
        ZyldTest::RunCall<void>([&](auto r) { service_.Create(spec, std::move(r)); }, "KMS_ADMIN")
            .IsError());
    EXPECT_TRUE(log.Contains("Provider p created by tester"));
  }
  const Mirel::MethodResult got = Get("p");
  ASSERT_FALSE(got.IsError());
  const boost::json::value& keyServer = got.value->at("keyServer");
  EXPECT_EQ(keyServer.at("description").as_string(), "d");
  EXPECT_EQ(keyServer.at("connectionTimeout").as_int64(), 9);
  EXPECT_EQ(keyServer.at("proxyServer").at("port").as_int64(), 443);
  EXPECT_EQ(keyServer.at("kmipServer").at("username").as_string(), "u");
  EXPECT_EQ(keyServer.at("kmipServer").at("servers").at(0).at("address").at("port").as_int64(),
            5696);

  const int calls = backend_->calls;
  ExpectError(Create(CreateSpecFor("p", {"z"})), kAlreadyExists, "already_exists",
              {{"provider", "p"}});
  UpdateSpec masterKey;
  masterKey.masterKeyId = "mk-2";
  ASSERT_FALSE(Update("p", masterKey).IsError());
  EXPECT_EQ(backend_->calls, calls);  // neither touched the firewall
  EXPECT_EQ(Get("p").value->at("masterKeyId").as_string(), "mk-2");

  ExpectError(Get("q"), kNotFound, "not_found", {{"provider", "q"}});
  ExpectError(Update("q", masterKey), kNotFound, "not_found", {{"provider", "q"}});
  const Mirel::MethodResult deleted = Delete("q");
  ExpectError(deleted, kNotFound);
  EXPECT_TRUE(deleted.error->messages.empty());
  ASSERT_FALSE(Delete("p").IsError());
  const Mirel::MethodResult list =
      ZyldTest::RunCall<std::vector<Summary>>([&](auto r) { service_.List(std::move(r)); });
  EXPECT_EQ(boost::json::serialize(*list.value), "[]");
}

// Pruning of hosts other providers use is the firewall's test; here the service's lists.
TEST_F(ProvidersServiceTest, RulesHoldExactlyTheStoredHosts) {
  ASSERT_FALSE(Create(CreateSpecFor("A", {"a", "s"}, "p")).IsError());
  EXPECT_EQ(Rules(), (Hosts{"a", "p", "s"}));
  ASSERT_FALSE(Update("A", ServersUpdate({"c"})).IsError());
  ASSERT_FALSE(Update("A", ProxyUpdate("c")).IsError());  // its own server as proxy
  ASSERT_FALSE(Update("A", ProxyUpdate("")).IsError());   // c stays: still A's server
  EXPECT_EQ(Rules(), (Hosts{"c"}));
  ASSERT_FALSE(Delete("A").IsError());
  EXPECT_EQ(Rules(), Hosts{});
}

TEST_F(ProvidersServiceTest, AFailingFirewallChangesNothing) {
  ASSERT_FALSE(Create(CreateSpecFor("A", {"a"})).IsError());
  backend_->failAfter = 1;  // the second change fails
  ExpectError(Create(CreateSpecFor("B", {"a", "b", "c"})), kError, "firewall_error");
  ExpectError(Get("B"), kNotFound);
  EXPECT_EQ(Rules(), (Hosts{"a"}));

  backend_->failAfter = 1;
  ExpectError(Update("A", ServersUpdate({"x", "y"})), kError, "firewall_error");
  const Mirel::MethodResult a = Get("A");
  EXPECT_EQ(a.value->at("keyServer").at("kmipServer").at("servers").at(0).at("name").as_string(),
            "n-a");
  EXPECT_EQ(Rules(), (Hosts{"a"}));
}

}  // namespace
