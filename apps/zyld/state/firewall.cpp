// Firewall synchronisation with the stored providers.
#include "state/firewall.h"

#include "configstore/provider_config.h"

#include <harlibs/log.h>
#include <ironveil-common/firewall_utils.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <unordered_set>
#include <utility>

namespace Zyld::State {

namespace {

namespace PC = Zyld::ProviderConfig;
using Hosts = std::vector<std::string>;

// Keeps the first occurrence of each host, in order.
void Deduplicate(Hosts& hosts) {
  std::unordered_set<std::string> seen;
  std::erase_if(hosts, [&seen](const std::string& host) { return !seen.insert(host).second; });
}

bool Contains(const Hosts& hosts, const std::string& host) {
  return std::find(hosts.begin(), hosts.end(), host) != hosts.end();
}

// Removes from both lists every host of `used`; true when both lists are then empty.
bool PruneUsed(const Hosts& used, Hosts& add, Hosts& remove) {
  for (const std::string& host : used) {
    std::erase(add, host);
    std::erase(remove, host);
  }
  return add.empty() && remove.empty();
}

// A host both opened and closed by one change stays as it is.
void PruneCommon(Hosts& add, Hosts& remove) {
  Hosts common;
  std::copy_if(remove.begin(), remove.end(), std::back_inserter(common),
               [&add](const std::string& host) { return Contains(add, host); });
  PruneUsed(common, add, remove);
}

// One provider's servers' hosts, then its proxy host when it has one.
PC::ConfigResult ReadProviderHosts(const std::string& providerId, Hosts& hosts) {
  std::string proxy;
  const PC::ConfigResult r = PC::GetProviderHosts(providerId, true, true, hosts, proxy);
  if (r == PC::Success && !proxy.empty()) {
    hosts.push_back(std::move(proxy));
  }
  return r;
}

void LogUpdateCheckFailed() {
  Log_Level(kLogFailure, "Update firewall failed to check providers\n");
}

enum class Pruning { kFailed, kNothingLeft, kSomeLeft };

// Prunes the hosts that the providers other than providerId use.
Pruning PruneOtherProviders(const std::string& providerId, Hosts& add, Hosts& remove) {
  std::vector<std::string> ids;
  PC::ConfigResult r = PC::ListProviderIds(ids);
  if (r != PC::Success) {
    Log_Level(kLogFailure, "Failed to list providers %d\n", r);
    LogUpdateCheckFailed();
    return Pruning::kFailed;
  }
  for (const std::string& id : ids) {
    if (id == providerId) {
      continue;
    }
    Hosts used;
    if ((r = ReadProviderHosts(id, used)) != PC::Success) {
      Log_Level(kLogFailure, "Check providers ips failed to get provider %s %d\n", id.c_str(), r);
      LogUpdateCheckFailed();
      return Pruning::kFailed;
    }
    if (PruneUsed(used, add, remove)) {
      return Pruning::kNothingLeft;
    }
  }
  return Pruning::kSomeLeft;
}

bool ChangeHost(const std::string& host, bool add) {
  return Brask::Common::FirewallUtils::AddOrRemoveServer(kFirewallRuleset, add, host);
}

void LogAddFailed(const std::string& host) {
  Log_Level(kLogFailure, "Failed to add host %s to firewall\n", host.c_str());
}

void LogRemoveFailed(const std::string& host) {
  Log_Level(kLogFailure, "Failed to remove host %s from firewall\n", host.c_str());
}

// Changes back the first `added` hosts of add and the first `removed` hosts of remove.
void Undo(const Hosts& add, size_t added, const Hosts& remove, size_t removed) {
  for (size_t i = 0; i < added; ++i) {
    if (!RemoveHost(add[i])) {
      LogRemoveFailed(add[i]);
    }
  }
  for (size_t i = 0; i < removed; ++i) {
    if (!AddHost(remove[i])) {
      LogAddFailed(remove[i]);
    }
  }
}

// Applies the pruned lists: every addition, then every removal; the first failure is undone.
bool ApplyChanges(const Hosts& add, const Hosts& remove) {
  for (size_t i = 0; i < add.size(); ++i) {
    Log_Level(kLogNotable, "Adding host %s to firewall\n", add[i].c_str());
    if (!AddHost(add[i])) {
      LogAddFailed(add[i]);
      Undo(add, i, remove, 0);
      return false;
    }
  }
  for (size_t i = 0; i < remove.size(); ++i) {
    Log_Level(kLogNotable, "Removing host %s from firewall\n", remove[i].c_str());
    if (!RemoveHost(remove[i])) {
      LogRemoveFailed(remove[i]);
      Undo(add, add.size(), remove, i);
      return false;
    }
  }
  return true;
}

void LogSomeHostsUnread() {
  Log_Level(kLogNotable, "Error getting server ips for some or all providers\n");
}

}  // namespace

bool AddHost(const std::string& host) { return ChangeHost(host, true); }

bool RemoveHost(const std::string& host) { return ChangeHost(host, false); }

bool GetAllProviderHosts(std::vector<std::string>& hosts) {
  hosts.clear();
  std::vector<std::string> ids;
  const PC::ConfigResult listed = PC::ListProviderIds(ids);
  if (listed != PC::Success) {
    Log_Level(kLogFailure, "Error %d getting server ips, cannot get provider ids\n", listed);
    return false;
  }
  bool complete = true;
  for (const std::string& id : ids) {
    Hosts provider;
    const PC::ConfigResult r = ReadProviderHosts(id, provider);
    if (r != PC::Success) {
      Log_Level(kLogFailure, "Error %d getting server ips for provider %s\n", r, id.c_str());
      complete = false;
    }
    hosts.insert(hosts.end(), provider.begin(), provider.end());
  }
  Deduplicate(hosts);
  return complete;
}

void OpenFirewall() {
  Brask::Common::FirewallUtils::SetRulesetStatus(kFirewallRuleset, true);
  Hosts hosts;
  if (!GetAllProviderHosts(hosts)) {
    LogSomeHostsUnread();
  }
  for (const std::string& host : hosts) {
    AddHost(host);
  }
}

void CloseFirewall() {
  Hosts hosts;
  if (!GetAllProviderHosts(hosts)) {
    LogSomeHostsUnread();
  }
  for (const std::string& host : hosts) {
    RemoveHost(host);
  }
  Brask::Common::FirewallUtils::SetRulesetStatus(kFirewallRuleset, false);
}

bool UpdateFirewall(const std::string& providerId, bool checkOtherProviders,
                    std::vector<std::string>& hostsToAdd, std::vector<std::string>& hostsToRemove,
                    const std::vector<std::string>& kept) {
  if (hostsToAdd.empty() && hostsToRemove.empty()) {
    return true;
  }
  Deduplicate(hostsToAdd);
  Deduplicate(hostsToRemove);
  PruneCommon(hostsToAdd, hostsToRemove);
  if (PruneUsed(kept, hostsToAdd, hostsToRemove)) {
    return true;
  }
  if (checkOtherProviders) {
    const Pruning pruning = PruneOtherProviders(providerId, hostsToAdd, hostsToRemove);
    if (pruning != Pruning::kSomeLeft) {
      return pruning == Pruning::kNothingLeft;
    }
  }
  return ApplyChanges(hostsToAdd, hostsToRemove);
}

}  // namespace Zyld::State
