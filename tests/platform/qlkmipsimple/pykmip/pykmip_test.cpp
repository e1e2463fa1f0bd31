// qlkmipsimple against a real PyKMIP 0.10 server (KMIP 1.1 over TLS 1.2 on loopback): Get and
// Get Attributes State (with and without the username/password credential)
// compared with what PyKMIP's own client reads. Failures, trust and proxies are shown against the
// in-process server.
#include "pykmip_peer.h"

#include <gtest/gtest.h>
#include <ironveil-common/ssl_utils.h>
#include <qlkmipsimple/connection_spec.h>
#include <qlkmipsimple/handles.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using Qlkmip::ConnectionSpec;
using ResultHandle = Qlkmip::QlcResult;
using SessionHandle = Qlkmip::QlcSession;
using PykmipTest::PykmipPeer;
namespace Ssl = Brask::Common::SslUtils;

class PykmipLibraryTest : public PykmipTest::PykmipSuite {
 protected:
  // Client identity `client` (or `client2`), trusting the test CA.
  static ConnectionSpec Inputs(const std::string& identity = "client") {
    ConnectionSpec in;
    in.host = "127.0.0.1";
    in.port = peer_->Port();
    in.timeoutSeconds = 20;
    in.hasClientCertificate = true;
    in.certificatePem = peer_->File(identity + ".crt");
    in.publicPem = in.certificatePem;
    in.privateKeyPem.assign(peer_->File(identity + ".key"));
    in.trustedPems = {peer_->File("ca.crt")};
    return in;
  }

  static SessionHandle MustConnect(const ConnectionSpec& in) {
    qlc_session* raw = nullptr;
    ResultHandle result(qlc_connect_key_manager(&raw, Qlkmip::BuildConnectionSpec(in).c_str()));
    EXPECT_EQ(qlc_ok(result.get()), QLC_OK) << qlc_explain(result.get());
    return SessionHandle(raw);
  }

  // "BITS SHA256HEX" of the key the library gets, in the script's format; the status otherwise.
  static std::string KeyInfo(qlc_session* session, const std::string& id, const char* suffix = "") {
    std::string command = std::string("Get, Object, Id=%s") + suffix;
    ResultHandle result(
        qlc_perform(session, command.c_str(), id.c_str(), "kmip-client-a", "secret"));
    if (qlc_ok(result.get()) != QLC_OK) {
      return "status " + std::to_string(qlc_ok(result.get())) + ": " + qlc_explain(result.get());
    }
    unsigned char* raw = nullptr;
    int32_t length = 0;
    int status = qlc_value_of("Symmetric_Key/Key", result.get(), "bs", &raw, &length);
    const Qlkmip::QlcValue key(raw, length < 0 ? 0 : static_cast<size_t>(length));
    std::string hex;
    if (status != QLC_OK ||
        !Ssl::ComputeHashHex(std::string(reinterpret_cast<const char*>(key.bytes()), key.size()),
                             hex)) {
      return "value status " + std::to_string(status);
    }
    return std::to_string(length * 8) + " " + hex;
  }

  // State via the library; -status on failure.
  static int State(qlc_session* session, const std::string& id, const char* suffix = "") {
    std::string command = std::string("Get, Attributes, Id=%s, Names=State") + suffix;
    ResultHandle result(
        qlc_perform(session, command.c_str(), id.c_str(), "kmip-client-a", "secret"));
    int state = 0;
    int status = qlc_ok(result.get());
    if (status == QLC_OK) {
      status = qlc_value_of("Attributes/State", result.get(), "d", &state);
    }
    return status == QLC_OK ? state : -status;
  }
};

const char kCredential[] = ", Options={Authentication={User=%s, Password=%s}}";

// Keys of every size and state, read on fresh sessions with and without the credential and by a
// second identity. A Get goes out batched with the State query; the peer must answer both items
// and the State read right after the Get (answered from that batch) must equal PyKMIP's.
TEST_F(PykmipLibraryTest, KeysAndStatesMatchWhatPykmipReports) {
  SessionHandle other = MustConnect(Inputs("client2"));
  ASSERT_TRUE(other);
  const std::tuple<int, const char*, int> keys[] = {
      {128, "pre-active", 1}, {192, "active", 2}, {256, "deactivated", 3}, {128, "compromised", 4}};
  for (const auto& [bits, name, value] : keys) {
    SCOPED_TRACE(name);
    std::string id = peer_->CreateKey(bits, name);
    ASSERT_FALSE(id.empty());
    const std::string expected = peer_->KeyInfo(id);
    ASSERT_EQ(expected.substr(0, 4), std::to_string(bits) + " ");
    EXPECT_EQ(KeyInfo(other.get(), id), expected);
    for (const char* suffix : {"", kCredential}) {
      SessionHandle session = MustConnect(Inputs());
      ASSERT_TRUE(session);
      EXPECT_EQ(KeyInfo(session.get(), id, suffix), expected);
      EXPECT_EQ(State(session.get(), id, suffix), value);
      EXPECT_EQ(State(session.get(), id, suffix), value);  // asked again: from the server
    }
  }
}

}  // namespace
