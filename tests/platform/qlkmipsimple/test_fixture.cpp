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

std::string ServerTest::GetKey(const char* id, int* status) {
  Result result(qlc_perform(session_.get(), "Get, Object, Id=%s", id));
  *status = qlc_ok(result.get());
  if (*status != QLC_OK) return {};
  unsigned char* bytes = nullptr;
  int32_t length = 0;
  *status = qlc_value_of("Symmetric_Key/Key", result.get(), "bs", &bytes, &length);
  if (*status != QLC_OK) return {};
  std::string key(reinterpret_cast<char*>(bytes), static_cast<size_t>(length));
  qlc_free(bytes);
  return key;
}

}  // namespace QlcTest
