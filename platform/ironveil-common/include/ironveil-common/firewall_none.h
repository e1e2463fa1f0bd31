// The "none" firewall backend: no host rules are touched; rulesets live in memory, with a use
// count per host, and every change is logged at level 5. Adding a host does not require the
// ruleset to be enabled (hosts are kept either way); disabling a ruleset forgets its hosts.
#pragma once

#include <ironveil-common/firewall_utils.h>

#include <map>
#include <mutex>
#include <string>

namespace Brask::Common {

class NoneFirewallBackend : public FirewallBackend {
 public:
  bool AddOrRemoveServer(const std::string& ruleset, bool add, const std::string& host) override;
  bool SetRulesetStatus(const std::string& ruleset, bool enabled) override;

  // Inspection: current use count of host (0 when absent) and whether the ruleset is enabled.
  int UseCount(const std::string& ruleset, const std::string& host) const;
  bool IsEnabled(const std::string& ruleset) const;

 private:
  struct Ruleset {
    bool enabled = false;
    std::map<std::string, int> hosts;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Ruleset> rulesets_;
};

}  // namespace Brask::Common
