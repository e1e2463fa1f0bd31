// Host control. GetSystemInfo gives a system-information object whose one operation records a
// process of the host on the host log (level 6). Failures are HostCtl::Lib::HostCtlException.
#pragma once

#include <sys/types.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace HostCtl {

namespace Lib {

class HostCtlException : public std::runtime_error {
 public:
  explicit HostCtlException(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace Lib

namespace Host {

class SystemInfo {
 public:
  // Logs "process <pid> registered (flags <flags>)" at level 6. Throws HostCtlException for a
  // pid that is not positive.
  void LogProcess(pid_t pid, int flags) const;
};

std::shared_ptr<SystemInfo> GetSystemInfo();

}  // namespace Host

}  // namespace HostCtl
