// The "none" firewall backend: no host rules are touched; rulesets live in memory as sets of
// hosts, and every change is logged at level 5. Adding a host does not require the ruleset to be
// enabled (hosts are kept either way); enabling empties the ruleset, disabling forgets it.
#pragma once

#include <ironveil-common/firewall_utils.h>

#include <map>
#include <mutex>
#include <set>
#include <string>

namespace Brask::Common {

class NoneFirewallBackend : public FirewallBackend {
 public:
  bool AddOrRemoveServer(const std::string& ruleset, bool add, const std::string& host) override;
  bool SetRulesetStatus(const std::string& ruleset, bool enabled) override;

  // Inspection: the hosts the ruleset holds (empty when absent) and whether it is enabled.
  std::set<std::string> Hosts(const std::string& ruleset) const;
  bool IsEnabled(const std::string& ruleset) const;

 private:
  struct Ruleset {
    bool enabled = false;
    std::set<std::string> hosts;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Ruleset> rulesets_;
};

}  // namespace Brask::Common
