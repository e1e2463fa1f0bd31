// The nftables backend against the kernel. CTest runs this inside `unshare -n`; the tests check
// that they are in a fresh network namespace (loopback its only interface) and skip otherwise, so
// the host's rules are never changed.
#include <ironveil-common/firewall_nftables.h>

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <net/if.h>

#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>

namespace {

using namespace Brask::Common;
namespace json = boost::json;
using Set = std::set<std::string>;

constexpr const char* kRuleset = "ironveil-test";

// Standard output of nft with the given arguments (standard error discarded).
std::string Nft(const std::string& args) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("nft " + args + " 2>/dev/null").c_str(), "r"),
                                             pclose);
  std::string out;
  char buf[4096];
  for (size_t n; pipe && (n = fread(buf, 1, sizeof(buf), pipe.get())) > 0;) {
    out.append(buf, n);
  }
  return out;
}

// The table as listed by nft: its sets with their elements, its chains with hook and policy, and
// the number of rules. Empty when the table does not exist.
struct Table {
  std::map<std::string, Set> sets;
  Set chains;
  int rules = 0;
  bool operator==(const Table&) const = default;
};

Table List() {
  Table table;
  json::error_code ec;  // no table: nothing listed
  json::value listing = json::parse(Nft(std::string("-j list table inet ") + kRuleset), ec);
  if (ec || !listing.is_object()) {
    return table;
  }
  for (const json::value& item : listing.at("nftables").as_array()) {
    const json::object& entry = item.as_object();
    if (const json::value* set = entry.if_contains("set")) {
      Set& elems = table.sets[json::value_to<std::string>(set->at("name"))];
      if (const json::value* list = set->as_object().if_contains("elem")) {
        for (const json::value& e : list->as_array()) {
          elems.insert(json::value_to<std::string>(e));
        }
      }
    } else if (const json::value* chain = entry.if_contains("chain")) {
      table.chains.insert(json::value_to<std::string>(chain->at("name")) + " " +
                          json::value_to<std::string>(chain->at("hook")) + " " +
                          json::value_to<std::string>(chain->at("policy")));
    } else if (entry.contains("rule")) {
      ++table.rules;
    }
  }
  return table;
}

void PrintTo(const Table& table, std::ostream* os) {
  for (const auto& [name, elems] : table.sets) {
    *os << name << " {";
    for (const std::string& e : elems) {
      *os << " " << e;
    }
    *os << " } ";
  }
  for (const std::string& chain : table.chains) {
    *os << "chain " << chain << ", ";
  }
  *os << table.rules << " rules";
}

Table Expected(Set v4, Set v6) {
  return {{{"hosts_v4", std::move(v4)}, {"hosts_v6", std::move(v6)}}, {"output output accept"}, 2};
}

class FirewallNftables : public testing::Test {
 protected:
  void SetUp() override {
    std::unique_ptr<struct if_nameindex, void (*)(struct if_nameindex*)> ifs(if_nameindex(),
                                                                             if_freenameindex);
    for (const struct if_nameindex* i = ifs.get(); i == nullptr || i->if_index != 0; ++i) {
      if (i == nullptr || std::string(i->if_name) != "lo") {
        GTEST_SKIP() << "no private network namespace: " << (i ? i->if_name : "no interface list");
      }
    }
  }
  NftablesFirewallBackend fw_;
};

TEST_F(FirewallNftables, AdmitsEachAddressWhileSomeHeldHostUsesIt) {
  ASSERT_TRUE(fw_.SetRulesetStatus(kRuleset, true));
  EXPECT_EQ(List(), Expected({}, {}));

  for (const char* host : {"10.1.2.3", "2001:db8::7", "localhost"}) {
    EXPECT_TRUE(fw_.AddOrRemoveServer(kRuleset, true, host)) << host;
  }
  Table admitted = List();
  EXPECT_EQ(admitted.sets["hosts_v4"], (Set{"10.1.2.3", "127.0.0.1"}));
  EXPECT_EQ(admitted.sets["hosts_v6"].count("2001:db8::7"), 1u);
  EXPECT_LE(admitted.sets["hosts_v6"].size(), 2u);  // ::1 when /etc/hosts names it localhost

  // A held host added again, hosts not held removed, and hosts that are not valid change nothing.
  EXPECT_TRUE(fw_.AddOrRemoveServer(kRuleset, true, "10.1.2.3"));
  EXPECT_TRUE(fw_.AddOrRemoveServer(kRuleset, false, "10.9.9.9"));
  EXPECT_TRUE(fw_.AddOrRemoveServer(kRuleset, false, "never.added"));
  for (const char* bad : {"", "1.2.3.4; flush ruleset", "kms.invalid"}) {
    EXPECT_FALSE(fw_.AddOrRemoveServer(kRuleset, true, bad)) << bad;
  }
  EXPECT_EQ(List(), admitted);

  // Two names for one address: the address stays until both are removed.
  EXPECT_TRUE(fw_.AddOrRemoveServer(kRuleset, true, "127.0.0.1"));
  EXPECT_TRUE(fw_.AddOrRemoveServer(kRuleset, false, "localhost"));
  EXPECT_EQ(List(), Expected({"10.1.2.3", "127.0.0.1"}, {"2001:db8::7"}));
  EXPECT_TRUE(fw_.AddOrRemoveServer(kRuleset, false, "127.0.0.1"));
  EXPECT_TRUE(fw_.AddOrRemoveServer(kRuleset, false, "2001:db8::7"));
  EXPECT_EQ(List(), Expected({"10.1.2.3"}, {}));

  // Disabling deletes the table and forgets its hosts: adding needs the ruleset enabled again.
  ASSERT_TRUE(fw_.SetRulesetStatus(kRuleset, false));
  EXPECT_EQ(List(), Table{});
  EXPECT_FALSE(fw_.AddOrRemoveServer(kRuleset, true, "10.1.2.3"));
  EXPECT_TRUE(fw_.SetRulesetStatus(kRuleset, false));
}

TEST_F(FirewallNftables, EnablingReplacesALeftoverTable) {
  Nft(std::string("add table inet ") + kRuleset);
  Nft(std::string("add set inet ") + kRuleset +
      " hosts_v4 '{ type ipv4_addr; elements = { 192.0.2.9 }; }'");
  ASSERT_EQ(List().sets["hosts_v4"], Set{"192.0.2.9"});

  ASSERT_TRUE(fw_.SetRulesetStatus(kRuleset, true));
  EXPECT_EQ(List(), Expected({}, {}));
}

}  // namespace
