// Provider health over HTTP against PyKMIP: healthy as seeded, warning on a real client
// certificate within 30 days of expiry, in error once the server is down. The health of every
// other situation is the status service's table.
#include "providers_rpc.h"
#include "pykmip_ca.h"
#include "stack_suite.h"

#include <string>

namespace ZyldIt {
namespace {

constexpr const char* kStatus = "com.velora.ovik.kms.providers.status.get";
constexpr const char* kStatusIds = "com.velora.ovik.kms.providers.statussvc.";

class Status : public StackSuite {
 protected:
  static boost::json::value Health(const std::string& token) {
    const auto answer = Call(Port(), kStatus, IdParams(stack_->Env("PROVIDER")), token);
    EXPECT_EQ(ErrorType(answer), "") << boost::json::serialize(answer);
    return ResultOf(answer);
  }
  // Sets a client certificate for a fresh CSR of the daemon with `days` whole days left.
  static void SetClientCertificate(const std::string& admin, int days) {
    const std::string provider = IdParams(stack_->Env("PROVIDER"));
    const auto csr = ResultOf(Call(Port(), Op("client_certificate.csr.create"), provider, admin));
    const std::string certificate =
        SignWithPykmipCa(stack_->Dir() + "/pykmip", std::string(csr.at("csr").as_string()), days);
    ASSERT_FALSE(certificate.empty());
    const auto set =
        Call(Port(), Op("client_certificate.set"),
             boost::json::serialize(boost::json::object{{"provider", stack_->Env("PROVIDER")},
                                                        {"spec", {{"certificate", certificate}}}}),
             admin);
    ASSERT_EQ(ErrorType(set), "") << boost::json::serialize(set);
  }
  static std::string Update(const std::string& admin, const boost::json::object& spec) {
    return ErrorType(
        Call(Port(), Op("update"), UpdateParams(stack_->Env("PROVIDER"), spec), admin));
  }
};

TEST_F(Status, HealthFollowsCertificateAndServer) {
  const std::string admin = stack_->Token("admin", {"KMS_ADMIN"});
  auto health = Health(admin);
  EXPECT_EQ(health.at("health").as_string(), "OK") << boost::json::serialize(health);
  ASSERT_EQ(health.at("servers").as_array().size(), 1u);
  EXPECT_EQ(health.at("servers").at(0).at("health").as_string(), "OK");

  SetClientCertificate(admin, 30);
  health = Health(admin);
  EXPECT_EQ(health.at("health").as_string(), "WARNING") << boost::json::serialize(health);
  ASSERT_EQ(health.at("messages").as_array().size(), 1u);
  EXPECT_EQ(health.at("messages").at(0).at("id").as_string(),
            std::string(kStatusIds) + "client_certificate_expiring");
  EXPECT_EQ(health.at("messages").at(0).at("args").at("days").as_string(), "30");

  const boost::json::object closed{{"name", "s1"},
                                   {"address", {{"hostname", "127.0.0.1"}, {"port", 1}}}};
  ASSERT_EQ(Update(admin, {{"keyServer", {{"kmipServer", {{"servers", {closed}}}}}}}), "");
  health = Health(admin);
  EXPECT_EQ(health.at("health").as_string(), "ERROR");
  const auto& server = health.at("servers").at(0);
  EXPECT_EQ(server.at("health").as_string(), "ERROR") << boost::json::serialize(server);
  std::string ids;
  for (const auto& message : server.at("messages").as_array()) {
    ids += std::string(message.at("id").as_string()) + " ";
  }
  EXPECT_EQ(ids, std::string(kStatusIds) + "client_not_trusting_server " +
                     "com.velora.ovik.kms.key_server_communication_error " + kStatusIds +
                     "server_not_trusting_client ");
}

}  // namespace
}  // namespace ZyldIt
