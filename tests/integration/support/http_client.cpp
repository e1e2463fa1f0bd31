#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace ZyldIt {

namespace {

constexpr size_t kMaxResponseBytes = 16 * 1024 * 1024;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  const size_t e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

int ConnectTo(const sockaddr* address, socklen_t length, int family, int& error) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  if (::connect(fd, address, length) != 0) {
    error = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string Response::Header(const std::string& name) const {
  auto it = headers.find(Lower(name));
  return it == headers.end() ? std::string() : it->second;
}

Connection::Connection(uint16_t port, Family family)
    : Connection(family == Family::V4 ? "127.0.0.1" : "::1", port) {}

Connection::Connection(const std::string& address, uint16_t port) {
  if (address.find(':') == std::string::npos) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    fd_ = ConnectTo(reinterpret_cast<sockaddr*>(&a), sizeof a, AF_INET, error_);
  } else {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    ::inet_pton(AF_INET6, address.c_str(), &a.sin6_addr);
    fd_ = ConnectTo(reinterpret_cast<sockaddr*>(&a), sizeof a, AF_INET6, error_);
  }
}

Connection::~Connection() {
  if (fd_ >= 0) ::close(fd_);
}

Connection::Connection(Connection&& other) noexcept
    : fd_(other.fd_), error_(other.error_), buffer_(std::move(other.buffer_)) {
  other.fd_ = -1;
}

bool Connection::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool Connection::HalfClose() { return ::shutdown(fd_, SHUT_WR) == 0; }

bool Connection::Fill(std::chrono::steady_clock::time_point deadline) {
  if (fd_ < 0 || buffer_.size() > kMaxResponseBytes) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd p{fd_, POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
  if (ready <= 0) return false;
  char chunk[16384];
  const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  buffer_.append(chunk, static_cast<size_t>(n));
  return true;
}

std::string Connection::ReadExactly(size_t n, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (buffer_.size() < n && Fill(deadline)) {
  }
  const size_t take = std::min(n, buffer_.size());
  std::string out = buffer_.substr(0, take);
  buffer_.erase(0, take);
  return out;
}

bool Connection::ReadLine(std::string& line, std::chrono::steady_clock::time_point deadline) {
  size_t end;
  while ((end = buffer_.find("\r\n")) == std::string::npos) {
    if (!Fill(deadline)) return false;
  }
  line = buffer_.substr(0, end);
  buffer_.erase(0, end + 2);
  return true;
}

bool Connection::ReadChunkedBody(Response& r, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    std::string sizeLine;
    if (!ReadLine(sizeLine, deadline)) return false;
    size_t size = 0;
    try {
      size = std::stoul(sizeLine, nullptr, 16);
    } catch (const std::exception&) {
      return false;
    }
    if (size == 0) {
      std::string trailer;
      return ReadLine(trailer, deadline) && trailer.empty();
    }
    while (buffer_.size() < size + 2) {
      if (!Fill(deadline)) return false;
    }
    if (buffer_.compare(size, 2, "\r\n") != 0) return false;
    r.body.append(buffer_, 0, size);
    buffer_.erase(0, size + 2);
  }
}

std::optional<Response> Connection::ReadResponse(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  std::string line;
  if (!ReadLine(line, deadline) || line.rfind("HTTP/1.1 ", 0) != 0 || line.size() < 12)
    return std::nullopt;
  Response r;
  r.status = std::atoi(line.substr(9, 3).c_str());
  r.reason = line.size() > 13 ? line.substr(13) : std::string();
  while (ReadLine(line, deadline) && !line.empty()) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return std::nullopt;
    std::string& value = r.headers[Lower(line.substr(0, colon))];
    value += (value.empty() ? "" : ", ") + Trim(line.substr(colon + 1));
  }
  if (!line.empty()) return std::nullopt;
  if (Lower(r.Header("transfer-encoding")).find("chunked") != std::string::npos) {
    r.chunked = true;
    if (!ReadChunkedBody(r, deadline)) return std::nullopt;
    return r;
  }
  const std::string length = r.Header("content-length");
  const size_t n = length.empty() ? 0 : std::stoul(length);
  r.body = ReadExactly(n, std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()));
  if (r.body.size() != n) return std::nullopt;
  return r;
}

bool Connection::ClosedByPeer(std::chrono::milliseconds bound) {
  if (!buffer_.empty()) return false;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  if (fd_ < 0) return true;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char c;
    const ssize_t n = ::recv(fd_, &c, 1, 0);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    if (n > 0) {
      buffer_.push_back(c);
      return false;
    }
  }
}

std::string PostRequest(const std::string& body, const std::string& extraHeaders) {
  return "POST /api HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n" +
         extraHeaders + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string RpcBody(const std::string& method, const std::string& paramsJson, int id) {
  std::string body =
      R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + method + "\"";
  if (!paramsJson.empty()) body += R"(,"params":)" + paramsJson;
  return body + "}";
}

std::optional<Response> RoundTrip(uint16_t port, const std::string& request) {
  Connection c(port);
  if (!c.Ok() || !c.Send(request)) return std::nullopt;
  return c.ReadResponse();
}

}  // namespace ZyldIt
