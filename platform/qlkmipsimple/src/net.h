// Sockets for the client: non-blocking TCP connect with a deadline, an HTTP CONNECT tunnel
// through a proxy, and poll-based waiting. Every step reports an Outcome whose code is a qlc
// status: 0, QLC_COMMUNICATION (resolution, refusal, reset, proxy refusal) or QLC_TIMEOUT.
// Name resolution uses the system resolver and is not bounded by the deadline.
#ifndef QLKMIPSIMPLE_NET_H
#define QLKMIPSIMPLE_NET_H

#include <chrono>
#include <cstdint>
#include <string>

namespace Qlkmip::Net {

struct Outcome {
  int code = 0;
  std::string text;
  bool ok() const { return code == 0; }
};

Outcome Communication(std::string text);
Outcome Timeout(std::string text);

class Deadline {
 public:
  static Deadline In(int seconds) {
    return Deadline(std::chrono::steady_clock::now() + std::chrono::seconds(seconds));
  }
  // Milliseconds left, rounded up; 0 once passed.
  int RemainingMs() const;

 private:
  explicit Deadline(std::chrono::steady_clock::time_point at) : at_(at) {}
  std::chrono::steady_clock::time_point at_;
};

// Owns a file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();
  int get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Waits until FD is ready for EVENTS (POLLIN/POLLOUT) or the deadline passes; WHAT names the
// step in the time-out text.
Outcome WaitReady(int fd, short events, const Deadline& deadline, const char* what);

// Connects a non-blocking TCP socket to HOST:PORT, trying each resolved address in turn.
Outcome TcpConnect(const std::string& host, uint16_t port, const Deadline& deadline, Fd* out);

// Asks the HTTP proxy on FD to open a tunnel to HOST:PORT and reads its reply head (at most
// 8 KiB, up to the blank line). A 2xx status opens the tunnel.
Outcome ProxyConnect(int fd, const std::string& host, uint16_t port, const Deadline& deadline);

}  // namespace Qlkmip::Net

#endif
