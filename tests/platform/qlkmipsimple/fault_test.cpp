// Network faults: every step is bounded by the time-out, failures map to the documented
// statuses, and an unusable answer ends the session (arbitrary bytes: the kmip_response fuzzer).
#include <gtest/gtest.h>

#include <chrono>

#include "http_connect_proxy.h"
#include "test_net.h"
#include "test_fixture.h"

namespace QlcTest {
namespace {

using Clock = std::chrono::steady_clock;
using KmipTest::Fault;

// Generous bound: catches a hang, not a slow machine.
constexpr auto kHangBound = std::chrono::seconds(1 + 5);

class FaultTest : public ServerTest {
 protected:
  std::string ShortTimeoutSpec() const {
    KmipTest::SpecOptions o = Options();
    o.timeoutSeconds = 1;
    return KmipTest::BuildSpec(o);
  }

  // Connects, then runs a Get of a known key; returns the first non-zero status.
  int ConnectAndGet(const std::string& spec, std::string* explain) {
    server_->AddKey("1", std::vector<uint8_t>(16, 1));
    Result connected = Connect(spec);
    *explain = qlc_explain(connected.get());
    if (qlc_ok(connected.get()) != QLC_OK) return qlc_ok(connected.get());
    Result got(qlc_perform(session_.get(), "Get, Object, Id=%s", "1"));
    *explain = qlc_explain(got.get());
    return qlc_ok(got.get());
  }
};

TEST_F(FaultTest, StallsEndInTimeOut) {
  for (Fault fault : {Fault::StallHandshake, Fault::StallResponse}) {
    server_->SetFault(fault);
    std::string explain;
    const auto start = Clock::now();
    EXPECT_EQ(ConnectAndGet(ShortTimeoutSpec(), &explain), QLC_TIMEOUT) << explain;
    EXPECT_LT(Clock::now() - start, kHangBound);
    EXPECT_NE(explain.find("Timed out"), std::string::npos) << explain;
    session_.reset();
  }
}

TEST_F(FaultTest, RefusedResetAndClosedConnectionsAreCommunicationFailures) {
  KmipTest::SpecOptions refused = Options();
  refused.port = TestSupport::FreeLoopbackPort();
  std::string explain;
  EXPECT_EQ(ConnectAndGet(KmipTest::BuildSpec(refused), &explain), QLC_COMMUNICATION);
  EXPECT_NE(explain.find("refused"), std::string::npos) << explain;

  KmipTest::SpecOptions unresolvable = Options();
  unresolvable.host = "no-such-host.invalid";
  EXPECT_EQ(ConnectAndGet(KmipTest::BuildSpec(unresolvable), &explain), QLC_COMMUNICATION);

  for (Fault fault : {Fault::ResetOnAccept, Fault::ResetAfterRequest, Fault::CloseMidResponse}) {
    server_->SetFault(fault);
    EXPECT_EQ(ConnectAndGet(Spec(), &explain), QLC_COMMUNICATION) << static_cast<int>(fault);
    session_.reset();
  }
}

TEST_F(FaultTest, UnusableResponsesAreBadResponsesAndEndTheSession) {
  for (Fault fault : {Fault::GarbageResponse, Fault::MalformedResponse, Fault::OversizedResponse}) {
    server_->SetFault(fault);
    std::string explain;
    EXPECT_EQ(ConnectAndGet(ShortTimeoutSpec(), &explain), QLC_BAD_RESPONSE)
        << static_cast<int>(fault);
    EXPECT_NE(explain.find("Malformed KMIP response"), std::string::npos) << explain;
    Result again(qlc_perform(session_.get(), "Query, Versions"));
    EXPECT_EQ(qlc_ok(again.get()), QLC_COMMUNICATION);
    session_.reset();
  }
}

TEST_F(FaultTest, ProxyTunnelsRefusalStallAndAbsence) {
  KmipTest::SpecOptions o = Options();
  o.timeoutSeconds = 1;
  o.proxyHost = "127.0.0.1";
  std::string explain;
  for (const char* statusLine : {"HTTP/1.0 200 Connection established", "HTTP/1.1 200 OK"}) {
    KmipTest::HttpConnectProxy proxy({statusLine, false});
    proxy.Start();
    o.proxyPort = proxy.Port();
    EXPECT_EQ(ConnectAndGet(KmipTest::BuildSpec(o), &explain), QLC_OK) << explain;
    EXPECT_EQ(proxy.Tunnels(), 1);
    session_.reset();
  }
  const int connections = server_->Connections();
  KmipTest::HttpConnectProxy refusing({"HTTP/1.1 403 Access violation", false});
  refusing.Start();
  o.proxyPort = refusing.Port();
  EXPECT_EQ(ConnectAndGet(KmipTest::BuildSpec(o), &explain), QLC_COMMUNICATION);
  EXPECT_NE(explain.find("403"), std::string::npos) << explain;
  EXPECT_EQ(server_->Connections(), connections);

  KmipTest::HttpConnectProxy stalling({"", true});
  stalling.Start();
  o.proxyPort = stalling.Port();
  const auto start = Clock::now();
  EXPECT_EQ(ConnectAndGet(KmipTest::BuildSpec(o), &explain), QLC_TIMEOUT) << explain;
  EXPECT_LT(Clock::now() - start, kHangBound);

  o.proxyPort = TestSupport::FreeLoopbackPort();
  EXPECT_EQ(ConnectAndGet(KmipTest::BuildSpec(o), &explain), QLC_COMMUNICATION);
}

// Connect, proxy exchange and handshake share one time-out: a proxy that answers late leaves the
// stalled handshake only the rest. Separate deadlines would take the delay plus the time-out.
TEST_F(FaultTest, OpeningThroughASlowProxyKeepsOneTimeOut) {
  constexpr int kTimeoutSeconds = 3;
  KmipTest::HttpConnectProxy slow({"HTTP/1.1 200 OK", false, std::chrono::milliseconds(2500)});
  slow.Start();
  KmipTest::SpecOptions o = Options();
  o.timeoutSeconds = kTimeoutSeconds;
  o.proxyHost = "127.0.0.1";
  o.proxyPort = slow.Port();
  server_->SetFault(Fault::StallHandshake);
  std::string explain;
  const auto start = Clock::now();
  EXPECT_EQ(ConnectAndGet(KmipTest::BuildSpec(o), &explain), QLC_TIMEOUT) << explain;
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kTimeoutSeconds * 1000 + 1500));
  EXPECT_EQ(slow.Tunnels(), 1);
}

}  // namespace
}  // namespace QlcTest
