// The notices the daemon sends its service manager: one datagram to a unix socket.
#include "service_notify.h"

#include <test_temp_dir.h>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace {

using TestSupport::TempDir;

// A datagram socket bound at name (a path, or '@' for the abstract namespace); the one notice it
// receives.
std::string ReceivedNotice(const std::string& name) {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, name.data(), name.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  if (name[0] == '@') {
    addr.sun_path[0] = '\0';
  } else {
    ++length;
  }
  std::string received;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), length) == 0 &&
      Zyld::NotifyServiceAt(name, Zyld::kNotifyReady) == 0) {
    char buf[64];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    received.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
  }
  ::close(fd);
  return received;
}

TEST(ServiceNotify, SendsOneDatagramToAPathOrAnAbstractSocket) {
  TempDir dir;
  EXPECT_EQ(ReceivedNotice(dir.File("notify")), "READY=1");
  EXPECT_EQ(ReceivedNotice("@zyld-notify-test-" + std::to_string(::getpid())), "READY=1");
  EXPECT_EQ(Zyld::NotifyServiceAt("relative/socket", Zyld::kNotifyReady), EINVAL);
  EXPECT_EQ(Zyld::NotifyServiceAt("/" + std::string(200, 'x'), Zyld::kNotifyReady), EINVAL);
}

}  // namespace
