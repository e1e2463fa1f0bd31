// Request head parsing and flags, and the chunked body decoder.
#include <mirel/transport/chunked_decoder.h>
#include <mirel/transport/http_head.h>

#include <gtest/gtest.h>

namespace {

using namespace Mirel;
using namespace Mirel::Transport::PicoHttp;

RequestHead Head(const std::string& text) {
  PhrRequest request;
  int length = PhrParse(text, request, 0);
  EXPECT_EQ(length, static_cast<int>(text.size())) << text;
  return MakeRequestHead(std::move(request));
}

TEST(PhrParse, CompleteIncompleteMalformedAndTooLong) {
  std::string head = "POST /api HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n";
  PhrRequest request;
  EXPECT_EQ(PhrParse(head + "{}", request, 0), static_cast<int>(head.size()));
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/api");
  EXPECT_EQ(request.version, 11);
  ASSERT_EQ(request.headers.size(), 2u);
  EXPECT_EQ(request.headers[1], std::make_pair(std::string("Content-Length"), std::string("2")));

  // Fed a byte at a time: incomplete until the blank line.
  for (size_t n = 1; n < head.size(); ++n) {
    EXPECT_EQ(PhrParse(std::string_view(head).substr(0, n), request, n - 1), kPhrIncomplete) << n;
  }
  EXPECT_EQ(PhrParse(head, request, head.size() - 1), static_cast<int>(head.size()));

  EXPECT_EQ(PhrParse("POST /api HTTP/1.1\r\nNo colon here\r\n\r\n", request, 0), kPhrMalformed);
  EXPECT_EQ(PhrParse("\x01\x02 / HTTP/1.1\r\n\r\n", request, 0), kPhrMalformed);
  EXPECT_EQ(PhrParse("POST /api HTTP/1.1\r\nContent-Length: x\r\n\r\n", request, 0), kPhrMalformed);
  EXPECT_EQ(
      PhrParse("POST /api HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", request, 0),
      kPhrMalformed);

  HeadLimits limits{64, 2};
  EXPECT_EQ(PhrParse("GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n", request, 0, limits),
            kPhrTooLong);
  EXPECT_EQ(PhrParse("GET / HTTP/1.1\r\nA: " + std::string(100, 'x'), request, 0, limits),
            kPhrTooLong);
  // A complete head of exactly the bound is parsed; one byte more is too long.
  const std::string atBound = "GET / HTTP/1.1\r\nA: " + std::string(41, 'x') + "\r\n\r\n";
  ASSERT_EQ(atBound.size(), limits.maxHeadBytes);
  EXPECT_EQ(PhrParse(atBound, request, 0, limits), static_cast<int>(atBound.size()));
  const std::string overBound = "GET / HTTP/1.1\r\nA: " + std::string(42, 'x') + "\r\n\r\n";
  EXPECT_EQ(PhrParse(overBound, request, 0, limits), kPhrTooLong);
}

TEST(PhrParse, BothFramingFieldsParseWithTheirOriginalNames) {
  for (std::string framing :
       {"Content-Length: 4\r\nTransfer-Encoding: chunked\r\n",
        "Transfer-Encoding: chunked\r\nContent-Length: 4\r\n",
        "Content-Length: 4\r\nTransfer-Encoding: chunked\r\nContent-Length: 9\r\n"}) {
    std::string text = "POST /api HTTP/1.1\r\n" + framing + "X: y\r\n\r\n";
    PhrRequest request;
    ASSERT_EQ(PhrParse(text, request, 0), static_cast<int>(text.size())) << framing;
    for (const auto& [name, value] : request.headers) EXPECT_NE(name[0], '~') << name;
    RequestHead head = MakeRequestHead(std::move(request));
    EXPECT_TRUE(head.chunked);
    EXPECT_FALSE(head.hasContentLength);
    EXPECT_FALSE(head.keepAlive) << "a request framed both ways must close its connection";
  }
}

TEST(TolowerAndSortHeaders, LowersNamesAndKeepsOrderOfEqualNames) {
  Headers headers = {{"X-B", "1"}, {"accept", "a"}, {"x-b", "2"}, {"Content-Type", "c"}};
  TolowerAndSortHeaders(headers);
  Headers expected = {{"accept", "a"}, {"content-type", "c"}, {"x-b", "1"}, {"x-b", "2"}};
  EXPECT_EQ(headers, expected);
}

TEST(RequestHead, FlagsFromTheHeaders) {
  RequestHead head = Head(
      "post /x HTTP/1.1\r\nCONTENT-TYPE: application/vnd.velora.mirel.stream.json\r\n"
      "Accept: application/vnd.velora.mirel.clean.stream.json\r\nConnection: Close\r\n"
      "Expect: 100-CONTINUE\r\nContent-Length: 12\r\n\r\n");
  EXPECT_TRUE(head.requestStreamed);
  EXPECT_TRUE(head.responseStreamed);
  EXPECT_FALSE(head.keepAlive);
  EXPECT_TRUE(head.hasExpect);
  EXPECT_TRUE(head.expectContinue);
  EXPECT_TRUE(head.hasContentLength);
  EXPECT_EQ(head.contentLength, 12u);
  EXPECT_FALSE(head.bad);

  head = Head("POST / HTTP/1.1\r\nExpect: 100-continue-ish\r\n\r\n");
  EXPECT_TRUE(head.hasExpect);
  EXPECT_FALSE(head.expectContinue);
  EXPECT_TRUE(head.keepAlive);
  EXPECT_TRUE(Head("POST / HTTP/1.1\r\nContent-Type: application/vnd.velora.mirel.framed\r\n\r\n")
                  .requestStreamed);
  EXPECT_FALSE(Head("POST / HTTP/1.0\r\n\r\n").bad);
  PhrRequest request;
  EXPECT_EQ(PhrParse("POST / HTTP/2.0\r\n\r\n", request, 0), kPhrMalformed);
  // A length beyond any body limit is still a well-formed head; the limit is the server's.
  EXPECT_EQ(Head("POST / HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n").contentLength,
            99999999999u);
  EXPECT_EQ(PhrParse("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: "
                     "5\r\nContent-Length: x\r\n\r\n",
                     request, 0),
            kPhrMalformed);
  // Chunked is the only coding decoded: any other Transfer-Encoding is a bad head.
  const std::pair<std::string, bool> codings[] = {
      {"chunked", true},
      {" Chunked ,", true},
      {"chunked, identity", false},
      {"xchunked", false},
      {"gzip, chunked", false},
      {"chunked;x=1", false},
      {"chunked\r\nTransfer-Encoding: chunked", false},
  };
  for (const auto& [coding, chunked] : codings) {
    const std::string text = "POST / HTTP/1.1\r\nTransfer-Encoding: " + coding + "\r\n\r\n";
    const bool parsed = PhrParse(text, request, 0) == static_cast<int>(text.size());
    const bool bad = !parsed || MakeRequestHead(std::move(request)).bad;
    EXPECT_EQ(bad, !chunked) << coding;
  }
}

TEST(RequestHead, BodylessMethodsImplyAnEmptyBody) {
  for (std::string method : {"GET", "DELETE", "HEAD", "OPTIONS", "TRACE"}) {
    RequestHead head = Head(method + " / HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(head.hasContentLength) << method;
    EXPECT_EQ(head.contentLength, 0u);
  }
  EXPECT_FALSE(Head("POST / HTTP/1.1\r\n\r\n").hasContentLength);
}

TEST(MediaTypes, FlagsAndResponseFormats) {
  EXPECT_EQ(MediaTypeFlags("application/json; charset=utf-8"), kMediaJson);
  EXPECT_EQ(MediaTypeFlags("application/vnd.velora.mirel.cframed.cleanjson"), kMediaCleanFramed);
  EXPECT_EQ(MediaTypeFlags("text/plain"), 0u);
  EXPECT_EQ(MediaTypeFlags("application/json, application/vnd.velora.mirel.stream.json"),
            kMediaJson | kMediaStreamJson);

  std::string both =
      "application/vnd.velora.mirel.cleanjson, application/vnd.velora.mirel.clean.stream.json";
  EXPECT_EQ(ResponseFormatOf(&both), kMediaCleanStreamJson);
  std::string stream =
      "application/vnd.velora.mirel.stream.json, application/vnd.velora.mirel.cleanjson";
  EXPECT_EQ(ResponseFormatOf(&stream), kMediaStreamJson);
  std::string other = "text/html";
  EXPECT_EQ(ResponseFormatOf(&other), kMediaJson);
  EXPECT_EQ(ResponseFormatOf(nullptr), kMediaJson);
}

TEST(ChunkedDecoder, DecodesPiecesExtensionsAndTrailers) {
  std::string encoded =
      "4;name=value\r\nWiki\r\n5\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\nX-T: 1\r\n\r\nNEXT";
  // Whole, and byte by byte carrying over what was not consumed.
  {
    PhrChunkedDecoder decoder(1000);
    std::string body;
    auto result = decoder.Decode(encoded, body);
    EXPECT_EQ(result.status, PhrChunkedDecoder::Status::kDone);
    EXPECT_EQ(body, "Wikipedia in\r\n\r\nchunks.");
    EXPECT_EQ(encoded.substr(result.consumed), "NEXT");
  }
  PhrChunkedDecoder decoder(1000);
  std::string body;
  std::string pending;
  size_t fed = 0;
  PhrChunkedDecoder::Result result{PhrChunkedDecoder::Status::kNeedMore, 0};
  while (result.status == PhrChunkedDecoder::Status::kNeedMore && fed < encoded.size()) {
    pending += encoded[fed++];
    result = decoder.Decode(pending, body);
    pending.erase(0, result.consumed);
  }
  EXPECT_EQ(result.status, PhrChunkedDecoder::Status::kDone);
  EXPECT_EQ(body, "Wikipedia in\r\n\r\nchunks.");
}

TEST(ChunkedDecoder, RefusesBadSizesLongLinesAndTooLongBodies) {
  std::string body;
  for (std::string bad : {"zz\r\n", "4\r\nabcdXY\r\n0\r\n\r\n", "FFFFFFFFFFFFFFFFFF\r\n"}) {
    EXPECT_EQ(PhrChunkedDecoder(1000).Decode(bad, body).status, PhrChunkedDecoder::Status::kError);
  }
  EXPECT_EQ(PhrChunkedDecoder(1000, 64).Decode("4;" + std::string(100, 'e'), body).status,
            PhrChunkedDecoder::Status::kError);
  EXPECT_EQ(PhrChunkedDecoder(10).Decode("b\r\n", body).status,
            PhrChunkedDecoder::Status::kTooLong);
  PhrChunkedDecoder exact(10);
  body.clear();
  EXPECT_EQ(exact.Decode("6\r\n123456\r\n4\r\n7890\r\n0\r\n\r\n", body).status,
            PhrChunkedDecoder::Status::kDone);
  EXPECT_EQ(body, "1234567890");
  PhrChunkedDecoder over(10);
  body.clear();
  EXPECT_EQ(over.Decode("6\r\n123456\r\n5\r\n", body).status, PhrChunkedDecoder::Status::kTooLong);
}

}  // namespace
