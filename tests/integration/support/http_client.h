// A deliberately plain HTTP/1.1 client over one TCP socket, for tests that need to control every
// byte on the wire (partial heads, odd headers, chunked bodies, 100-continue) and to see exactly
// what the server writes back and whether it closes the connection. Every read is bounded by a
// timeout that only catches hangs; a timed-out read is reported, never waited out silently.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace ZyldIt {

using namespace std::chrono_literals;

// A generous bound for one answer: only a hang exceeds it.
inline constexpr std::chrono::milliseconds kAnswerBound = 20s;

struct Response {
  int status = 0;
  std::string reason;
  std::map<std::string, std::string> headers;  // names lower-cased; repeated names joined with ", "
  std::string body;                            // chunked bodies decoded
  bool chunked = false;

  std::string Header(const std::string& name) const;
};

enum class Family { V4, V6 };

class Connection {
 public:
  // Connects to the address (127.0.0.1 / ::1 by default) and port; Ok() tells whether it worked.
  Connection(uint16_t port, Family family = Family::V4);
  Connection(const std::string& address, uint16_t port);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  Connection(Connection&& other) noexcept;

  bool Ok() const { return fd_ >= 0; }
  int Error() const { return error_; }  // errno of a failed connect

  bool Send(const std::string& bytes);
  // Ends the sending side (the peer reads end of stream); the socket stays open for reading.
  bool HalfClose();
  // Reads exactly n bytes (or fewer when the peer closes / the bound passes).
  std::string ReadExactly(size_t n, std::chrono::milliseconds bound = kAnswerBound);
  // Reads one response; nullopt when the connection closed or the bound passed first.
  std::optional<Response> ReadResponse(std::chrono::milliseconds bound = kAnswerBound);
  // True when the peer closed (EOF or reset) within the bound, with nothing more to read.
  bool ClosedByPeer(std::chrono::milliseconds bound = kAnswerBound);
  // Bytes received but not yet consumed by a read above.
  const std::string& Pending() const { return buffer_; }

 private:
  // Appends what arrives within the deadline to buffer_; false on close, error or time-out.
  bool Fill(std::chrono::steady_clock::time_point deadline);
  bool ReadLine(std::string& line, std::chrono::steady_clock::time_point deadline);
  bool ReadChunkedBody(Response& r, std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  int error_ = 0;
  std::string buffer_;
};

// One POST of a JSON body to /api with the usual headers plus `extraHeaders` (each ending
// "\r\n"); Content-Length is set from the body.
std::string PostRequest(const std::string& body, const std::string& extraHeaders = "");

// A JSON-RPC request text.
std::string RpcBody(const std::string& method, const std::string& paramsJson = "", int id = 1);

// Sends one request on a fresh connection and reads the answer.
std::optional<Response> RoundTrip(uint16_t port, const std::string& request);

}  // namespace ZyldIt
