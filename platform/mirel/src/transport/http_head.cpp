#include <mirel/transport/http_head.h>

#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <vector>

namespace Mirel::Transport::PicoHttp {
namespace {

namespace http = boost::beast::http;
using boost::beast::error_code;

// Largest number of Content-Length / Transfer-Encoding fields hidden from Beast's framing checks
// (see PhrParse); a head needing more is malformed.
constexpr int kMaxHiddenFields = 8;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ToLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Lower(c);
  return out;
}

bool ContainsNoCase(std::string_view text, std::string_view needle) {
  return std::search(text.begin(), text.end(), needle.begin(), needle.end(),
                     [](char a, char b) { return Lower(a) == Lower(b); }) != text.end();
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ContainsNoCase(a, b);
}

std::string_view TrimSpace(std::string_view text) {
  constexpr std::string_view kSpace = " \t";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// Whether a Transfer-Encoding value lists the one coding chunked (elements separated by commas,
// whitespace around them and empty ones ignored, any case). Chunked is the only coding decoded.
bool IsChunkedOnly(std::string_view value) {
  size_t codings = 0;
  bool chunked = false;
  for (;;) {
    const size_t comma = value.find(',');
    const std::string_view element = TrimSpace(value.substr(0, comma));
    if (!element.empty()) {
      ++codings;
      chunked = EqualsNoCase(element, "chunked");
    }
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return codings == 1 && chunked;
}

std::optional<uint64_t> ParseUnsigned(std::string_view text) {
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Collects the request line and the fields as received. Fields whose name was hidden (renamed in
// a scratch copy, see PhrParse) are reported under their original name.
class HeadCollector final : public http::basic_parser<true> {
 public:
  HeadCollector(PhrRequest& out, std::string_view original, const char* parsed,
                const std::vector<size_t>& hidden, size_t maxHeaders)
      : out_(out), original_(original), parsed_(parsed), hidden_(hidden), maxHeaders_(maxHeaders) {}

  bool tooManyHeaders = false;
  std::optional<size_t> firstFramingField;  // offset of the first Content-Length/Transfer-Encoding

 private:
  void on_request_impl(http::verb, boost::beast::string_view method,
                       boost::beast::string_view target, int version, error_code&) override {
    out_.method.assign(method);
    out_.path.assign(target);
    out_.version = version;
  }
  void on_response_impl(int, boost::beast::string_view, int, error_code& ec) override {
    ec = http::error::bad_method;
  }
  void on_field_impl(http::field field, boost::beast::string_view name,
                     boost::beast::string_view value, error_code& ec) override {
    if (out_.headers.size() >= maxHeaders_) {
      tooManyHeaders = true;
      ec = http::error::header_limit;
      return;
    }
    size_t offset = static_cast<size_t>(name.data() - parsed_);
    bool isHidden = std::find(hidden_.begin(), hidden_.end(), offset) != hidden_.end();
    if (isHidden) name = original_.substr(offset, name.size());
    bool framing = field == http::field::content_length || field == http::field::transfer_encoding;
    if (framing && !firstFramingField) firstFramingField = offset;
    out_.headers.emplace_back(name, value);
  }
  void on_header_impl(error_code&) override {}
  void on_body_init_impl(const boost::optional<uint64_t>&, error_code&) override {}
  size_t on_body_impl(boost::beast::string_view body, error_code&) override { return body.size(); }
  void on_chunk_header_impl(uint64_t, boost::beast::string_view, error_code&) override {}
  size_t on_chunk_body_impl(uint64_t, boost::beast::string_view body, error_code&) override {
    return body.size();
  }
  void on_finish_impl(error_code&) override {}

  PhrRequest& out_;
  std::string_view original_;
  const char* parsed_;
  const std::vector<size_t>& hidden_;
  size_t maxHeaders_;
};

enum class Outcome { kOk, kMalformed, kTooLong, kFramingConflict };

Outcome RunParser(std::string_view original, std::string_view parsed,
                  const std::vector<size_t>& hidden, PhrRequest& request, const HeadLimits& limits,
                  size_t& conflictField) {
  request = PhrRequest{};
  HeadCollector collector(request, original, parsed.data(), hidden, limits.maxHeaders);
  collector.header_limit(static_cast<uint32_t>(std::min<size_t>(limits.maxHeadBytes, UINT32_MAX)));
  collector.body_limit(boost::none);  // the body is not parsed here; its limit is the caller's
  error_code ec;
  size_t used = collector.put(boost::asio::const_buffer(parsed.data(), parsed.size()), ec);
  if (collector.tooManyHeaders) return Outcome::kTooLong;
  bool conflict = ec == http::error::bad_content_length || ec == http::error::bad_transfer_encoding;
  if (conflict && collector.firstFramingField) {
    conflictField = *collector.firstFramingField;
    return Outcome::kFramingConflict;
  }
  if (ec || used != parsed.size() || !collector.is_header_done()) return Outcome::kMalformed;
  return Outcome::kOk;
}

constexpr std::array<std::string_view, 6> kMediaTypes = {
    "application/json",
    "application/vnd.velora.mirel.cleanjson",
    "application/vnd.velora.mirel.framed",
    "application/vnd.velora.mirel.cframed.cleanjson",
    "application/vnd.velora.mirel.stream.json",
    "application/vnd.velora.mirel.clean.stream.json",
};

bool IsBodylessMethod(std::string_view method) {
  for (std::string_view m : {"delete", "get", "head", "connect", "options", "trace"}) {
    if (method == m) return true;
  }
  return false;
}

void ApplyHeader(RequestHead& head, const std::string& name, const std::string& value) {
  if (name == "content-type") {
    head.contentType = value;
    head.hasContentType = true;
    head.requestStreamed = value.find(".stream.json") != std::string::npos ||
                           value.find(".framed") != std::string::npos;
  } else if (name == "accept") {
    head.accept = value;
    head.hasAccept = true;
    head.responseStreamed = value.find(".stream.json") != std::string::npos;
  } else if (name == "content-length") {
    std::optional<uint64_t> length = ParseUnsigned(value);
    if (!length) {
      head.bad = true;
      return;
    }
    head.contentLength = *length;
    head.hasContentLength = true;
    head.sawContentLength = true;
  } else if (name == "transfer-encoding") {
    // A second field would add its codings to the first's list.
    if (head.chunked || !IsChunkedOnly(value)) {
      head.bad = true;
      return;
    }
    head.chunked = true;
  } else if (name == "connection") {
    if (ContainsNoCase(value, "close")) head.keepAlive = false;
  } else if (name == "expect") {
    head.hasExpect = true;
    head.expectContinue = EqualsNoCase(value, "100-continue");
  }
}

}  // namespace

// Beast enforces the framing rules of the fields it knows and refuses a head carrying both
// Content-Length and Transfer-Encoding. Such a head is served here (as chunked, see
// MakeRequestHead): the framing field that Beast accepted first is hidden from it by renaming it
// in a scratch copy of the head, and the head is parsed again; the collector reports the field
// under its original name.
int PhrParse(std::string_view buffer, PhrRequest& request, size_t lastLength,
             const HeadLimits& limits) {
  size_t from = std::min(lastLength, buffer.size());
  from = from > 3 ? from - 3 : 0;
  size_t end = buffer.find("\r\n\r\n", from);
  if (end == std::string_view::npos) {
    return buffer.size() > limits.maxHeadBytes ? kPhrTooLong : kPhrIncomplete;
  }
  size_t length = end + 4;
  if (length > limits.maxHeadBytes) return kPhrTooLong;
  std::string_view head = buffer.substr(0, length);
  std::string scratch;
  std::vector<size_t> hidden;
  for (int attempt = 0; attempt <= kMaxHiddenFields; ++attempt) {
    std::string_view parsed = scratch.empty() ? head : std::string_view(scratch);
    size_t conflictField = 0;
    switch (RunParser(head, parsed, hidden, request, limits, conflictField)) {
      case Outcome::kOk:
        return static_cast<int>(length);
      case Outcome::kMalformed:
        return kPhrMalformed;
      case Outcome::kTooLong:
        return kPhrTooLong;
      case Outcome::kFramingConflict:
        break;
    }
    if (scratch.empty()) scratch.assign(head);
    scratch[conflictField] = '~';
    hidden.push_back(conflictField);
  }
  return kPhrMalformed;
}

void TolowerAndSortHeaders(Headers& headers) {
  for (auto& header : headers) {
    for (char& c : header.first) c = Lower(c);
  }
  std::stable_sort(headers.begin(), headers.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

unsigned MediaTypeFlags(std::string_view value) {
  unsigned flags = 0;
  for (size_t i = 0; i < kMediaTypes.size(); ++i) {
    if (value.find(kMediaTypes[i]) != std::string_view::npos) flags |= 1u << i;
  }
  return flags;
}

unsigned ResponseFormatOf(const std::string* accept) {
  if (accept == nullptr) return kMediaJson;
  unsigned flags = MediaTypeFlags(*accept);
  for (unsigned format : {kMediaCleanStreamJson, kMediaStreamJson, kMediaCleanJson}) {
    if (flags & format) return format;
  }
  return kMediaJson;
}

std::string_view ContentTypeOf(unsigned format) {
  switch (format) {
    case kMediaCleanJson:
      return kMediaTypes[1];
    case kMediaStreamJson:
      return kMediaTypes[4];
    case kMediaCleanStreamJson:
      return kMediaTypes[5];
    default:
      return kMediaTypes[0];
  }
}

RequestHead MakeRequestHead(PhrRequest&& request) {
  RequestHead head;
  head.method = ToLower(request.method);
  head.path = std::move(request.path);
  head.headers = std::move(request.headers);
  TolowerAndSortHeaders(head.headers);
  for (const auto& [name, value] : head.headers) ApplyHeader(head, name, value);
  if (head.chunked) {
    head.contentLength = 0;
    head.hasContentLength = false;
    // A request framed both ways is read as chunked, but its connection is closed after the
    // response: an intermediary may have framed it by the length, so whatever follows it on the
    // connection cannot be trusted to start a request (request smuggling, RFC 9112 section 6.1).
    if (head.sawContentLength) head.keepAlive = false;
  }
  if (!head.hasContentLength && !head.chunked && IsBodylessMethod(head.method)) {
    head.hasContentLength = true;
    head.contentLength = 0;
  }
  return head;
}

std::string RequestHead::Describe() const {
  std::string text = method + " " + path;
  text += " content-type:" + contentType + " accept:" + accept;
  text +=
      " content-length:" + (hasContentLength ? std::to_string(contentLength) : std::string("none"));
  text += chunked ? " chunked" : "";
  text += keepAlive ? " keep-alive" : " close";
  text += hasExpect ? (expectContinue ? " expect:100-continue" : " expect:other") : "";
  text += bad ? " bad" : "";
  return text;
}

}  // namespace Mirel::Transport::PicoHttp
