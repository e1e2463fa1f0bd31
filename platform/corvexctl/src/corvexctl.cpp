// Host control: system information.
#include <corvexctl/corvexctl.h>

#include <harlibs/log.h>

namespace HostCtl::Host {

void SystemInfo::LogProcess(pid_t pid, int flags) const {
  if (pid <= 0) {
    throw Lib::HostCtlException("invalid process identifier " + std::to_string(pid));
  }
  Log_Level(kLogTrace, "process %d registered (flags %d)\n", static_cast<int>(pid), flags);
}

std::shared_ptr<SystemInfo> GetSystemInfo() { return std::make_shared<SystemInfo>(); }

}  // namespace HostCtl::Host
