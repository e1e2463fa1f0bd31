// The listening side shared by the test servers: 127.0.0.1 with an ephemeral port, an accept
// thread polling every 50 ms, one thread per connection (finished ones are joined as new ones
// arrive). Stop ends accepting, closes the port and joins every thread; connection handlers
// watch `stopping` to end. Starting makes the process ignore SIGPIPE (test processes only).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace KmipTest {

class LoopbackListener {
 public:
  ~LoopbackListener() { Stop(); }

  // Throws std::runtime_error naming WHAT when it cannot listen. SERVE owns the accepted fd.
  void Start(const std::string& what, std::function<void(int fd)> serve) {
    std::signal(SIGPIPE, SIG_IGN);
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd_, 64) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      if (fd_ >= 0) close(fd_);
      throw std::runtime_error(what + ": listen");
    }
    port_ = ntohs(address.sin_port);
    stopping = false;
    acceptThread_ = std::thread([this, serve = std::move(serve)] { AcceptLoop(serve); });
  }

  void Stop() {
    if (!acceptThread_.joinable()) return;
    stopping = true;
    acceptThread_.join();  // the accept thread alone adds connections
    close(fd_);
    for (Connection& c : connections_) c.thread.join();
    connections_.clear();
  }

  uint16_t Port() const { return port_; }

  std::atomic<bool> stopping{false};

 private:
  struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void AcceptLoop(const std::function<void(int)>& serve) {
    while (!stopping) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      connections_.remove_if([](Connection& c) {
        if (*c.done) c.thread.join();
        return static_cast<bool>(*c.done);
      });
      auto done = std::make_shared<std::atomic<bool>>(false);
      connections_.push_back({std::thread([serve, fd, done] {
                                serve(fd);
                                *done = true;
                              }),
                              done});
    }
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread acceptThread_;
  std::list<Connection> connections_;
};

}  // namespace KmipTest
