// The "nftables" firewall backend: each ruleset is a table of family inet, named as the ruleset,
// holding two address sets (ipv4_addr, ipv6_addr) and a chain hooked at output (type filter,
// priority 0, policy accept) whose two rules accept traffic to an address in either set.
//
// A host is an IP literal or a name resolved to all its addresses (both families) within
// kResolveTimeout; only those address literals reach libnftables. An address shared by several
// held hosts stays in its set until the last of them is removed. Enabling replaces any table of
// the ruleset's name in one transaction; disabling deletes it. Hosts can be added only to an
// enabled ruleset (the table must exist). Changes are logged at level 5, failures (with the
// library's error text) at level 2. Programming the kernel needs CAP_NET_ADMIN.
#pragma once

#include <ironveil-common/firewall_utils.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

struct nft_ctx;

namespace Brask::Common {

class NftablesFirewallBackend : public FirewallBackend {
 public:
  static constexpr std::chrono::seconds kResolveTimeout{5};

  NftablesFirewallBackend();

  bool AddOrRemoveServer(const std::string& ruleset, bool add, const std::string& host) override;
  bool SetRulesetStatus(const std::string& ruleset, bool enabled) override;

 private:
  struct CtxDeleter {
    void operator()(nft_ctx* ctx) const;
  };
  struct Ruleset {
    std::map<std::string, std::set<std::string>> hostAddresses;
    std::map<std::string, int> addressUses;  // held hosts resolving to each address
  };

  bool Holds(const std::string& ruleset, const std::string& host) const;  // mutex_ held
  bool AddHost(const std::string& ruleset, const std::string& host);
  bool RemoveHost(const std::string& ruleset, const std::string& host);
  // Runs one JSON batch; on refusal logs what at level 2 with the library's error text.
  bool Run(const std::string& commands, const std::string& what);

  std::mutex mutex_;
  std::unique_ptr<nft_ctx, CtxDeleter> ctx_;
  std::map<std::string, Ruleset> rulesets_;
};

}  // namespace Brask::Common
