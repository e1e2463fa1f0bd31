// The client against the in-process server over real TLS: commands, results and failures.
#include <gtest/gtest.h>

#include "test_fixture.h"

namespace QlcTest {
namespace {

using Op = Qlkmip::Kmip::Operation;

TEST_F(ServerTest, GetReturnsKeyBytesOfAnyLength) {
  const std::vector<uint8_t> key24(24, 0xab);
  server_->AddKey("7", key24);
  server_->AddKey("8", std::vector<uint8_t>(32, 0x11));
  Result connected = Connect(Spec());
  ASSERT_EQ(qlc_ok(connected.get()), QLC_OK) << qlc_explain(connected.get());
  int status = -1;
  EXPECT_EQ(GetKey("7", &status), std::string(24, '\xab'));
  EXPECT_EQ(status, QLC_OK);
  EXPECT_EQ(GetKey("8", &status), std::string(32, '\x11'));
  EXPECT_EQ(server_->Requests(Op::Get), 2);
  EXPECT_EQ(server_->Connections(), 1);  // both requests on one session
}

}  // namespace
}  // namespace QlcTest
