// Fuzz target: the chunked body decoder, fed whole and in small pieces. Fed in pieces it may stop
// earlier (an unfinished line beyond its bound), but it never finishes where the whole input does
// not, and when both finish they decode the same body.
#include <mirel/transport/chunked_decoder.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace Mirel::Transport::PicoHttp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  constexpr uint64_t kLimit = 4096;
  PhrChunkedDecoder whole(kLimit, 256);
  std::string body;
  auto result = whole.Decode(input, body);
  if (result.consumed > size || body.size() > kLimit) std::abort();

  PhrChunkedDecoder pieces(kLimit, 256);
  std::string pieceBody;
  std::string pending;
  auto status = PhrChunkedDecoder::Status::kNeedMore;
  for (size_t at = 0; at < size && status == PhrChunkedDecoder::Status::kNeedMore; at += 7) {
    pending.append(input.substr(at, 7));
    auto step = pieces.Decode(pending, pieceBody);
    pending.erase(0, step.consumed);
    status = step.status;
  }
  if (status == PhrChunkedDecoder::Status::kDone &&
      (result.status != PhrChunkedDecoder::Status::kDone || pieceBody != body)) {
    std::abort();
  }
  if (result.status == PhrChunkedDecoder::Status::kDone &&
      status == PhrChunkedDecoder::Status::kTooLong) {
    std::abort();
  }
  return 0;
}
