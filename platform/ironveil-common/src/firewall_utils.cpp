// Backend selection and the process-wide firewall entry points.
#include <ironveil-common/firewall_utils.h>

#include <ironveil-common/firewall_nftables.h>
#include <ironveil-common/firewall_none.h>

#include <harlibs/log.h>

#include <mutex>

namespace Brask::Common {

namespace {

struct BackendEntry {
  const char* name;
  std::unique_ptr<FirewallBackend> (*make)();
};

// Known backends; a new backend adds its factory here.
const BackendEntry kBackends[] = {
    {"none",
     [] { return std::unique_ptr<FirewallBackend>(std::make_unique<NoneFirewallBackend>()); }},
    {"nftables",
     [] { return std::unique_ptr<FirewallBackend>(std::make_unique<NftablesFirewallBackend>()); }},
};

std::mutex gMutex;
std::shared_ptr<FirewallBackend> gBackend;

std::shared_ptr<FirewallBackend> Current() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (!gBackend) {
    gBackend = std::make_shared<NoneFirewallBackend>();
  }
  return gBackend;
}

}  // namespace

Har::Status MakeFirewallBackend(const std::string& name, std::unique_ptr<FirewallBackend>& out) {
  for (const BackendEntry& entry : kBackends) {
    if (name == entry.name) {
      out = entry.make();
      return Har::Status::Ok();
    }
  }
  return Har::Status::Error("unknown firewall backend \"" + name + "\"");
}

namespace FirewallUtils {

bool IsKnownBackend(const std::string& name) {
  for (const BackendEntry& entry : kBackends) {
    if (name == entry.name) {
      return true;
    }
  }
  return false;
}

Har::Status Configure(const std::string& backendName) {
  std::unique_ptr<FirewallBackend> backend;
  Har::Status made = MakeFirewallBackend(backendName, backend);
  if (!made) {
    Log_Level(kLogFailure, "Firewall configuration failed: %s\n", made.message().c_str());
    return made;
  }
  std::lock_guard<std::mutex> lock(gMutex);
  gBackend = std::move(backend);
  Log_Level(kLogInfo, "Firewall backend: %s\n", backendName.c_str());
  return Har::Status::Ok();
}

bool AddOrRemoveServer(const std::string& ruleset, bool add, const std::string& host) {
  return Current()->AddOrRemoveServer(ruleset, add, host);
}

bool SetRulesetStatus(const std::string& ruleset, bool enabled) {
  return Current()->SetRulesetStatus(ruleset, enabled);
}

std::shared_ptr<FirewallBackend> Use(std::shared_ptr<FirewallBackend> backend) {
  std::lock_guard<std::mutex> lock(gMutex);
  std::swap(gBackend, backend);
  return backend;
}

}  // namespace FirewallUtils

}  // namespace Brask::Common
