#include "test_fixture.h"

namespace QlcTest {

void ServerTest::SetUp() { server_ = KmipTest::StartServer(Certs()); }

void ServerTest::TearDown() {
  session_.reset();
  server_->Stop();
}

KmipTest::SpecOptions ServerTest::Options() const {
  KmipTest::SpecOptions o;
  o.port = server_->Port();
  o.client = &Certs().client;
  o.trustedPems = {Certs().ca.certPem};
  return o;
}

Result ServerTest::Connect(const std::string& spec) {
  qlc_session* raw = nullptr;
  Result result(qlc_connect_key_manager(&raw, spec.c_str()));
  session_.reset(raw);
  return result;
}

Result ServerTest::Perform(std::string command, const char* id, const char* user) {
  if (user != nullptr) command += ", Options={Authentication={User=%s, Password=%s}}";
  return Result(qlc_perform(session_.get(), command.c_str(), id, user, "pw"));
}

int ServerTest::Get(const char* id, const char* user) {
  return qlc_ok(Perform("Get, Object, Id=%s", id, user).get());
}

int ServerTest::State(const char* id, const char* user) {
  Result result = Perform("Get, Attributes, Id=%s, Names=State", id, user);
  int state = -1;
  const int status = qlc_ok(result.get()) != QLC_OK
                         ? qlc_ok(result.get())
                         : qlc_value_of("Attributes/State", result.get(), "d", &state);
  return status == QLC_OK ? state : -status;
}

}  // namespace QlcTest
