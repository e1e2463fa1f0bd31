// The status services over scripted key-server objects: the provider and server health each
// probed situation gives (trust, key, certificate expiry), what attestation callers see, the
// refusals, and concurrent calls on an unprobed provider sharing one probe off the calling thread.
#include "mirel/status_impl.h"

#include "fake_kms.h"
#include "service_fixture.h"

#include <gtest/gtest.h>
#include <ironveil-common/ssl_utils.h>
#include <mirel/activation.h>
#include <mirel/errors.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

namespace {

namespace Status = Com::Velora::Ovik::Kms::Providers::StatusSvc;
namespace K = Zyld::Kms;
using ZyldTest::FakeKms;
using ZyldTest::FakeServer;

// Generous bound: catches a hang, not a slow machine.
constexpr auto kHangBound = std::chrono::seconds(10);
constexpr long kDay = 24L * 3600;
constexpr long kHour = 3600;

// A self-signed certificate with `days` whole days (and an hour) left before it expires.
std::string CertValidFor(int days) {
  std::string key, cert;
  EXPECT_TRUE(Brask::Common::SslUtils::GenerateKeyAndCertWith(
      {"kmip", -2 * kDay, days * kDay + kHour}, key, cert));
  return cert;
}

// "HEALTH msg(arg=value) ...; server HEALTH msg ..." with identifiers short.
std::string Summary(const boost::json::value& info) {
  auto messages = [](const boost::json::value& holder) {
    std::string text;
    for (const auto& m : holder.at("messages").as_array()) {
      std::string id(m.at("id").as_string());
      for (const char* prefix : {"com.velora.ovik.kms.", "providers.statussvc."}) {
        if (id.rfind(prefix, 0) == 0) id.erase(0, std::string(prefix).size());
      }
      text += " " + id;
      for (const auto& [name, value] : m.at("args").as_object()) {
        text += "(" + std::string(name) + "=" + std::string(value.as_string()) + ")";
      }
    }
    return text;
  };
  std::string text = std::string(info.at("health").as_string()) + messages(info);
  for (const auto& server : info.at("servers").as_array()) {
    text += "; " + std::string(server.at("server").as_string()) + " " +
            std::string(server.at("health").as_string()) + messages(server);
  }
  return text;
}

class StatusTest : public ::testing::Test {
 protected:
  StatusTest() {
    registry_ = ZyldTest::UncachedRegistry(
        [this](const std::string& id) { return id == "p1" ? kms_ : nullptr; });
    service_ = std::make_unique<Status::StatusImpl>(*registry_);
  }

  std::future<Mirel::MethodResult> Get(const std::string& id) {
    return ZyldTest::StartCall<Status::Info>([&](auto r) { service_->Get(id, std::move(r)); });
  }
  std::string Answer(const std::string& id = "p1") {
    std::future<Mirel::MethodResult> answer = Get(id);
    EXPECT_EQ(answer.wait_for(kHangBound), std::future_status::ready);
    const Mirel::MethodResult r = answer.get();
    return r.IsError() ? "error " + r.error->type : Summary(*r.value);
  }

  std::shared_ptr<FakeKms> kms_;
  std::unique_ptr<Zyld::State::Providers> registry_;
  std::unique_ptr<Status::StatusImpl> service_;
};

K::KmsServerStatus Trusted() { return {true, true, {}}; }
K::KmsStatus KeyFound(std::vector<K::KmsServerStatus> servers) {
  return {std::move(servers), true, true, true, {}};
}

// Each row: the answer summarised, the scripted status, the client certificate's days left and
// the servers (default: s1, presenting a certificate trusted through an authority, not pinned).
TEST_F(StatusTest, HealthOfEachSituationAndWhatAttestationCallersSee) {
  const std::string pinned30 = CertValidFor(30), expired = CertValidFor(-1);
  const std::string valid2 = CertValidFor(2), trusted400 = CertValidFor(400);
  const std::string ids = "com.velora.ovik.kms.providers.statussvc.";
  const K::KmsServerStatus unreachable{
      false,
      false,
      {{ids + "client_not_trusting_server", K::KeyServerCommunicationError},
       {ids + "server_not_trusting_client", K::KeyServerCommunicationError}}};
  constexpr int kNoClientCertificate = -9999;
  struct Case {
    std::string expected;
    K::KmsStatus status;
    int clientDays = 45;
    std::vector<FakeServer> servers;
  };
  const Case cases[] = {
      {"OK; s1 OK", KeyFound({Trusted()})},
      {"OK; s1 OK", KeyFound({Trusted()}), 31},
      {"WARNING client_certificate_expiring(days=30); s1 OK", KeyFound({Trusted()}), 30},
      {"WARNING client_certificate_unknown_expiry; s1 OK", KeyFound({Trusted()}),
       kNoClientCertificate},
      {"ERROR master_key_not_found(server=s1); s1 OK",
       {{Trusted()}, false, false, false, {K::MasterKeyNotFound}}},
      {"ERROR master_key_length_unsupported(server=s1); s1 OK",
       {{Trusted()}, true, true, false, {K::MasterKeyLengthUnsupported}}},
      {"OK; s1 OK; s2 WARNING server_certificate_expiring(days=30)",
       KeyFound({Trusted(), Trusted()}),
       45,
       {{"s1", K::Success, {}, valid2}, {"s2", K::Success, {}, pinned30}}},
      {"WARNING; s1 WARNING server_certificate_expiring(days=-1); s2 WARNING "
       "server_certificate_unknown_expiry(server=s2) key_server_timeout(server=s2)",
       KeyFound({Trusted(), Trusted()}),
       45,
       {{"s1", K::Success, {}, expired}, {"s2", K::KeyServerTimeout}}},
      {"OK; s1 OK; s2 ERROR client_not_trusting_server(server=s2) "
       "key_server_communication_error(server=s2) server_not_trusting_client(server=s2)",
       KeyFound({Trusted(), unreachable}),
       45,
       {{"s1", K::Success, {}, valid2}, {"s2"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    kms_ = std::make_shared<FakeKms>(
        "p1",
        c.servers.empty() ? std::vector<FakeServer>{{"s1", K::Success, {}, valid2}} : c.servers);
    kms_->SetTrusted({trusted400, pinned30, expired});
    kms_->SetStatus(c.status);
    kms_->SetClientCertificate(c.clientDays == kNoClientCertificate ? ""
                                                                    : CertValidFor(c.clientDays));
    EXPECT_EQ(Answer(), c.expected);
  }
  Mirel::CallContext context;
  context.authData = boost::json::object{{"username", "<ATTEST>"}};
  {
    Mirel::CallActivation attest(&context);
    EXPECT_EQ(Answer(), "OK");
  }
  EXPECT_EQ(Answer(""), "error " + std::string(Mirel::ErrorTypes::kInvalidArgument));
  EXPECT_EQ(Answer("nobody"), "error " + std::string(Mirel::ErrorTypes::kNotFound));
}

// Calls on a provider whose status needs a probe return at once; one probe serves them all. With
// no trusted certificate every server warns, which gives the provider no message of its own.
TEST_F(StatusTest, ConcurrentCallsShareOneProbeOffTheCallingThread) {
  constexpr int kCalls = 12;  // more than one provider's running jobs
  kms_ = std::make_shared<FakeKms>("p1", std::vector<FakeServer>{{"s1"}});
  kms_->SetStatus(KeyFound({Trusted()}), true);
  kms_->SetClientCertificate(CertValidFor(45));
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> probes{0};
  std::atomic<bool> finished{false};
  kms_->OnProbe([&] {
    ++probes;
    released.wait_for(kHangBound);
    finished = true;
  });
  std::vector<std::future<Mirel::MethodResult>> answers;
  for (int i = 0; i < kCalls; ++i) {
    answers.push_back(Get("p1"));
  }
  EXPECT_FALSE(finished.load());
  release.set_value();
  for (auto& answer : answers) {
    ASSERT_EQ(answer.wait_for(kHangBound), std::future_status::ready);
    const Mirel::MethodResult r = answer.get();
    ASSERT_FALSE(r.IsError());
    EXPECT_EQ(Summary(*r.value), "WARNING; s1 WARNING trusted_server_certificates.unknown");
  }
  EXPECT_EQ(probes.load(), 1);
}

}  // namespace
