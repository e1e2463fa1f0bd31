#include <ironveil-common/firewall_none.h>
#include <ironveil-common/firewall_utils.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

namespace {

using namespace Brask::Common;

TEST(FirewallNone, HoldsEachHostOncePerRuleset) {
  NoneFirewallBackend fw;
  EXPECT_TRUE(fw.AddOrRemoveServer("rs", true, "stale.example"));
  EXPECT_TRUE(fw.SetRulesetStatus("rs", true));  // enabling starts empty
  EXPECT_TRUE(fw.IsEnabled("rs"));
  EXPECT_TRUE(fw.AddOrRemoveServer("rs", true, "kms1.example"));
  EXPECT_TRUE(fw.AddOrRemoveServer("rs", true, "kms1.example"));
  EXPECT_TRUE(fw.AddOrRemoveServer("rs", true, "10.0.0.7"));
  EXPECT_TRUE(fw.AddOrRemoveServer("other", true, "kms1.example"));
  using Set = std::set<std::string>;
  EXPECT_EQ(fw.Hosts("rs"), (Set{"10.0.0.7", "kms1.example"}));

  // One removal releases the host; removing an absent host changes nothing and succeeds.
  EXPECT_TRUE(fw.AddOrRemoveServer("rs", false, "kms1.example"));
  EXPECT_TRUE(fw.AddOrRemoveServer("rs", false, "never.added"));
  EXPECT_TRUE(fw.AddOrRemoveServer("unknown", false, "kms1.example"));
  EXPECT_FALSE(fw.AddOrRemoveServer("rs", true, ""));
  EXPECT_EQ(fw.Hosts("rs"), (Set{"10.0.0.7"}));
  EXPECT_EQ(fw.Hosts("other"), (Set{"kms1.example"}));

  // Disabling forgets the ruleset's hosts; other rulesets keep theirs.
  EXPECT_TRUE(fw.SetRulesetStatus("rs", false));
  EXPECT_FALSE(fw.IsEnabled("rs"));
  EXPECT_TRUE(fw.Hosts("rs").empty());
  EXPECT_EQ(fw.Hosts("other"), (Set{"kms1.example"}));
}

TEST(FirewallUtils, BackendsAreChosenByName) {
  std::unique_ptr<FirewallBackend> backend;
  for (const char* name : {"none", "nftables"}) {
    EXPECT_TRUE(MakeFirewallBackend(name, backend)) << name;
    EXPECT_NE(backend, nullptr);
  }
  const Har::Status unknown = MakeFirewallBackend("iptables", backend);
  EXPECT_FALSE(unknown);
  EXPECT_NE(unknown.message().find("iptables"), std::string::npos);

  const Har::Status bogus = FirewallUtils::Configure("bogus");
  EXPECT_FALSE(bogus);
  EXPECT_NE(bogus.message().find("bogus"), std::string::npos);
  ASSERT_TRUE(FirewallUtils::Configure("none"));

  // The process-wide entry points use the configured backend.
  FirewallUtils::SetRulesetStatus("ironveil-test", true);
  EXPECT_TRUE(FirewallUtils::AddOrRemoveServer("ironveil-test", true, "h"));
  FirewallUtils::SetRulesetStatus("ironveil-test", false);

  // An installed backend replaces the configured one until the previous is put back.
  auto mine = std::make_shared<NoneFirewallBackend>();
  auto previous = FirewallUtils::Use(mine);
  EXPECT_TRUE(FirewallUtils::AddOrRemoveServer("ironveil-test", true, "h"));
  EXPECT_EQ(mine->Hosts("ironveil-test").size(), 1u);
  FirewallUtils::Use(previous);
}

}  // namespace
