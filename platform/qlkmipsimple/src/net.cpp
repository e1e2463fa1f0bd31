#include "net.h"

#include <qlkmipsimple.h>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace Qlkmip::Net {
namespace {

constexpr size_t kMaxProxyReply = 8192;

struct AddrInfoFree {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

std::string ErrnoText(int error) { return std::strerror(error); }

Outcome ConnectOne(const addrinfo& address, const Deadline& deadline, Fd* out) {
  Fd fd(socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
               address.ai_protocol));
  if (!fd.valid()) {
    return Communication("socket: " + ErrnoText(errno));
  }
  if (connect(fd.get(), address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
    return Communication("connect: " + ErrnoText(errno));
  }
  Outcome ready = WaitReady(fd.get(), POLLOUT, deadline, "connecting");
  if (!ready.ok()) {
    return ready;
  }
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    return Communication("connect: " + ErrnoText(error != 0 ? error : errno));
  }
  *out = std::move(fd);
  return {};
}

Outcome SendAll(int fd, const std::string& data, const Deadline& deadline) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      Outcome ready = WaitReady(fd, POLLOUT, deadline, "sending to the proxy");
      if (!ready.ok()) {
        return ready;
      }
      continue;
    }
    return Communication("proxy send: " + ErrnoText(errno));
  }
  return {};
}

// Reads the proxy's reply head one byte at a time so that nothing after it is consumed.
Outcome ReadReplyHead(int fd, const Deadline& deadline, std::string* head) {
  while (!head->ends_with("\r\n\r\n") && !head->ends_with("\n\n")) {
    if (head->size() >= kMaxProxyReply) {
      return Communication("proxy reply too long");
    }
    char c = 0;
    const ssize_t n = recv(fd, &c, 1, 0);
    if (n == 1) {
      head->push_back(c);
      continue;
    }
    if (n == 0) {
      return Communication("proxy closed the connection");
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return Communication("proxy receive: " + ErrnoText(errno));
    }
    Outcome ready = WaitReady(fd, POLLIN, deadline, "waiting for the proxy");
    if (!ready.ok()) {
      return ready;
    }
  }
  return {};
}

}  // namespace

Outcome Communication(std::string text) { return Outcome{QLC_COMMUNICATION, std::move(text)}; }
Outcome Timeout(std::string text) { return Outcome{QLC_TIMEOUT, std::move(text)}; }

int Deadline::RemainingMs() const {
  const auto left = at_ - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) {
    return 0;
  }
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = other.Release();
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

Outcome WaitReady(int fd, short events, const Deadline& deadline, const char* what) {
  for (;;) {
    const int left = deadline.RemainingMs();
    if (left == 0) {
      return Timeout(std::string("Timed out ") + what);
    }
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, left);
    if (n > 0) {
      return {};  // ready, or an error condition the next call reports
    }
    if (n < 0 && errno != EINTR) {
      return Communication(std::string("poll: ") + ErrnoText(errno));
    }
  }
}

Outcome TcpConnect(const std::string& host, uint16_t port, const Deadline& deadline, Fd* out) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &raw);
  if (rc != 0) {
    return Communication("Cannot resolve " + host + ": " + gai_strerror(rc));
  }
  std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
  Outcome last = Communication("no address for " + host);
  for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    last = ConnectOne(*a, deadline, out);
    if (last.ok() || last.code == QLC_TIMEOUT) {
      break;
    }
  }
  if (!last.ok()) {
    last.text = "Cannot connect to " + host + ":" + std::to_string(port) + ": " + last.text;
  }
  return last;
}

Outcome ProxyConnect(int fd, const std::string& host, uint16_t port, const Deadline& deadline) {
  const bool ipv6 = host.find(':') != std::string::npos;
  const std::string authority = (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  const std::string request =
      "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
  Outcome outcome = SendAll(fd, request, deadline);
  std::string head;
  if (outcome.ok()) {
    outcome = ReadReplyHead(fd, deadline, &head);
  }
  if (!outcome.ok()) {
    outcome.text = "Proxy tunnel to " + authority + ": " + outcome.text;
    return outcome;
  }
  const std::string line = head.substr(0, head.find_first_of("\r\n"));
  const bool versionOk = line.starts_with("HTTP/1.0 ") || line.starts_with("HTTP/1.1 ");
  if (!versionOk || line.size() < 12 || line[9] != '2' || line[10] < '0' || line[10] > '9' ||
      line[11] < '0' || line[11] > '9' || (line.size() > 12 && line[12] != ' ')) {
    return Communication("Proxy refused the tunnel to " + authority + ": " + line);
  }
  return {};
}

}  // namespace Qlkmip::Net
