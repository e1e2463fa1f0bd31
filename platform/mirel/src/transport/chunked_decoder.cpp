#include <mirel/transport/chunked_decoder.h>

#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

#include <algorithm>

namespace Mirel::Transport::PicoHttp {

namespace http = boost::beast::http;
using boost::beast::error_code;

// A request parser that has been given a head announcing a chunked body, so that everything put
// afterwards is parsed as the body; chunk data goes to the current output string.
class PhrChunkedDecoder::Parser final : public http::basic_parser<true> {
 public:
  static constexpr std::string_view kHead = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";

  Parser(uint64_t bodyLimit, size_t maxLineBytes) : limit_(bodyLimit) {
    header_limit(
        static_cast<uint32_t>(kHead.size() + std::min<size_t>(maxLineBytes, UINT32_MAX / 2)));
    body_limit(bodyLimit);
    eager(true);
    error_code ec;
    put(boost::asio::const_buffer(kHead.data(), kHead.size()), ec);
    primed_ = !ec && is_header_done();
  }

  bool Primed() const { return primed_; }
  void SetOutput(std::string* out) { out_ = out; }
  bool TooLong() const { return tooLong_; }

 private:
  void on_request_impl(http::verb, boost::beast::string_view, boost::beast::string_view, int,
                       error_code&) override {}
  void on_response_impl(int, boost::beast::string_view, int, error_code& ec) override {
    ec = http::error::bad_method;
  }
  void on_field_impl(http::field, boost::beast::string_view, boost::beast::string_view,
                     error_code&) override {}
  void on_header_impl(error_code&) override {}
  void on_body_init_impl(const boost::optional<uint64_t>&, error_code&) override {}
  size_t on_body_impl(boost::beast::string_view body, error_code&) override { return body.size(); }
  void on_chunk_header_impl(uint64_t, boost::beast::string_view, error_code&) override {}
  size_t on_chunk_body_impl(uint64_t, boost::beast::string_view data, error_code& ec) override {
    if (out_ == nullptr || out_->size() + data.size() > limit_) {
      tooLong_ = true;
      ec = http::error::body_limit;
      return 0;
    }
    out_->append(data);
    return data.size();
  }
  void on_finish_impl(error_code&) override {}

  uint64_t limit_;
  std::string* out_ = nullptr;
  bool primed_ = false;
  bool tooLong_ = false;
};

PhrChunkedDecoder::PhrChunkedDecoder(uint64_t bodyLimit, size_t maxLineBytes)
    : parser_(std::make_unique<Parser>(bodyLimit, maxLineBytes)), maxLineBytes_(maxLineBytes) {}

PhrChunkedDecoder::~PhrChunkedDecoder() = default;

PhrChunkedDecoder::Result PhrChunkedDecoder::Decode(std::string_view input, std::string& body) {
  if (finished_ || !parser_->Primed()) return {Status::kError, 0};
  parser_->SetOutput(&body);
  error_code ec;
  size_t consumed = parser_->put(boost::asio::const_buffer(input.data(), input.size()), ec);
  parser_->SetOutput(nullptr);
  if (ec == http::error::need_more) {
    if (input.size() - consumed > maxLineBytes_) return {Status::kError, consumed};
    return {Status::kNeedMore, consumed};
  }
  if (parser_->TooLong() || ec == http::error::body_limit) return {Status::kTooLong, consumed};
  if (ec) return {Status::kError, consumed};
  if (!parser_->is_done()) return {Status::kNeedMore, consumed};
  finished_ = true;
  return {Status::kDone, consumed};
}

}  // namespace Mirel::Transport::PicoHttp
