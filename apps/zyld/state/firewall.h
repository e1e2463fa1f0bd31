// Firewall synchronisation: the daemon's ruleset admits outbound traffic to exactly the hosts
// (servers' and proxies' host names, as stored) of the stored providers.
//
// The backend holds each host once (see Brask::Common::FirewallUtils); sharing is decided here.
// OpenFirewall replaces whatever ruleset an earlier run left with one holding every stored host;
// UpdateFirewall, for one provider's change, opens only hosts nobody held and closes only hosts
// nobody holds afterwards: not the other stored providers, nor the provider's own hosts that the
// change keeps (`kept`: a proxy that is also one of its servers, servers an update leaves alone).
// CloseFirewall removes the ruleset. The invariant after any sequence of changes and restarts:
// the ruleset holds exactly the hosts of the stored providers.
//
// Concurrency: UpdateFirewall runs inside a configuration change, with configLock held for
// writing; Open and Close run on the main thread before serving and on the exit path. Backend
// calls may resolve host names, each bounded by the backend's resolution time-out.
#pragma once

#include <string>
#include <vector>

namespace Zyld::State {

inline constexpr const char* kFirewallRuleset = "ironveil-zyld";

// One backend call each; true on success.
bool AddHost(const std::string& host);
bool RemoveHost(const std::string& host);

// Every host of every stored provider, servers then proxy, each host once. False (logged) when
// the store could not be listed or some provider could not be read; hosts holds what was read.
bool GetAllProviderHosts(std::vector<std::string>& hosts);

// Start-up: enables the ruleset (empty) and adds every stored host, ignoring failures (logged).
void OpenFirewall();
// Exit: removes every stored host and disables the ruleset; never fails.
void CloseFirewall();

// Applies one provider's host changes. hostsToAdd and hostsToRemove are pruned in place to the
// hosts actually changed: a host in both lists, a host in `kept` and, with checkOtherProviders,
// a host that another stored provider uses, leaves both lists. On the first failed change the
// hosts changed so far are changed back (failures of that undo are logged) and false is
// returned; false also when other providers could not be read, before any change.
bool UpdateFirewall(const std::string& providerId, bool checkOtherProviders,
                    std::vector<std::string>& hostsToAdd, std::vector<std::string>& hostsToRemove,
                    const std::vector<std::string>& kept = {});

}  // namespace Zyld::State
