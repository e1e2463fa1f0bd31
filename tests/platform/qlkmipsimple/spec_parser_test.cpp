// The session specification builder and parser: what the builder (the daemon's writer) writes
// parses back to the same specification, everything else is refused with a reason. Which value
// lands in which member is checked with the daemon's connector (ConnectionSpec tests).
#include <gtest/gtest.h>
#include <qlkmipsimple.h>
#include <qlkmipsimple/connection_spec.h>

#include "kmip_test_certs.h"
#include "test_fixture.h"

namespace QlcTest {
namespace {

const std::string kHead = "Presentation={Protocol=KMIP, Version='1.1', Format=TTLV}, Session = {";
const std::string kProxy = "Proxy={Protocol=HTTP, Host='proxy.local', Port='3128'},";
const std::string kServer = "Protocol=SSL, Host='kms.example', Port='5696', ";
const std::string kTimeout = "Timeout=60:Seconds, ";
const std::string kTail = "User_Trust, Authenticate}";

std::string Cert(const std::string& cert, const std::string& key) {
  const std::string hex = KmipTest::Hex(cert);
  return "Certificate=PEM:[" + hex + "], Public=PEM:[" + hex + "], Private=PEM:[" +
         KmipTest::Hex(key) + "],";
}

std::string Trusted(const std::string& pem) {
  return ", Trusted_Cert=PEM:[" + KmipTest::Hex(pem) + "]";
}

Har::Status Parse(const std::string& text, Qlkmip::ConnectionSpec* spec) {
  return Qlkmip::ParseConnectionSpec(text, spec);
}

TEST(SpecBuilder, EveryOptionRoundTripsThroughTheParser) {
  Qlkmip::ConnectionSpec bare;
  bare.host = "kms.example";
  bare.port = 1;
  bare.timeoutSeconds = 1;
  Qlkmip::ConnectionSpec credentials = bare;
  credentials.hasClientCertificate = true;
  credentials.certificatePem = "CERT\n";
  credentials.publicPem = std::string("PUB\0\xff", 5);
  credentials.privateKeyPem = Har::Secret(std::string_view("K\0\x7f\x80\xff", 5));
  Qlkmip::ConnectionSpec trusting = bare;
  trusting.timeoutSeconds = Qlkmip::kMaxTimeoutSeconds;
  trusting.trustedPems = {"A\n", std::string("\0\xff", 2), ""};
  Qlkmip::ConnectionSpec everything = credentials;
  everything.proxyHost = "::1";
  everything.proxyPort = 65535;
  everything.trustedPems = trusting.trustedPems;
  for (const Qlkmip::ConnectionSpec* built : {&bare, &credentials, &trusting, &everything}) {
    const Har::Secret text = Qlkmip::BuildConnectionSpec(*built);
    Qlkmip::ConnectionSpec parsed;
    const Har::Status status = Qlkmip::ParseConnectionSpec(text.view(), &parsed);
    ASSERT_TRUE(status) << text.c_str() << status.message();
    // The builder writes every member: the same text back means every member read back.
    EXPECT_EQ(Qlkmip::BuildConnectionSpec(parsed).view(), text.view());
  }
}

TEST(SpecParser, AcceptsTheOptionalPiecesInAnyCombination) {
  const std::string cases[] = {
      kHead + kServer + kTimeout + Cert("C", "") + kTail,  // empty key parses, fails at connect
      kHead + "Protocol=SSL, Host='::1', Port='1', Timeout=86400:Seconds, " + kTail,
      kHead + kServer + kTimeout + "Certificate=PEM:[4A4b], Public=PEM:[], Private=PEM:[00]," +
          kTail,
  };
  for (const std::string& text : cases) {
    Qlkmip::ConnectionSpec spec;
    const Har::Status status = Parse(text, &spec);
    EXPECT_TRUE(status) << text << ": " << status.message();
  }
}

TEST(SpecParser, RefusesAnythingElse) {
  const std::string base = kHead + kServer + kTimeout + kTail;
  const std::string cases[] = {
      "",
      base + ",",
      base + ", Trusted_Cert=PEM:[4]",
      base + ", Trusted_Cert=PEM:[zz]",
      base + ", Trusted_Cert=PEM:[41",
      base + "Trusted_Cert=PEM:[41]",
      kHead.substr(0, kHead.size() - 3) + "={" + kServer + kTimeout + kTail,
      "Presentation={Protocol=KMIP, Version='1.2', Format=TTLV}, Session = {" + kServer + kTimeout +
          kTail,
      kHead + "Protocol=SSL, Host='', Port='5696', " + kTimeout + kTail,
      kHead + "Protocol=SSL, Host='a b', Port='5696', " + kTimeout + kTail,
      kHead + "Protocol=SSL, Host='h', Port='0', " + kTimeout + kTail,
      kHead + "Protocol=SSL, Host='h', Port='65536', " + kTimeout + kTail,
      kHead + "Protocol=SSL, Host='h', Port='56x', " + kTimeout + kTail,
      kHead + kServer + "Timeout=0:Seconds, " + kTail,
      kHead + kServer + "Timeout=86401:Seconds, " + kTail,
      kHead + kServer + "Timeout=60:Minutes, " + kTail,
      kHead + kServer + "Timeout=99999999999999999999:Seconds, " + kTail,
      kHead + "Proxy={Protocol=HTTP, Host='p', Port='1'}" + kServer + kTimeout + kTail,
      kHead + "Proxy={Protocol=SOCKS, Host='p', Port='1'}," + kServer + kTimeout + kTail,
      kHead + kServer + kTimeout + "Certificate=PEM:[41], Public=PEM:[41]," + kTail,
      kHead + kServer + kTimeout + "User_Trust}",
      kHead + kServer + kTimeout + kTail + "\n",
  };
  for (const std::string& text : cases) {
    Qlkmip::ConnectionSpec spec;
    const Har::Status status = Parse(text, &spec);
    EXPECT_FALSE(status) << text;
    EXPECT_FALSE(status.message().empty()) << text;
  }
}

TEST(SpecParser, BoundsObjectSizesAndCounts) {
  const std::string base = kHead + kServer + kTimeout + kTail;
  Qlkmip::ConnectionSpec spec;
  std::string many = base;
  for (size_t i = 0; i < Qlkmip::kMaxTrustedCerts; ++i) many += ", Trusted_Cert=PEM:[41]";
  EXPECT_TRUE(Parse(many, &spec)) << Parse(many, &spec).message();
  EXPECT_FALSE(Parse(many + ", Trusted_Cert=PEM:[41]", &spec));
  const std::string big(Qlkmip::kMaxPemObject, 'x');
  EXPECT_TRUE(Parse(base + Trusted(big), &spec)) << Parse(base + Trusted(big), &spec).message();
  EXPECT_FALSE(Parse(base + Trusted(big + "x"), &spec));
}

TEST(SpecParser, UnusablePemObjectsFailTheConnectAsBadSpecification) {
  const auto& certs = Certs();
  const std::string server = "Protocol=SSL, Host='127.0.0.1', Port='1', ";
  const std::string cases[] = {
      kHead + server + kTimeout + kTail + Trusted("not a certificate"),
      kHead + server + kTimeout + Cert(certs.client.certPem, "") + kTail +
          Trusted(certs.ca.certPem),
      kHead + server + kTimeout + Cert(certs.client.certPem, certs.server.keyPem) + kTail +
          Trusted(certs.ca.certPem),
      kHead + server + kTimeout + Cert("junk", certs.client.keyPem) + kTail,
      "garbage",
  };
  for (const std::string& text : cases) {
    qlc_session* session = nullptr;
    Result result(qlc_connect_key_manager(&session, text.c_str()));
    EXPECT_EQ(qlc_ok(result.get()), QLC_BAD_SPEC) << qlc_explain(result.get());
    EXPECT_EQ(session, nullptr);
  }
}

}  // namespace
}  // namespace QlcTest
