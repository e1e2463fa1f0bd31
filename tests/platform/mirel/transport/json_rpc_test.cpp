// JSON-RPC request decoding and answer encoding.
#include <mirel/json_rpc.h>

#include <boost/json.hpp>
#include <gtest/gtest.h>
#include <test_wipes.h>

#include <optional>

namespace {

using namespace Mirel;
using namespace Mirel::Json;

TEST(JsonRpcDecode, ValidRequestsSplitTheMethodAtTheLastDot) {
  DecodeResult r = DecodeRequest(
      R"({"jsonrpc":"2.0","id":7,"method":"com.velora.ovik.kms.key_operation.generate_key",
                                     "params":{"provider":"p1","keySize":32}})");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.request.id, 7);
  EXPECT_EQ(r.request.serviceId, "com.velora.ovik.kms.key_operation");
  EXPECT_EQ(r.request.operationId, "generate_key");
  EXPECT_EQ(r.request.params.at("keySize"), 32);

  r = DecodeRequest(R"({"id":"abc","jsonrpc":"2.0","method":"svc.op"})");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.request.id, "abc");
  EXPECT_TRUE(r.request.params.is_null());

  // Integer ids at the ends of their ranges are echoed digit for digit.
  for (std::string id : {"-9223372036854775808", "18446744073709551615"}) {
    r = DecodeRequest(R"({"jsonrpc":"2.0","method":"a.b","id":)" + id + "}");
    ASSERT_TRUE(r.ok) << id;
    Har::Secret out;
    EncodeResponse(r.request.id, MethodResult::Value(nullptr), ResponseFormat::kStandard, nullptr,
                   out);
    EXPECT_NE(out.view().find("\"id\":" + id + ","), std::string_view::npos) << out.view();
  }
}

TEST(JsonRpcDecode, NotJsonIsAParseError) {
  for (std::string body : {"", "{", "{\"id\":1} trailing", "nul"}) {
    DecodeResult r = DecodeRequest(body);
    EXPECT_FALSE(r.ok) << body;
    EXPECT_EQ(r.errorCode, kParseErrorCode) << body;
    EXPECT_EQ(r.error.type, "com.velora.mirel.std.errors.invalid_request");
    EXPECT_TRUE(r.request.id.is_null());
  }
}

TEST(JsonRpcDecode, InvalidRequestsEchoTheIdWhenOneWasRead) {
  struct Case {
    std::string body;
    bool idEchoed;
  };
  std::vector<Case> cases = {
      {R"([{"jsonrpc":"2.0","id":1,"method":"a.b"}])", false},
      {R"(42)", false},
      {R"({"jsonrpc":"2.0","method":"a.b"})", false},
      {R"({"jsonrpc":"2.0","id":null,"method":"a.b"})", false},
      {R"({"jsonrpc":"2.0","id":{},"method":"a.b"})", false},
      {R"({"jsonrpc":"2.0","id":-1e999,"method":"a.b"})", false},
      {R"({"jsonrpc":"2.0","id":1e999,"method":"a.b"})", false},
      {R"({"jsonrpc":"1.0","id":1,"method":"a.b"})", true},
      {R"({"id":1,"method":"a.b"})", true},
      {R"({"jsonrpc":"2.0","id":1,"method":"nodot"})", true},
      {R"({"jsonrpc":"2.0","id":1,"method":"trailing."})", true},
      {R"({"jsonrpc":"2.0","id":1,"method":".leading"})", true},
      {R"({"jsonrpc":"2.0","id":1,"method":3})", true},
      {R"({"jsonrpc":"2.0","id":1,"method":"a.b","params":[1]})", true},
      {R"({"jsonrpc":"2.0","id":1,"method":"a.b","params":null})", true},
  };
  for (const auto& c : cases) {
    DecodeResult r = DecodeRequest(c.body);
    EXPECT_FALSE(r.ok) << c.body;
    EXPECT_EQ(r.errorCode, kInvalidRequestCode) << c.body;
    EXPECT_EQ(r.request.id.is_null(), !c.idEchoed) << c.body;
  }
}

TEST(JsonRpcDecode, LimitsAreEnforced) {
  const std::string body = R"({"jsonrpc":"2.0","id":1,"method":"a.b"})";
  DecodeLimits limits;
  limits.maxBodyBytes = body.size();  // the bound itself is allowed, one byte more is not
  EXPECT_TRUE(DecodeRequest(body, limits).ok);
  limits.maxBodyBytes = body.size() - 1;
  EXPECT_EQ(DecodeRequest(body, limits).errorCode, kInvalidRequestCode);
  std::string deep = R"({"jsonrpc":"2.0","id":1,"method":"a.b","params":{"x":)" +
                     std::string(100, '[') + std::string(100, ']') + "}}";
  EXPECT_EQ(DecodeRequest(deep).errorCode, kParseErrorCode);
}

// The decoded params live in wiping storage, also after the request has been moved along: a
// password in them is overwritten when the request is released.
TEST(JsonRpcDecode, ParamsAreWipedWhenTheRequestIsReleased) {
  DecodeResult decoded = DecodeRequest(
      R"({"jsonrpc":"2.0","id":1,"method":"a.b","params":{"password":"pw-past-the-inline-buffer"}})");
  ASSERT_TRUE(decoded.ok);
  std::optional<ApiRequest> request(std::move(decoded.request));
  const boost::json::string& password = request->params.at("password").as_string();
  const void* text = password.data();
  const size_t size = password.size();
  TestSupport::WipeRecorder wipes;
  request.reset();
  EXPECT_TRUE(wipes.Saw([&](const TestSupport::Wipe& w) {
    return w.data <= text &&
           static_cast<const char*>(text) + size <= static_cast<const char*>(w.data) + w.size &&
           w.zero;
  }));
}

// The answer to call `id`, parsed back.
boost::json::value Encoded(const boost::json::value& id, const MethodResult& result,
                           ResponseFormat format = ResponseFormat::kStandard,
                           const RenderFunction& render = nullptr, int code = 0) {
  Har::Secret out;
  EncodeResponse(id, result, format, render, out, code);
  return boost::json::parse(out.view());
}

TEST(JsonRpcEncode, StandardResultAndNullResult) {
  EXPECT_EQ(Encoded(7, MethodResult::Value(boost::json::object{{"k", "v"}})),
            boost::json::parse(R"({"jsonrpc":"2.0","id":7,"result":{"k":"v"}})"));
  EXPECT_EQ(Encoded("x", MethodResult::Value(nullptr)),
            boost::json::parse(R"({"jsonrpc":"2.0","id":"x","result":null})"));
}

ErrorValue Error(std::string type, std::string messageId = "m.id") {
  Message message{std::move(messageId),
                  "Provider '{provider}' \"quoted\"\n",
                  {{"provider", "p9"}, {"days", "30"}}};
  return ErrorValue{std::move(type), {std::move(message)}};
}

// Codes per error type: Errors.FrameworkErrorsAndCodes; here, that the answer carries its code.
TEST(JsonRpcEncode, StandardErrorCarriesTheCodeOfItsType) {
  const auto error = MethodResult::Error(Error("com.velora.mirel.std.errors.invalid_request"));
  boost::json::value json = Encoded(3, error);
  EXPECT_EQ(json.at("error").at("code"), -32600);
  EXPECT_EQ(json.at("id"), 3);
  EXPECT_FALSE(json.as_object().contains("result"));
  json = Encoded(nullptr, error, ResponseFormat::kStandard, nullptr, kParseErrorCode);
  EXPECT_EQ(json.at("error").at("code"), kParseErrorCode);
}

TEST(JsonRpcEncode, MessagesAreRenderedWithFallbackToTheDefault) {
  const auto error = MethodResult::Error(Error("com.velora.mirel.std.errors.not_found"));
  boost::json::value json = Encoded(1, error);
  EXPECT_EQ(json.at("error").at("message"), "Provider '{provider}' \"quoted\"\n");
  const auto& data = json.at("error").at("data");
  EXPECT_EQ(data.at("type"), "com.velora.mirel.std.errors.not_found");
  EXPECT_EQ(data.at("messages").at(0).at("id"), "m.id");
  EXPECT_EQ(data.at("messages").at(0).at("args"),
            boost::json::parse(R"({"days":"30","provider":"p9"})"));

  RenderFunction render = [](const Message& m) { return "rendered " + m.args.at("provider"); };
  json = Encoded(1, error, ResponseFormat::kStandard, render);
  EXPECT_EQ(json.at("error").at("message"), "rendered p9");
  EXPECT_EQ(json.at("error").at("data").at("messages").at(0).at("defaultMessage"), "rendered p9");
}

TEST(JsonRpcEncode, CleanFormatIsTheBareResultOrErrorData) {
  EXPECT_EQ(Encoded(1, MethodResult::Value(boost::json::array{1, 2}), ResponseFormat::kClean),
            boost::json::parse("[1,2]"));
  EXPECT_TRUE(Encoded(1, MethodResult::Value(nullptr), ResponseFormat::kClean).is_null());
  boost::json::value json =
      Encoded(1, MethodResult::Error(Error("com.velora.mirel.std.errors.not_found")),
              ResponseFormat::kClean);
  EXPECT_EQ(json.at("type"), "com.velora.mirel.std.errors.not_found");
  EXPECT_EQ(json.at("messages").as_array().size(), 1u);
  EXPECT_FALSE(json.as_object().contains("jsonrpc"));
}

}  // namespace
