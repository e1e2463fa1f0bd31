// In-memory firewall backend.
#include <ironveil-common/firewall_none.h>

#include <harlibs/log.h>

namespace Brask::Common {

bool NoneFirewallBackend::AddOrRemoveServer(const std::string& ruleset, bool add,
                                            const std::string& host) {
  if (ruleset.empty() || host.empty()) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (add) {
    const bool added = rulesets_[ruleset].hosts.insert(host).second;
    Log_Level(kLogInfo, "Firewall (none): ruleset %s %s host %s\n", ruleset.c_str(),
              added ? "admits" : "already admits", host.c_str());
    return true;
  }
  auto rs = rulesets_.find(ruleset);
  const bool removed = rs != rulesets_.end() && rs->second.hosts.erase(host) > 0;
  Log_Level(kLogInfo, "Firewall (none): ruleset %s %s host %s\n", ruleset.c_str(),
            removed ? "released" : "does not hold", host.c_str());
  return true;
}

bool NoneFirewallBackend::SetRulesetStatus(const std::string& ruleset, bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (enabled) {
    rulesets_[ruleset] = Ruleset{true, {}};
  } else {
    rulesets_.erase(ruleset);
  }
  Log_Level(kLogInfo, "Firewall (none): ruleset %s %s\n", ruleset.c_str(),
            enabled ? "enabled" : "disabled");
  return true;
}

std::set<std::string> NoneFirewallBackend::Hosts(const std::string& ruleset) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto rs = rulesets_.find(ruleset);
  return rs == rulesets_.end() ? std::set<std::string>{} : rs->second.hosts;
}

bool NoneFirewallBackend::IsEnabled(const std::string& ruleset) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto rs = rulesets_.find(ruleset);
  return rs != rulesets_.end() && rs->second.enabled;
}

}  // namespace Brask::Common
