// The record codec against the API records: round trips, strict decoding with member paths,
// optional members, enumerations with and without an unknown marker, Base64 binaries.
#include <mirel/codec.h>
#include <zyl-bindings/records.h>
#include <zyl-bindings/services.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>
#include <test_wipes.h>

namespace {

namespace Kms = Com::Velora::Ovik::Kms;
using Mirel::Codec::Decode;
using Mirel::Codec::DecodeError;
using Mirel::Codec::Encode;

const char* kCreateSpec = R"({
  "provider": "prov1", "masterKeyId": "mk-1",
  "keyServer": {"type": "KMIP", "description": "d", "proxyServer": {"hostname": "proxy", "port": 3128},
                "connectionTimeout": 30,
                "kmipServer": {"servers": [{"name": "s1", "address": {"hostname": "kmip1", "port": 5696}},
                                           {"name": "s2", "address": {"hostname": "kmip2"}}],
                               "username": "u"}}})";

struct Carrier {
  std::string password;
  std::vector<uint8_t> configuration;
  std::optional<std::vector<std::string>> keys;
  std::map<std::string, std::string> extra;
  boost::json::value passed;
};
BOOST_DESCRIBE_STRUCT(Carrier, (), (password, configuration, keys, extra, passed))

template <class T>
DecodeError DecodeFailure(const char* json) {
  T value{};
  DecodeError error;
  EXPECT_FALSE(Decode(boost::json::parse(json), value, error)) << json;
  return error;
}

TEST(Codec, CreateSpecRoundTrip) {
  Kms::ProvidersSvc::CreateSpec spec;
  DecodeError error;
  ASSERT_TRUE(Decode(boost::json::parse(kCreateSpec), spec, error)) << error.path;
  EXPECT_EQ(spec.provider, "prov1");
  ASSERT_EQ(spec.keyServer.kmipServer.servers.size(), 2u);
  EXPECT_EQ(spec.keyServer.kmipServer.servers[0].address.port, 5696);
  EXPECT_FALSE(spec.keyServer.kmipServer.servers[1].address.port.has_value());
  EXPECT_EQ(spec.keyServer.proxyServer->hostname, "proxy");
  EXPECT_EQ(spec.keyServer.connectionTimeout, 30);
  // Encoding gives back the same JSON (absent optionals stay absent).
  EXPECT_EQ(Encode(spec), boost::json::parse(kCreateSpec));
}

TEST(Codec, StrictDecodingNamesTheMemberPath) {
  const std::pair<const char*, const char*> createFailures[] = {
      // Missing required member.
      {R"({"spec": {"provider": "p", "masterKeyId": "m", "keyServer": {"type": "KMIP"}}})",
       "spec.keyServer.kmipServer"},
      // Wrong JSON type, inside an array.
      {R"({"spec": {"provider": "p", "masterKeyId": "m", "keyServer": {"type": "KMIP",
          "kmipServer": {"servers": [{"name": "a", "address": {"hostname": "h"}},
                                     {"name": 7, "address": {"hostname": "h"}}]}}}})",
       "spec.keyServer.kmipServer.servers[1].name"},
      // Unknown member.
      {R"({"spec": {"provider": "p", "masterKeyId": "m", "extra": 1,
          "keyServer": {"type": "KMIP", "kmipServer": {"servers": []}}}})",
       "spec.extra"},
      // Unknown enumeration value of an enumeration without a marker.
      {R"({"spec": {"provider": "p", "masterKeyId": "m",
          "keyServer": {"type": "KMIPX", "kmipServer": {"servers": []}}}})",
       "spec.keyServer.type"},
  };
  for (const auto& [json, path] : createFailures) {
    EXPECT_EQ(DecodeFailure<Kms::ProvidersSvc::CreateParams>(json).path, path) << json;
  }
  // Integers: no floats, no out-of-range values, no strings.
  using Gen = Kms::KeyOperationSvc::GenerateKeyParams;
  EXPECT_EQ(DecodeFailure<Gen>(R"({"provider": "p", "keySize": 32.0})").path, "keySize");
  EXPECT_EQ(DecodeFailure<Gen>(R"({"provider": "p", "keySize": 18446744073709551615})").path,
            "keySize");
  EXPECT_EQ(DecodeFailure<Gen>(R"({"provider": "p", "keySize": "32"})").path, "keySize");
  EXPECT_EQ(DecodeFailure<Gen>(R"({"provider": null, "keySize": 32})").path, "provider");
  EXPECT_EQ(DecodeFailure<Gen>(R"([1])").path, "");
}

TEST(Codec, OptionalMembersAbsentOrNull) {
  Kms::ProvidersSvc::UpdateSpec spec;
  DecodeError error;
  ASSERT_TRUE(Decode(boost::json::parse(R"({"masterKeyId": null})"), spec, error));
  EXPECT_FALSE(spec.masterKeyId.has_value());
  EXPECT_FALSE(spec.keyServer.has_value());
  ASSERT_TRUE(Decode(
      boost::json::parse(R"({"keyServer": {"kmipServer": {"servers": null, "username": "x"}}})"),
      spec, error));
  EXPECT_FALSE(spec.keyServer->kmipServer->servers.has_value());
  EXPECT_EQ(spec.keyServer->kmipServer->username, "x");
  EXPECT_EQ(Encode(spec),
            boost::json::parse(R"({"keyServer": {"kmipServer": {"username": "x"}}})"));
}

TEST(Codec, EnumerationWithUnknownMarker) {
  Kms::RawConfigSvc::GetParams params;
  DecodeError error;
  ASSERT_TRUE(Decode(boost::json::parse(R"({"infoType": "HASH"})"), params, error));
  EXPECT_EQ(params.infoType, Kms::RawConfigSvc::InfoType::HASH);
  ASSERT_TRUE(Decode(boost::json::parse(R"({"infoType": "SOMETHING_ELSE"})"), params, error));
  EXPECT_EQ(params.infoType, Kms::RawConfigSvc::InfoType::UNKNOWN);
  // Still a string is required.
  EXPECT_EQ(DecodeFailure<Kms::RawConfigSvc::GetParams>(R"({"infoType": 1})").path, "infoType");
  EXPECT_EQ(Encode(Kms::Health::WARNING), boost::json::value("WARNING"));
}

TEST(Codec, BinaryIsCanonicalBase64) {
  Kms::RawConfigSvc::Info info;
  info.configuration = std::vector<uint8_t>{0x00, 0xff, 0x10, 'a'};
  info.hash = "h";
  const boost::json::value json = Encode(info);
  EXPECT_EQ(json.at("configuration"), boost::json::value("AP8QYQ=="));
  Kms::RawConfigSvc::Info back;
  DecodeError error;
  ASSERT_TRUE(Decode(json, back, error));
  EXPECT_EQ(back.configuration, info.configuration);
  EXPECT_EQ(back.dateTime, "1970-01-01T00:00:00Z");
  // Which texts are not canonical is Base64Test's; one of them, and a number, are refused here.
  for (const char* bad : {R"({"configuration": "AP8QYQ="})", R"({"configuration": 5})"}) {
    EXPECT_EQ(DecodeFailure<Kms::RawConfigSvc::SetParams>(bad).path, "configuration") << bad;
  }
  Kms::RawConfigSvc::SetParams empty;
  ASSERT_TRUE(Decode(boost::json::parse(R"({"configuration": ""})"), empty, error));
  EXPECT_TRUE(empty.configuration.empty());
}

TEST(Codec, MessagesInResultsAreRendered) {
  Kms::StatusSvc::Info info;
  info.health = Kms::Health::ERROR;
  info.messages.push_back(
      Mirel::Message{"com.velora.ovik.kms.key_server_timeout", "", {{"server", "s1"}}});
  Mirel::L10n::Localizer localizer("en_US", [](const std::string&) {
    return std::string("Timed out waiting for response from key server {server}.");
  });
  const auto json = Encode(info, {&localizer});
  EXPECT_EQ(json, boost::json::parse(R"({"health": "ERROR", "messages": [{
      "id": "com.velora.ovik.kms.key_server_timeout",
      "defaultMessage": "Timed out waiting for response from key server s1.",
      "args": {"server": "s1"}}]})"));
}

// Every text and byte of a decoded record is overwritten in place, whatever holds it.
TEST(Codec, WipeTextsOverwritesEveryTextOfARecord) {
  Carrier carrier;
  DecodeError error;
  ASSERT_TRUE(Decode(boost::json::parse(R"({"password": "a-password-past-the-inline-buffer",
      "configuration": "c2VjcmV0IGNvbmZpZ3VyYXRpb24=", "keys": ["key-one-past-the-inline-buffer"],
      "extra": {"pin": "extra-pin-past-the-inline-buffer"}, "passed": {"k": ["passed-text"]}})"),
                     carrier, error));
  const std::vector<std::pair<const void*, size_t>> texts = {
      {carrier.password.data(), carrier.password.size()},
      {carrier.configuration.data(), carrier.configuration.size()},
      {carrier.keys->front().data(), carrier.keys->front().size()},
      {carrier.extra.at("pin").data(), carrier.extra.at("pin").size()},
      {carrier.passed.at("k").at(0).as_string().data(), 11}};
  TestSupport::WipeRecorder wipes;
  Mirel::Codec::WipeTexts(carrier);
  for (const auto& [data, size] : texts) {
    EXPECT_TRUE(wipes.Saw([&](const TestSupport::Wipe& w) {
      return w.data == data && w.size >= size && w.zero;
    })) << size;
  }
  EXPECT_TRUE(carrier.password.empty());
  EXPECT_TRUE(carrier.configuration.empty());
}

}  // namespace
