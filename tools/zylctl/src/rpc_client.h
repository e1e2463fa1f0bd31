// One JSON-RPC call over HTTP/1.1 to the daemon: a POST of the request body to /api with the
// bearer token, the answer read whole (at most kMaxResponseBytes). Blocking, with one deadline for
// resolve, connect, write and read.
#pragma once

#include <harlibs/secure.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Zylctl {

inline constexpr size_t kMaxResponseBytes = 8 * 1024 * 1024;

struct Endpoint {
  std::string host;
  uint16_t port = 0;
  std::chrono::seconds timeout{0};
};

// Text that may hold secrets: every block it gives back is wiped.
using SecretString = std::basic_string<char, std::char_traits<char>, Har::WipingAllocator<char>>;

struct HttpAnswer {
  bool ok = false;    // false: no HTTP 200 answer (error says why)
  std::string error;  // connection refused, timed out, bad HTTP, ...
  std::string body;   // the answer body; may hold secrets, the caller wipes it
};

// An empty token sends no Authorization header.
HttpAnswer PostRpc(const Endpoint& endpoint, std::string_view body, const Har::Secret& token);

}  // namespace Zylctl
