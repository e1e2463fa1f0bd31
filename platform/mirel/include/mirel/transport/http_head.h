// Request heads of the HTTP transport.
//
// PhrParse parses one HTTP/1.x request head (request line and header fields) from the start of a
// buffer with Boost.Beast's parser and returns the head length, kPhrMalformed, kPhrIncomplete or
// kPhrTooLong (more than `limits.maxHeadBytes` bytes or `limits.maxHeaders` fields). It extracts
// the syntax only: the meaning of the fields is MakeRequestHead's, which lower-cases and sorts the
// fields (TolowerAndSortHeaders) and derives the flags the connection acts on. Both are pure
// functions of their input.
#pragma once

#include <mirel/provider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Mirel::Transport::PicoHttp {

inline constexpr int kPhrMalformed = -1;
inline constexpr int kPhrIncomplete = -2;
inline constexpr int kPhrTooLong = -3;

struct HeadLimits {
  size_t maxHeadBytes = 64 * 1024;
  size_t maxHeaders = 100;
};

struct PhrRequest {
  std::string method;
  std::string path;
  int version = 11;  // 10 * major + minor
  Headers headers;   // as received
};

// `lastLength` is the buffer length of the previous call on the same head (0 at first), so that a
// head arriving in pieces is not scanned again from the start.
int PhrParse(std::string_view buffer, PhrRequest& request, size_t lastLength,
             const HeadLimits& limits = {});

// Lower-cases every header name and sorts the list by name (stable: equal names keep their order).
void TolowerAndSortHeaders(Headers& headers);

// Bits of the media types found (by substring) in a Content-Type or Accept value.
enum MediaType : unsigned {
  kMediaJson = 1,
  kMediaCleanJson = 2,
  kMediaFramed = 4,
  kMediaCleanFramed = 8,
  kMediaStreamJson = 16,
  kMediaCleanStreamJson = 32,
};
unsigned MediaTypeFlags(std::string_view value);

// The response format (1, 2, 16 or 32) that an Accept value selects; an absent Accept gives 1.
unsigned ResponseFormatOf(const std::string* accept);
// The response Content-Type of a format.
std::string_view ContentTypeOf(unsigned format);

struct RequestHead {
  std::string method;  // lower case
  std::string path;
  Headers headers;  // lower-case names, sorted
  std::string contentType;
  std::string accept;
  bool hasContentType = false;
  bool hasAccept = false;
  uint64_t contentLength = 0;
  bool hasContentLength = false;
  bool chunked = false;
  bool sawContentLength = false;  // a Content-Length was sent, also when chunked dropped it
  bool keepAlive = true;
  bool requestStreamed = false;
  bool responseStreamed = false;
  bool hasExpect = false;
  bool expectContinue = false;
  bool bad = false;  // a Content-Length not a number, or a Transfer-Encoding not just chunked

  // One line for the trace log.
  std::string Describe() const;
};

RequestHead MakeRequestHead(PhrRequest&& request);

}  // namespace Mirel::Transport::PicoHttp
