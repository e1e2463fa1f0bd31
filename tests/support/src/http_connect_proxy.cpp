#include "http_connect_proxy.h"

#include "loopback_listener.h"

namespace KmipTest {

struct HttpConnectProxy::State {
  Options options;
  std::atomic<int> tunnels{0};
  LoopbackListener listener;
};

namespace {

using State = HttpConnectProxy::State;

bool ReadHead(const State& s, int fd, std::string* head) {
  while (!s.listener.stopping && head->find("\r\n\r\n") == std::string::npos &&
         head->size() < 8192) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char c;
    if (recv(fd, &c, 1, 0) != 1) return false;
    head->push_back(c);
  }
  return !s.listener.stopping && head->find("\r\n\r\n") != std::string::npos;
}

int ConnectTarget(const std::string& requestLine) {
  // "CONNECT host:port HTTP/1.1"
  const size_t start = requestLine.find(' ') + 1;
  const size_t end = requestLine.find(' ', start);
  const std::string authority = requestLine.substr(start, end - start);
  const size_t colon = authority.rfind(':');
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::stoi(authority.substr(colon + 1))));
  std::string host = authority.substr(0, colon);
  if (host == "localhost") host = "127.0.0.1";
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void Relay(const State& s, int a, int b) {
  char buffer[16384];
  while (!s.listener.stopping) {
    pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    if (poll(p, 2, 50) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (p[i].revents == 0) continue;
      const ssize_t n = recv(p[i].fd, buffer, sizeof(buffer), 0);
      if (n <= 0 || send(p[1 - i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
    }
  }
}

void Serve(State& s, int fd) {
  std::string head;
  if (ReadHead(s, fd, &head)) {
    const std::string line = head.substr(0, head.find("\r\n"));
    const auto answerAt = std::chrono::steady_clock::now() + s.options.replyDelay;
    while (!s.listener.stopping &&
           (s.options.stall || std::chrono::steady_clock::now() < answerAt)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!s.options.stall) {
      const bool tunnel = s.options.statusLine.compare(9, 1, "2") == 0;
      const int target = tunnel ? ConnectTarget(line) : -1;
      const std::string reply =
          (tunnel && target < 0 ? std::string("HTTP/1.1 502 Bad Gateway") : s.options.statusLine) +
          "\r\n\r\n";
      send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      if (target >= 0) {
        ++s.tunnels;
        Relay(s, fd, target);
        close(target);
      }
    }
  }
  close(fd);
}

}  // namespace

HttpConnectProxy::HttpConnectProxy(Options options) : state_(std::make_shared<State>()) {
  state_->options = std::move(options);
}

HttpConnectProxy::~HttpConnectProxy() { Stop(); }

void HttpConnectProxy::Start() {
  State* s = state_.get();
  state_->listener.Start("HttpConnectProxy", [s](int fd) { Serve(*s, fd); });
}

void HttpConnectProxy::Stop() { state_->listener.Stop(); }

uint16_t HttpConnectProxy::Port() const { return state_->listener.Port(); }
int HttpConnectProxy::Tunnels() const { return state_->tunnels; }

}  // namespace KmipTest
