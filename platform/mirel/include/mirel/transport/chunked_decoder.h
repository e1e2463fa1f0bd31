// Decoder of a chunked request body (chunk sizes, extensions, trailers) built on Boost.Beast's
// parser. Feed it the bytes that follow the request head, in as many pieces as they arrive: each
// call is given the bytes not consumed by earlier calls followed by the new ones, appends the
// decoded data to `body` and says how many input bytes it consumed. After kDone, the bytes past
// `consumed` belong to the next request. The decoded body never exceeds the limit (kTooLong), and
// an unfinished chunk-size or trailer line longer than `maxLineBytes` is an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace Mirel::Transport::PicoHttp {

class PhrChunkedDecoder {
 public:
  enum class Status { kNeedMore, kDone, kError, kTooLong };
  struct Result {
    Status status;
    size_t consumed;
  };

  explicit PhrChunkedDecoder(uint64_t bodyLimit, size_t maxLineBytes = 8192);
  ~PhrChunkedDecoder();
  PhrChunkedDecoder(const PhrChunkedDecoder&) = delete;
  PhrChunkedDecoder& operator=(const PhrChunkedDecoder&) = delete;

  Result Decode(std::string_view input, std::string& body);

 private:
  class Parser;
  std::unique_ptr<Parser> parser_;
  size_t maxLineBytes_;
  bool finished_ = false;
};

}  // namespace Mirel::Transport::PicoHttp
