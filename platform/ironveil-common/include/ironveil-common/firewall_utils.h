// Host firewall rules for the daemon's outbound connections, through a named backend.
//
// A ruleset is a named group of rules admitting traffic to a set of hosts. It holds each host at
// most once: adding a host it holds, or removing one it does not hold, succeeds and changes
// nothing. Whether several users share a host is for the caller to decide (the daemon removes a
// host only when no stored provider uses it any more). Two host names that resolve to one address
// keep that address admitted until both are removed.
// Backends: "none" keeps the rulesets in memory and logs each change at level 5; "nftables"
// programs the kernel through libnftables. Until Configure selects one, "none" is in use.
// All functions are thread-safe.
#pragma once

#include <harlibs/status.h>

#include <memory>
#include <string>

namespace Brask::Common {

class FirewallBackend {
 public:
  virtual ~FirewallBackend() = default;
  // Adds (add = true) or removes host in the ruleset; false when the change could not be made
  // (an empty host, a name that does not resolve, a kernel refusal), with nothing changed.
  virtual bool AddOrRemoveServer(const std::string& ruleset, bool add, const std::string& host) = 0;
  // Enabling creates the ruleset empty, replacing whatever an earlier process left under its
  // name; disabling deletes it with all its hosts.
  virtual bool SetRulesetStatus(const std::string& ruleset, bool enabled) = 0;
};

// Sets out to a new backend of the given name; an unknown name is an error.
Har::Status MakeFirewallBackend(const std::string& name, std::unique_ptr<FirewallBackend>& out);

namespace FirewallUtils {

inline constexpr const char* kDefaultBackend = "none";

// True when name is a backend Configure accepts.
bool IsKnownBackend(const std::string& name);
// Selects the process-wide backend by name. An unknown name logs at level 2 and is an error,
// leaving the current backend in place.
Har::Status Configure(const std::string& backendName);
bool AddOrRemoveServer(const std::string& ruleset, bool add, const std::string& host);
bool SetRulesetStatus(const std::string& ruleset, bool enabled);
// Installs backend as the process-wide one and returns the previous (tests inject failures).
std::shared_ptr<FirewallBackend> Use(std::shared_ptr<FirewallBackend> backend);

}  // namespace FirewallUtils

}  // namespace Brask::Common
