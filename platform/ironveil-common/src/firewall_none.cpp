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
    const int uses = ++rulesets_[ruleset].hosts[host];
    Log_Level(kLogInfo, "Firewall (none): ruleset %s admits host %s (uses %d)\n", ruleset.c_str(),
              host.c_str(), uses);
    return true;
  }
  auto rs = rulesets_.find(ruleset);
  auto it =
      rs == rulesets_.end() ? decltype(rs->second.hosts.end()){} : rs->second.hosts.find(host);
  if (rs == rulesets_.end() || it == rs->second.hosts.end()) {
    Log_Level(kLogInfo, "Firewall (none): ruleset %s does not hold host %s\n", ruleset.c_str(),
              host.c_str());
    return false;
  }
  const int uses = --it->second;
  if (uses == 0) {
    rs->second.hosts.erase(it);
  }
  Log_Level(kLogInfo, "Firewall (none): ruleset %s released host %s (uses %d)\n", ruleset.c_str(),
            host.c_str(), uses);
  return true;
}

bool NoneFirewallBackend::SetRulesetStatus(const std::string& ruleset, bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (enabled) {
    rulesets_[ruleset].enabled = true;
  } else {
    rulesets_.erase(ruleset);
  }
  Log_Level(kLogInfo, "Firewall (none): ruleset %s %s\n", ruleset.c_str(),
            enabled ? "enabled" : "disabled");
  return true;
}

int NoneFirewallBackend::UseCount(const std::string& ruleset, const std::string& host) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto rs = rulesets_.find(ruleset);
  if (rs == rulesets_.end()) {
    return 0;
  }
  auto it = rs->second.hosts.find(host);
  return it == rs->second.hosts.end() ? 0 : it->second;
}

bool NoneFirewallBackend::IsEnabled(const std::string& ruleset) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto rs = rulesets_.find(ruleset);
  return rs != rulesets_.end() && rs->second.enabled;
}

}  // namespace Brask::Common
