// Host firewall rules for the daemon's outbound connections, through a named backend.
//
// A ruleset is a named group of rules admitting traffic to a set of hosts. A host may be added
// several times; it stays admitted until it has been removed as many times as it was added.
// Backends: "none" keeps the rulesets in memory and logs each change at level 5; further
// backends (such as "nftables") implement FirewallBackend in their own file and are listed in
// MakeFirewallBackend. Until Configure selects one, the "none" backend is in use.
// All functions are thread-safe.
#pragma once

#include <harlibs/status.h>

#include <memory>
#include <string>

namespace Brask::Common {

class FirewallBackend {
 public:
  virtual ~FirewallBackend() = default;
  // Adds (add = true) or removes one use of host in the ruleset. Removing a host that the
  // ruleset does not hold fails.
  virtual bool AddOrRemoveServer(const std::string& ruleset, bool add, const std::string& host) = 0;
  // Enabling creates the ruleset (idempotent); disabling deletes it with all its hosts.
  virtual bool SetRulesetStatus(const std::string& ruleset, bool enabled) = 0;
};

// Sets out to a new backend of the given name; an unknown name is an error.
Har::Status MakeFirewallBackend(const std::string& name, std::unique_ptr<FirewallBackend>& out);

namespace FirewallUtils {

inline constexpr const char* kDefaultBackend = "none";

// Selects the process-wide backend by name. An unknown name logs at level 2 and is an error,
// leaving the current backend in place.
Har::Status Configure(const std::string& backendName);
bool AddOrRemoveServer(const std::string& ruleset, bool add, const std::string& host);
bool SetRulesetStatus(const std::string& ruleset, bool enabled);

}  // namespace FirewallUtils

}  // namespace Brask::Common
