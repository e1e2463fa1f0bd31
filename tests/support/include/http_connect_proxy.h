// A minimal HTTP CONNECT proxy on 127.0.0.1 for tests. It reads the request head, answers with
// the configured status line and, for a 2xx status, relays bytes between the client and the
// requested host:port until either side closes. Stall mode never answers; a reply delay holds the
// answer back that long.
#ifndef HTTP_CONNECT_PROXY_H
#define HTTP_CONNECT_PROXY_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace KmipTest {

class HttpConnectProxy {
 public:
  struct Options {
    std::string statusLine = "HTTP/1.0 200 Connection established";
    bool stall = false;
    std::chrono::milliseconds replyDelay{0};
  };
  explicit HttpConnectProxy(Options options);
  ~HttpConnectProxy();
  HttpConnectProxy(const HttpConnectProxy&) = delete;
  HttpConnectProxy& operator=(const HttpConnectProxy&) = delete;

  void Start();  // throws std::runtime_error on failure
  void Stop();
  uint16_t Port() const;
  int Tunnels() const;  // CONNECT requests answered with 2xx

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace KmipTest

#endif
