// The HTTP transport of the running daemon over real sockets: heads, bodies, expectations,
// connection persistence, response formats and the transport's refusals. Calls use the
// introspection service, which needs no token.
#include "rpc.h"
#include "stack_suite.h"

#include <sys/socket.h>

#include <string>
#include <tuple>

namespace ZyldIt {
namespace {

const std::string kCannedBadRequest =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\nServer: "
    "Mirel-PicoHttp\r\n\r\n";
const std::string kExpectationFailed =
    "HTTP/1.1 417 Expectation Failed\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr size_t kBodyLimit = 2'500'000;

std::string Body(int id = 1) { return RpcBody(kProviderGet, "", id); }

std::string Head(const std::string& method, const std::string& headers) {
  return method + " /api HTTP/1.1\r\nHost: localhost\r\n" + headers + "\r\n";
}

std::string Chunked(const std::string& body, size_t pieces) {
  std::string out;
  const size_t step = body.size() / pieces + 1;
  for (size_t at = 0; at < body.size(); at += step) {
    const std::string piece = body.substr(at, step);
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    out += size + piece + "\r\n";
  }
  return out + "0\r\n\r\n";
}

// A JSON body of exactly n bytes (the request padded with trailing spaces).
std::string BodyOfSize(size_t n) {
  std::string body = Body();
  body.append(n - body.size(), ' ');
  return body;
}

// The answer is a standard success for the introspection call with this id.
void ExpectServed(const std::optional<Response>& r, int id = 1) {
  ASSERT_TRUE(r) << "no answer";
  EXPECT_EQ(r->status, 200);
  const auto answer = ParseJson(r->body);
  EXPECT_TRUE(ResultOf(answer).is_object()) << r->body;
  EXPECT_EQ(answer.at("id").as_int64(), id) << r->body;
}

// The answer is the transport's 400 and the connection is closed after it.
void ExpectRefusedAndClosed(Connection& c) {
  auto r = c.ReadResponse();
  ASSERT_TRUE(r) << "no answer";
  EXPECT_EQ(r->status, 400);
  EXPECT_EQ(r->Header("connection"), "close");
  EXPECT_TRUE(c.ClosedByPeer());
}

class Transport : public StackSuite {};

TEST_F(Transport, ExpectContinueIsAnsweredBeforeTheBodyIsSent) {
  Connection c(Port());
  const std::string body = Body();
  ASSERT_TRUE(c.Send(
      Head("POST", "Content-Type: application/json\r\nExpect: 100-Continue\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n")));
  EXPECT_EQ(c.ReadExactly(kContinue.size()), kContinue);
  ASSERT_TRUE(c.Send(body));
  ExpectServed(c.ReadResponse());
}

TEST_F(Transport, AnyOtherExpectationGets417AndTheConnectionIsClosed) {
  Connection c(Port());
  ASSERT_TRUE(c.Send(PostRequest(Body(), "Expect: 200-ok\r\n")));
  EXPECT_EQ(c.ReadExactly(kExpectationFailed.size()), kExpectationFailed);
  EXPECT_TRUE(c.ClosedByPeer());
}

TEST_F(Transport, ChunkedBodyIsReadAndTheConnectionKeptOpen) {
  Connection c(Port());
  const std::string head =
      Head("POST", "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n");
  ASSERT_TRUE(c.Send(head + Chunked(Body(1), 3)));
  auto first = c.ReadResponse();
  ExpectServed(first, 1);
  EXPECT_EQ(first->Header("connection"), "Keep-Alive");
  ASSERT_TRUE(c.Send(head + Chunked(Body(2), 1)));
  ExpectServed(c.ReadResponse(), 2);
}

// A length next to chunked encoding is ignored, and such a message closes its connection: a
// server and a proxy that disagree on where it ends would otherwise read a smuggled request.
TEST_F(Transport, ChunkedWithALengthIsReadAsChunkedAndThenClosed) {
  Connection c(Port());
  ASSERT_TRUE(c.Send(Head("POST",
                          "Content-Type: application/json\r\nContent-Length: 3\r\n"
                          "Transfer-Encoding: chunked\r\n") +
                     Chunked(Body(), 2)));
  auto r = c.ReadResponse();
  ExpectServed(r);
  EXPECT_EQ(r->Header("connection"), "close");
  EXPECT_TRUE(c.ClosedByPeer());
}

TEST_F(Transport, GetWithoutALengthIsServedWithAnEmptyBody) {
  Connection c(Port());
  ASSERT_TRUE(c.Send(Head("GET", "Content-Type: application/json\r\n")));
  auto r = c.ReadResponse();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(ErrorCodeOf(ParseJson(r->body)), -32700) << r->body;
  EXPECT_EQ(r->Header("connection"), "Keep-Alive");
  ASSERT_TRUE(c.Send(PostRequest(Body(2))));
  ExpectServed(c.ReadResponse(), 2);
}

TEST_F(Transport, PostWithoutLengthOrChunkedIsRefused) {
  Connection c(Port());
  ASSERT_TRUE(c.Send(Head("POST", "Content-Type: application/json\r\n") + Body()));
  ExpectRefusedAndClosed(c);
}

TEST_F(Transport, ConnectionCloseInAnyCaseClosesAfterTheResponse) {
  for (const char* value : {"close", "CLOSE", "Keep-Alive, Close"}) {
    SCOPED_TRACE(value);
    Connection c(Port());
    ASSERT_TRUE(c.Send(PostRequest(Body(), std::string("Connection: ") + value + "\r\n")));
    auto r = c.ReadResponse();
    ExpectServed(r);
    EXPECT_EQ(r->Header("connection"), "close");
    EXPECT_TRUE(c.ClosedByPeer());
  }
}

TEST_F(Transport, KeepAliveServesRequestsInTurnOnOneConnection) {
  Connection c(Port());
  for (int id = 1; id <= 5; ++id) {
    ASSERT_TRUE(c.Send(PostRequest(Body(id))));
    auto r = c.ReadResponse();
    ExpectServed(r, id);
    EXPECT_EQ(r->Header("connection"), "Keep-Alive");
    EXPECT_EQ(r->Header("server"), "Mirel-PicoHttp");
  }
  // Two requests written at once are answered in order.
  ASSERT_TRUE(c.Send(PostRequest(Body(6)) + PostRequest(Body(7))));
  ExpectServed(c.ReadResponse(), 6);
  ExpectServed(c.ReadResponse(), 7);
}

struct FormatCase {
  const char* accept;  // nullptr: no Accept header
  const char* contentType;
  bool streamed;
  bool clean;
};

class TransportFormats : public Transport, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(TransportFormats, AcceptSelectsTheResponseFormat) {
  const FormatCase& f = GetParam();
  const std::string accept = f.accept ? std::string("Accept: ") + f.accept + "\r\n" : "";
  auto ok = RoundTrip(Port(), PostRequest(Body(), accept));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  EXPECT_EQ(ok->Header("content-type"), f.contentType);
  EXPECT_EQ(ok->chunked, f.streamed);
  EXPECT_EQ(ok->Header("content-length").empty(), f.streamed);
  const auto value = ParseJson(ok->body);
  const auto& result = f.clean ? value : ResultOf(value);
  EXPECT_FALSE(StringAt(result, {"id"}).empty()) << ok->body;
  EXPECT_EQ(value.as_object().contains("jsonrpc"), !f.clean) << ok->body;

  auto error = RoundTrip(Port(), PostRequest(RpcBody("com.velora.ovik.kms.nothing.here"), accept));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->status, 200);
  EXPECT_EQ(error->Header("mirel-error"), std::string(kErrors) + "operation_not_found");
  const auto errorValue = ParseJson(error->body);
  const auto& data = f.clean ? errorValue : errorValue.at("error").at("data");
  EXPECT_EQ(StringAt(data, {"type"}), std::string(kErrors) + "operation_not_found") << error->body;
}

INSTANTIATE_TEST_SUITE_P(
    Transport, TransportFormats,
    ::testing::Values(FormatCase{nullptr, "application/json", false, false},
                      FormatCase{"application/json", "application/json", false, false},
                      FormatCase{"application/vnd.velora.mirel.cleanjson",
                                 "application/vnd.velora.mirel.cleanjson", false, true},
                      FormatCase{"application/vnd.velora.mirel.stream.json",
                                 "application/vnd.velora.mirel.stream.json", true, false},
                      FormatCase{"application/vnd.velora.mirel.clean.stream.json",
                                 "application/vnd.velora.mirel.clean.stream.json", true, true},
                      FormatCase{"application/vnd.velora.mirel.cleanjson, "
                                 "application/vnd.velora.mirel.clean.stream.json",
                                 "application/vnd.velora.mirel.clean.stream.json", true, true}));

TEST_F(Transport, ContentTypeDecidesWhetherTheRequestIsRead) {
  ExpectServed(RoundTrip(
      Port(), Head("POST", "Content-Type: application/json; charset=utf-8\r\nContent-Length: " +
                               std::to_string(Body().size()) + "\r\n") +
                  Body()));
  for (const char* type : {"application/vnd.velora.mirel.framed",
                           "application/vnd.velora.mirel.cleanjson", "text/plain", ""}) {
    SCOPED_TRACE(type);
    Connection c(Port());
    const std::string header = *type ? std::string("Content-Type: ") + type + "\r\n" : "";
    ASSERT_TRUE(
        c.Send(Head("POST", header + "Content-Length: " + std::to_string(Body().size()) + "\r\n") +
               Body()));
    auto r = c.ReadResponse();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);
    EXPECT_EQ(r->Header("content-type"), "text/plain");
    EXPECT_TRUE(c.ClosedByPeer());
  }
}

TEST_F(Transport, UnusableHeadsGetTheCannedOrTransportRefusal) {
  {
    Connection c(Port());
    ASSERT_TRUE(c.Send(Head("POST", "Content-Type: application/json\r\nContent-Length: 12abc\r\n") +
                       Body()));
    EXPECT_EQ(c.ReadExactly(kCannedBadRequest.size()), kCannedBadRequest);
    EXPECT_TRUE(c.ClosedByPeer());
  }
  {
    Connection c(Port());
    ASSERT_TRUE(c.Send("THIS IS NOT HTTP\r\n\x01\x02\r\n\r\n"));
    ExpectRefusedAndClosed(c);
  }
}

TEST_F(Transport, BodyLimitServesExactlyTheLimitAndRefusesOneByteMore) {
  ExpectServed(RoundTrip(Port(), PostRequest(BodyOfSize(kBodyLimit))));
  {
    Connection c(Port());
    ASSERT_TRUE(c.Send(PostRequest(BodyOfSize(kBodyLimit + 1))));
    ExpectRefusedAndClosed(c);
  }
  {
    Connection c(Port());
    const std::string head =
        Head("POST", "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n");
    c.Send(head + Chunked(BodyOfSize(kBodyLimit + 1), 40));
    ExpectRefusedAndClosed(c);
  }
}

TEST_F(Transport, BodyEndingEarlyClosesTheConnection) {
  Connection c(Port());
  const std::string body = Body();
  ASSERT_TRUE(c.Send(Head("POST", "Content-Type: application/json\r\nContent-Length: " +
                                      std::to_string(body.size() + 50) + "\r\n") +
                     body));
  ASSERT_TRUE(c.HalfClose());
  auto r = c.ReadResponse();
  if (r) {
    EXPECT_EQ(r->status, 400);
  }
  EXPECT_TRUE(c.ClosedByPeer());
}

// JSON-RPC errors answered before any service runs: (body, code, error type, member).
using RpcErrorCase = std::tuple<std::string, int, std::string, std::string>;

class TransportRpcErrors : public Transport, public ::testing::WithParamInterface<RpcErrorCase> {};

TEST_P(TransportRpcErrors, AreAnsweredWithTheirCodeAndType) {
  const auto& [body, code, type, member] = GetParam();
  auto r = RoundTrip(Port(), PostRequest(body));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->Header("mirel-error"), std::string(kErrors) + type);
  const auto answer = ParseJson(r->body);
  EXPECT_EQ(ErrorCodeOf(answer), code) << r->body;
  EXPECT_EQ(ErrorTypeOf(answer), type) << r->body;
  if (!member.empty()) {
    const auto& messages = answer.at("error").at("data").at("messages").as_array();
    ASSERT_EQ(messages.size(), 1u) << r->body;
    EXPECT_EQ(StringAt(messages[0], {"id"}), "com.velora.mirel.std.errors.invalid_params");
    EXPECT_EQ(StringAt(messages[0], {"args", "member"}), member) << r->body;
  }
}

// A batch (array) of one request.
std::string Batch() {
  std::string body = "[";
  body += RpcBody(kProviderGet);
  body += "]";
  return body;
}

const char* const kOperationGet = "com.velora.mirel.std.introspection.operation.get";

INSTANTIATE_TEST_SUITE_P(
    Transport, TransportRpcErrors,
    ::testing::Values(
        RpcErrorCase{R"({"jsonrpc":"2.0","id":1,"method":)", -32700, "invalid_request", ""},
        RpcErrorCase{Batch(), -32600, "invalid_request", ""},
        RpcErrorCase{
            R"({"jsonrpc":"2.0","method":"com.velora.mirel.std.introspection.provider.get"})",
            -32600, "invalid_request", ""},
        RpcErrorCase{
            R"({"jsonrpc":"1.0","id":1,"method":"com.velora.mirel.std.introspection.provider.get"})",
            -32600, "invalid_request", ""},
        RpcErrorCase{RpcBody("com.velora.ovik.kms.key_operation.no_such_operation"), -32601,
                     "operation_not_found", ""},
        RpcErrorCase{RpcBody(kOperationGet, R"({"serviceId":7,"operationId":"get"})"), -32602,
                     "invalid_argument", "serviceId"},
        RpcErrorCase{RpcBody(kOperationGet, R"({"serviceId":"a","operationId":"b","extra":1})"),
                     -32602, "invalid_argument", "extra"},
        RpcErrorCase{RpcBody(kOperationGet, R"({"serviceId":"a"})"), -32602, "invalid_argument",
                     "operationId"}));

TEST_F(Transport, StringIdsAreEchoed) {
  auto r = RoundTrip(Port(), PostRequest(R"({"jsonrpc":"2.0","id":"abc","method":")" +
                                         std::string(kProviderGet) + "\"}"));
  ASSERT_TRUE(r);
  EXPECT_EQ(StringAt(ParseJson(r->body), {"id"}), "abc") << r->body;
}

}  // namespace
}  // namespace ZyldIt
