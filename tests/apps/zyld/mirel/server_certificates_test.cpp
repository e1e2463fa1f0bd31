// The server certificate services: Set and Get on a real store (limit, validation, stored as sent
// and read back standardised), List over scripted key-server objects (filters, the message of each
// fetch result) and over real sockets (a stalled server costs one time-out and blocks no one).
#include "mirel/server_certificates_impl.h"

#include "fake_kms.h"
#include "service_fixture.h"

#include <gtest/gtest.h>
#include <kmip_test_server.h>
#include <mirel/errors.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>

namespace {

namespace Certs = Com::Velora::Ovik::Kms::Providers::ServerCertificatesSvc;
namespace Remote = Com::Velora::Ovik::Kms::Providers::ServerCertificates::RemoteSvc;
namespace PC = Zyld::ProviderConfig;
using ZyldTest::FakeKms;
using ZyldTest::FakeServer;
using namespace Mirel::ErrorTypes;
using ZyldTest::ExpectError;

// Generous bound: catches a hang, not a slow machine.
constexpr auto kHangBound = std::chrono::seconds(10);

class ServerCertificatesTest : public ZyldTest::StoreTest {
 protected:
  Mirel::MethodResult Set(const std::string& id, const std::vector<std::string>& certificates) {
    return ZyldTest::StartCall<void>([&](auto r) { certs_.Set(id, certificates, std::move(r)); })
        .get();
  }
  Mirel::MethodResult Get(const std::string& id) {
    return ZyldTest::StartCall<Certs::Info>([&](auto r) { certs_.Get(id, std::move(r)); }).get();
  }
  std::future<Mirel::MethodResult> List(Remote::RemoteImpl& remote, const std::string& id,
                                        std::optional<Remote::FilterSpec> filter = {}) {
    return ZyldTest::StartCall<std::vector<Remote::Summary>>(
        [&](auto r) { remote.List(id, filter, std::move(r)); });
  }
  static std::vector<std::string> Servers(const Mirel::MethodResult& r) {
    std::vector<std::string> names;
    for (const auto& summary : r.value->as_array()) {
      names.emplace_back(summary.at("server").as_string());
    }
    return names;
  }

  Zyld::State::Providers registry_;
  Certs::ServerCertificatesImpl certs_{registry_};
};

TEST_F(ServerCertificatesTest, SetChecksItsInputStoresAsSentAndGetStandardises) {
  ASSERT_EQ(ZyldTest::WriteProvider({.id = "p1", .servers = {{"s1", "kms.example"}}}), 0);
  const ZyldTest::TestCert cert = ZyldTest::MakeCert();
  const ZyldTest::TestCert other = ZyldTest::MakeCert();

  const Mirel::MethodResult tooMany = Set("p1", std::vector<std::string>(11, cert.cert));
  ASSERT_TRUE(tooMany.IsError());
  EXPECT_EQ(tooMany.error->type, kUnsupported);
  EXPECT_EQ(tooMany.error->messages[0].args.at("num"), "10");
  EXPECT_EQ(tooMany.error->messages[0].defaultMessage,
            "Number of server certificates cannot exceed 10.");
  for (const auto& [id, list, parameter] :
       std::vector<std::tuple<std::string, std::vector<std::string>, std::string>>{
           {"", {}, "provider"}, {"p1", {cert.cert, "not a certificate"}, "certificates"}}) {
    ExpectError(Set(id, list), kInvalidArgument, "invalid_argument", {{"parameter", parameter}});
  }
  std::vector<std::string> stored;
  ASSERT_EQ(PC::GetServerCertificates("p1", stored), PC::Success);
  EXPECT_TRUE(stored.empty());

  ASSERT_FALSE(Set("p1", std::vector<std::string>(10, cert.cert)).IsError());
  ASSERT_FALSE(Set("p1", {cert.messy, other.cert}).IsError());
  ASSERT_EQ(PC::GetServerCertificates("p1", stored), PC::Success);
  EXPECT_EQ(stored, (std::vector<std::string>{cert.messy, other.cert}));
  const Mirel::MethodResult got = Get("p1");
  ASSERT_FALSE(got.IsError());
  const auto& texts = got.value->at("certificates").as_array();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].as_string(), cert.standard);

  ASSERT_FALSE(Set("p1", {}).IsError());
  EXPECT_TRUE(Get("p1").value->at("certificates").as_array().empty());
  ExpectError(Set("nobody", {}), kNotFound, "not_found", {{"provider", "nobody"}});
  EXPECT_EQ(Get("nobody").error->type, kNotFound);
}

TEST_F(ServerCertificatesTest, ListFiltersAndNamesEachFetchFailure) {
  const ZyldTest::TestCert trusted = ZyldTest::MakeCert();
  const ZyldTest::TestCert untrusted = ZyldTest::MakeCert();
  const std::string prefix = "com.velora.ovik.kms.";
  const std::vector<std::pair<Zyld::Kms::KmsResult, std::string>> failures = {
      {Zyld::Kms::CertFormatUnknown, "cert_format_unknown"},
      {Zyld::Kms::ServerCertNotRequired, "server_cert_not_required"},
      {Zyld::Kms::KeyServerTimeout, "key_server_timeout"},
      {Zyld::Kms::KeyServerCommunicationError, "key_server_communication_error"},
      {Zyld::Kms::GeneralError, "providers.server_certificates.remotesvc.list.error"},
      {static_cast<Zyld::Kms::KmsResult>(99), "providers.server_certificates.remotesvc.list.error"},
  };
  std::vector<FakeServer> servers = {{"good", Zyld::Kms::Success, {}, trusted.messy},
                                     {"odd", Zyld::Kms::Success, {}, untrusted.cert}};
  for (size_t i = 0; i < failures.size(); ++i) {
    servers.push_back({"bad" + std::to_string(i), failures[i].first});
  }
  std::shared_ptr<FakeKms> kms;
  // A fresh object, with fresh counts, per call.
  const auto registry = ZyldTest::UncachedRegistry([&](const std::string& id) {
    kms = std::make_shared<FakeKms>(id, servers);
    kms->SetTrusted({trusted.cert});
    return id == "p1" ? kms : nullptr;
  });
  Remote::RemoteImpl remote(*registry);

  EXPECT_EQ(List(remote, "").get().error->type, kInvalidArgument);
  EXPECT_EQ(List(remote, "nobody").get().error->type, kNotFound);

  const Mirel::MethodResult all = List(remote, "p1").get();
  ASSERT_FALSE(all.IsError());
  const auto& summaries = all.value->as_array();
  ASSERT_EQ(summaries.size(), servers.size());
  EXPECT_TRUE(summaries[0].at("trusted").as_bool());
  EXPECT_EQ(summaries[0].at("certificate").as_string(), trusted.messy);
  EXPECT_FALSE(summaries[1].at("trusted").as_bool());
  for (size_t i = 0; i < failures.size(); ++i) {
    const auto& summary = summaries[i + 2].as_object();
    EXPECT_EQ(summary.if_contains("certificate"), nullptr);
    const auto& error = summary.at("errors").as_array().at(0);
    EXPECT_EQ(error.at("id").as_string(), prefix + failures[i].second) << i;
    EXPECT_EQ(error.at("args").at("server").as_string(), servers[i + 2].name);
  }
  EXPECT_EQ(summaries[6].at("errors").at(0).at("defaultMessage").as_string(),
            "Unable to get certificate from the server bad4.");

  const Mirel::MethodResult untrustedOnly = List(remote, "p1", Remote::FilterSpec{{}, false}).get();
  EXPECT_EQ(Servers(untrustedOnly).size(), servers.size() - 1);
  EXPECT_EQ(Servers(untrustedOnly)[0], "odd");
  const Mirel::MethodResult named =
      List(remote, "p1", Remote::FilterSpec{std::vector<std::string>{"bad0", "good"}, true}).get();
  EXPECT_EQ(Servers(named), (std::vector<std::string>{"good"}));
  std::vector<uint32_t> fetched = kms->Attempts();  // only the named servers, in any order
  std::sort(fetched.begin(), fetched.end());
  EXPECT_EQ(fetched, (std::vector<uint32_t>{0, 2}));
  const Mirel::MethodResult none =
      List(remote, "p1", Remote::FilterSpec{std::vector<std::string>{"GOOD"}, {}}).get();
  EXPECT_TRUE(Servers(none).empty());
}

TEST_F(ServerCertificatesTest, StalledServerCostsOneTimeOutAndBlocksNoOne) {
  const KmipTest::CertSet& certs = KmipTest::SharedCertSet();
  const std::string& presented = certs.server.certPem;
  const std::unique_ptr<KmipTest::KmipTestServer> live = KmipTest::StartServer(certs);
  const std::unique_ptr<KmipTest::KmipTestServer> stalled = KmipTest::StartServer(certs);
  stalled->SetFault(KmipTest::Fault::StallHandshake);
  ASSERT_EQ(ZyldTest::WriteProvider({.id = "p1",
                                     .timeout = 2,
                                     .servers = {{"live", "127.0.0.1", live->Port()},
                                                 {"stalled", "127.0.0.1", stalled->Port()}}}),
            0);
  ASSERT_FALSE(Set("p1", {presented}).IsError());
  Remote::RemoteImpl remote(registry_);

  std::future<Mirel::MethodResult> listed = List(remote, "p1");
  const Mirel::MethodResult got = Get("p1");  // the caller is free while the servers are asked
  { Har::WriteGuard config(PC::configLock); }
  EXPECT_FALSE(got.IsError());
  EXPECT_NE(listed.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  ASSERT_EQ(listed.wait_for(kHangBound), std::future_status::ready);
  const Mirel::MethodResult r = listed.get();
  ASSERT_FALSE(r.IsError());
  const auto& summaries = r.value->as_array();
  ASSERT_EQ(summaries.size(), 2u);
  EXPECT_TRUE(Brask::Common::SslUtils::ComparePemCerts(
      std::string(summaries[0].at("certificate").as_string()), presented));
  EXPECT_TRUE(summaries[0].at("trusted").as_bool());
  EXPECT_EQ(summaries[1].at("errors").at(0).at("id").as_string(),
            "com.velora.ovik.kms.key_server_timeout");
}

}  // namespace
