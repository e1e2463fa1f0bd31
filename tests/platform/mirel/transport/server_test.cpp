// The server's request handling over real loopback sockets: framing, expectations, formats,
// persistent connections and the JSON-RPC answers.
#include "transport_fixture.h"

#include <test_wait.h>
#include <test_wipes.h>

#include <harlibs/secure.h>

#include <vector>

namespace MirelTransportTest {
namespace {

constexpr std::string_view kCanned400 =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\nServer: "
    "Mirel-PicoHttp\r\n\r\n";
constexpr std::string_view kCanned417 =
    "HTTP/1.1 417 Expectation Failed\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()); }
  Client Connect() { return Client(server_.Endpoint4()); }

  // Sends `request`, expects the transport error response and the connection closed.
  void ExpectTransportError(const std::string& request, const std::string& text) {
    Client client = Connect();
    client.Send(request);
    auto response = client.Read();
    EXPECT_EQ(response.result_int(), 400);
    EXPECT_EQ(response["Content-Type"], "text/plain");
    EXPECT_EQ(response["Connection"], "close");
    EXPECT_EQ(response.body(), text);
    EXPECT_TRUE(client.ServerClosed());
  }

  TestServer server_;
};

TEST_F(ServerTest, AnswersACallAndPassesHeadersBearerTokenAndLocale) {
  Client client = Connect();
  client.Send(Post(
      Call(7), "Authorization: Bearer tok-1\r\nAccept-Language: de-DE,de;q=0.9\r\nX-Extra: v\r\n"));
  auto response = client.Read();
  EXPECT_EQ(response.result_int(), 200);
  EXPECT_EQ(response.count("mirel-error"), 0u);
  boost::json::value json = JsonOf(response);
  EXPECT_EQ(json.at("id"), 7);
  const auto& result = json.at("result");
  EXPECT_EQ(result.at("service"), "com.velora.test.svc");
  EXPECT_EQ(result.at("operation"), "op");
  EXPECT_EQ(result.at("token"), "tok-1");
  EXPECT_EQ(result.at("locale"), "de_DE");
  EXPECT_EQ(result.at("headers").at("x-extra"), "v");
  // The token travels as the context's secret only.
  EXPECT_FALSE(result.at("headers").as_object().contains("authorization"));

  // Another scheme gives no token; no Accept-Language the default locale.
  auto other = client.Ask(1, "Authorization: Basic dXNlcjpwdw==\r\n").at("result");
  EXPECT_FALSE(other.as_object().contains("token"));
  EXPECT_EQ(other.at("locale"), "en_US");
}

TEST_F(ServerTest, KeepAliveServesSeveralAndPipelinedRequests) {
  Client client = Connect();
  for (int id = 1; id <= 3; ++id) EXPECT_EQ(client.Ask(id).at("id"), id);
  client.Send(Post(Call(4)) + Post(Call(5)));
  EXPECT_EQ(JsonOf(client.Read()).at("id"), 4);
  EXPECT_EQ(JsonOf(client.Read()).at("id"), 5);
}

TEST_F(ServerTest, ConnectionCloseInAnyCaseClosesAfterTheAnswer) {
  for (std::string value : {"close", "CLOSE", "Keep-Alive, Close"}) {
    Client client = Connect();
    client.Send(Post(Call(1), "Connection: " + value + "\r\n"));
    auto response = client.Read();
    EXPECT_EQ(response.result_int(), 200) << value;
    EXPECT_EQ(response["Connection"], "close") << value;
    EXPECT_TRUE(client.ServerClosed()) << value;
  }
}

TEST_F(ServerTest, ExpectContinueGetsInterimResponseAndOtherExpectations417) {
  Client client = Connect();
  const std::string body = Call(3);
  const std::string request = Post(body, "Expect: 100-Continue\r\n");
  client.Send(request.substr(0, request.size() - body.size()));  // the head only
  auto interim = client.Read();
  EXPECT_EQ(interim.result_int(), 100);
  client.Send(body);
  auto response = client.Read();
  EXPECT_EQ(response.result_int(), 200);
  EXPECT_EQ(JsonOf(response).at("id"), 3);

  Client other = Connect();  // any other expectation: 417 and close
  other.Send(Post(Call(1), "Expect: something-else\r\n"));
  EXPECT_EQ(other.ReadToEnd(), kCanned417);
}

TEST_F(ServerTest, ChunkedBodyIsServedOnAKeptConnection) {
  std::string body = Call(9);
  std::string request =
      "POST /api HTTP/1.1\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
  request += "5;ext=1\r\n" + body.substr(0, 5) + "\r\n";
  char size[16];
  std::snprintf(size, sizeof(size), "%zx", body.size() - 5);
  request += std::string(size) + "\r\n" + body.substr(5) + "\r\n0\r\nTrailer: x\r\n\r\n";
  Client client = Connect();
  client.Send(request);
  auto response = client.Read();
  EXPECT_EQ(JsonOf(response).at("id"), 9);
  EXPECT_EQ(response["Connection"], "Keep-Alive");
  EXPECT_EQ(client.Ask(10).at("id"), 10);
}

TEST_F(ServerTest, ResponseFormatFollowsAccept) {
  struct Case {
    std::string accept;
    std::string contentType;
    bool chunked;
    bool clean;
  };
  std::vector<Case> cases = {
      {"", "application/json", false, false},
      {"Accept: application/vnd.velora.mirel.cleanjson\r\n",
       "application/vnd.velora.mirel.cleanjson", false, true},
      {"Accept: application/vnd.velora.mirel.cleanjson, "
       "application/vnd.velora.mirel.clean.stream.json\r\n",
       "application/vnd.velora.mirel.clean.stream.json", true, true},
  };
  for (const auto& c : cases) {
    Client client = Connect();
    client.Send(Post(Call(5), c.accept));
    auto response = client.Read();
    EXPECT_EQ(response["Content-Type"], c.contentType) << c.accept;
    EXPECT_EQ(response.chunked(), c.chunked) << c.accept;
    EXPECT_EQ(response.count("Content-Length"), c.chunked ? 0u : 1u) << c.accept;
    boost::json::value json = JsonOf(response);
    if (c.clean) {
      EXPECT_EQ(json.at("operation"), "op") << c.accept;
    } else {
      EXPECT_EQ(json.at("result").at("operation"), "op") << c.accept;
    }
  }
}

// Which content types are JSON is the media type parser's; here, the server's answers to others.
TEST_F(ServerTest, ContentTypeRules) {
  ExpectTransportError(Post(Call(2), "", "application/vnd.velora.mirel.framed"),
                       "frame parse error");
  ExpectTransportError(Post(Call(2), "", ""), "invalid request");
  ExpectTransportError(
      Post(Call(2), "", "application/json, application/vnd.velora.mirel.cleanjson"),
      "invalid request");
}

// Which heads are malformed or too long is the head parser's; here, the server's answers to them.
TEST_F(ServerTest, MalformedHeadsGetTheCanned400AndLongOrUnframedOnesTheTransportError) {
  Client client = Connect();
  client.Send("POST /api HTTP/1.1\r\nBad Header Line\r\n\r\n");
  EXPECT_EQ(client.ReadToEnd(), kCanned400);
  ExpectTransportError("POST /api HTTP/1.1\r\nX-Long: " + std::string(70000, 'a') + "\r\n\r\n",
                       "http headers too long");
  ExpectTransportError("POST /api HTTP/1.1\r\nContent-Type: application/json\r\n\r\n",
                       "http protocol error");  // a POST without a length
}

TEST_F(ServerTest, BodyLimitServesExactlyTheLimitAndRefusesOneMoreAlsoChunked) {
  std::string call = Call(21);
  std::string body = call + std::string(2'500'000 - call.size(), ' ');
  Client client = Connect();
  client.Send(Post(body));
  auto response = client.Read();
  ASSERT_EQ(response.result_int(), 200) << response.body();
  EXPECT_EQ(JsonOf(response).at("id"), 21);
  ExpectTransportError(Post(body + " "), "message too long");

  std::string request =
      "POST /api HTTP/1.1\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
  request += "1000\r\n" + std::string(0x1000, ' ') + "\r\n";
  request += "2625A1\r\n";  // 2,500,001 - 0x1000 + 0x1000 more than the limit allows
  ExpectTransportError(request, "message too long");
}

// Which bodies are undecodable, and their codes, are the decoder's; here, that the answer is an
// error and the provider is never called.
TEST_F(ServerTest, UndecodableRequestIsAnsweredWithoutCallingTheProvider) {
  Client client = Connect();
  client.Send(Post("{not json"));
  auto response = client.Read();
  EXPECT_EQ(response.result_int(), 200);
  EXPECT_EQ(response["mirel-error"], "com.velora.mirel.std.errors.invalid_request");
  EXPECT_EQ(JsonOf(response).at("error").at("code"), -32700);
  EXPECT_EQ(server_.provider->Calls(), 0);
}

TEST_F(ServerTest, ProviderErrorsCarryTheMirelErrorHeader) {
  server_.provider->SetAnswer([](const CallContext&, const ApiRequest&) {
    Message message{
        "com.velora.test.not_found", "The provider 'p9' does not exist.", {{"provider", "p9"}}};
    return MethodResult::Error({"com.velora.mirel.std.errors.not_found", {message}});
  });
  Client client = Connect();
  client.Send(Post(Call(4)));
  auto response = client.Read();
  EXPECT_EQ(response.result_int(), 200);
  EXPECT_EQ(response["mirel-error"], "com.velora.mirel.std.errors.not_found");
  EXPECT_EQ(JsonOf(response).at("error").at("code"), -32000);

  client.Send(Post(Call(4), "Accept: application/vnd.velora.mirel.cleanjson\r\n"));
  response = client.Read();
  EXPECT_EQ(response["mirel-error"], "com.velora.mirel.std.errors.not_found");
  EXPECT_EQ(JsonOf(response).at("type"), "com.velora.mirel.std.errors.not_found");
}

TEST_F(ServerTest, ProviderThatThrowsOrDropsTheCallbackAnswersInternalError) {
  server_.provider->SetAnswer([](const CallContext&, const ApiRequest& request) -> MethodResult {
    if (request.operationId == "throw") throw std::runtime_error("boom");
    return MethodResult::Value(nullptr);
  });
  Client client = Connect();
  client.Send(Post(Call(1, "svc.throw")));
  auto response = client.Read();
  EXPECT_EQ(response["mirel-error"], "com.velora.mirel.std.errors.internal_server_error");
  EXPECT_EQ(JsonOf(response).at("error").at("code"), -32603);
  client.Send(Post(Call(2, "svc.null")));
  EXPECT_TRUE(JsonOf(client.Read()).at("result").is_null());
  server_.provider->DropNullAnswers();
  client.Send(Post(Call(3, "svc.null")));
  EXPECT_EQ(JsonOf(client.Read()).at("error").at("code"), -32603);
}

// A memory resource that, when a block is given back, notes whether it still holds `secret`.
class SecretWatch final : public boost::json::memory_resource {
 public:
  struct Seen {
    std::atomic<int> freed{0};
    std::atomic<int> freedHoldingSecret{0};
  };
  SecretWatch(std::string secret, std::shared_ptr<Seen> seen)
      : secret_(std::move(secret)), seen_(std::move(seen)) {}

 private:
  void* do_allocate(std::size_t n, std::size_t align) override {
    return ::operator new(n, std::align_val_t(align));
  }
  void do_deallocate(void* p, std::size_t n, std::size_t align) override {
    const std::string_view block(static_cast<const char*>(p), n);
    if (block.find(secret_) != std::string_view::npos) ++seen_->freedHoldingSecret;
    ++seen_->freed;
    ::operator delete(p, std::align_val_t(align));
  }
  bool do_is_equal(const memory_resource& other) const noexcept override { return this == &other; }

  std::string secret_;
  std::shared_ptr<Seen> seen_;
};

// The request (head and body) is wiped as it is consumed, the answer's value strings before
// their storage is released, and the encoded answer once written.
TEST_F(ServerTest, RequestAndAnswerCarryingSecretsAreWiped) {
  const std::string secret(20000, 'k');  // the answer outgrows the connection's input buffer
  auto seen = std::make_shared<SecretWatch::Seen>();
  server_.provider->SetAnswer([&](const CallContext&, const ApiRequest&) {
    boost::json::storage_ptr storage = boost::json::make_shared_resource<SecretWatch>(secret, seen);
    boost::json::object result(storage);
    result["key"] = boost::json::string(secret, storage);
    result["note"] = "public";
    return MethodResult::Value(std::move(result));
  });
  const std::string body = Call(1, "com.velora.test.svc.op", "{\"password\":\"pw-0123456789\"}");
  const std::string request = Post(body, "Authorization: Bearer tok-0123456789\r\n");
  TestSupport::WipeRecorder recorder;
  Client client = Connect();
  client.Send(request);
  auto response = client.Read();
  const size_t answerLength = response.body().size();
  EXPECT_EQ(JsonOf(response).at("result").at("key"), secret.c_str());
  const auto sawSize = [&](auto match) {
    return recorder.Saw([&](const TestSupport::Wipe& w) { return match(w.size); });
  };
  auto answerWiped = [&](size_t size) { return size >= answerLength; };
  TestSupport::Eventually([&] { return seen->freed.load() > 0 && sawSize(answerWiped); });
  EXPECT_GT(seen->freed.load(), 0);
  EXPECT_EQ(seen->freedHoldingSecret.load(), 0);
  EXPECT_TRUE(sawSize(answerWiped));
  EXPECT_TRUE(sawSize([&](size_t size) { return size == body.size(); }));
  EXPECT_TRUE(sawSize([&](size_t size) { return size == request.size() - body.size(); }));
}

}  // namespace
}  // namespace MirelTransportTest
