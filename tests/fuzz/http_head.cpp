// Fuzz target: request head parsing (PhrParse, fed whole and in two pieces) and the header flags.
#include <mirel/transport/http_head.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace Mirel::Transport::PicoHttp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  HeadLimits limits{4096, 32};
  PhrRequest request;
  int whole = PhrParse(input, request, 0, limits);
  if (whole > static_cast<int>(size)) std::abort();
  if (whole > 0) {
    RequestHead head = MakeRequestHead(std::move(request));
    if (head.chunked && head.hasContentLength) std::abort();
    if (head.chunked && head.sawContentLength && head.keepAlive) std::abort();
    (void)head.Describe();
    (void)ResponseFormatOf(head.hasAccept ? &head.accept : nullptr);
  }
  // The same input in two pieces must give the same answer once complete.
  size_t split = size / 2;
  PhrRequest first;
  int partial = PhrParse(input.substr(0, split), first, 0, limits);
  if (partial == kPhrIncomplete) {
    PhrRequest second;
    if (PhrParse(input, second, split, limits) != whole) std::abort();
  }
  return 0;
}
