#include "service_notify.h"

#include <harlibs/log.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace Zyld {

namespace {

// The socket address of name and its length; 0 when the name cannot be one.
socklen_t AddressOf(const std::string& name, sockaddr_un& addr) {
  addr = {};
  addr.sun_family = AF_UNIX;
  const bool abstract = !name.empty() && name[0] == '@';
  if (name.size() < 2 || name.size() >= sizeof addr.sun_path || (!abstract && name[0] != '/')) {
    return 0;
  }
  std::memcpy(addr.sun_path, name.data(), name.size());
  if (abstract) {
    addr.sun_path[0] = '\0';
  }
  // An abstract name is exactly its bytes; a path ends at its terminator.
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
}

// A socket closed when this goes out of scope.
class Socket {
 public:
  Socket() : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

int NotifyServiceAt(const std::string& socketName, std::string_view state) {
  sockaddr_un addr;
  const socklen_t length = AddressOf(socketName, addr);
  if (length == 0) {
    return EINVAL;
  }
  Socket socket;
  if (socket.Fd() < 0) {
    return errno;
  }
  ssize_t sent;
  do {
    sent = ::sendto(socket.Fd(), state.data(), state.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&addr), length);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    return errno;
  }
  return static_cast<size_t>(sent) == state.size() ? 0 : EIO;
}

int NotifyService(std::string_view state) {
  const char* name = std::getenv(kNotifySocketVariable);
  if (name == nullptr || name[0] == '\0') {
    return 0;
  }
  const int err = NotifyServiceAt(name, state);
  if (err != 0) {
    Log_Level(kLogFailure, "Cannot notify the service manager at %s: %s\n", name, strerror(err));
  }
  return err;
}

}  // namespace Zyld
