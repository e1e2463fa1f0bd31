#include <ironveil-common/firewall_none.h>
#include <ironveil-common/firewall_utils.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace Brask::Common;

TEST(FirewallNone, CountsUsesPerHostAndRuleset) {
  NoneFirewallBackend fw;
  EXPECT_TRUE(fw.SetRulesetStatus("rs", true));
  EXPECT_TRUE(fw.IsEnabled("rs"));
  EXPECT_TRUE(fw.AddOrRemoveServer("rs", true, "kms1.example"));
  EXPECT_TRUE(fw.AddOrRemoveServer("rs", true, "kms1.example"));
  EXPECT_TRUE(fw.AddOrRemoveServer("rs", true, "10.0.0.7"));
  EXPECT_TRUE(fw.AddOrRemoveServer("other", true, "kms1.example"));
  EXPECT_EQ(fw.UseCount("rs", "kms1.example"), 2);
  EXPECT_EQ(fw.UseCount("other", "kms1.example"), 1);

  // The host stays until its last use goes.
  EXPECT_TRUE(fw.AddOrRemoveServer("rs", false, "kms1.example"));
  EXPECT_EQ(fw.UseCount("rs", "kms1.example"), 1);
  EXPECT_TRUE(fw.AddOrRemoveServer("rs", false, "kms1.example"));
  EXPECT_EQ(fw.UseCount("rs", "kms1.example"), 0);
  EXPECT_FALSE(fw.AddOrRemoveServer("rs", false, "kms1.example"));
  EXPECT_FALSE(fw.AddOrRemoveServer("rs", false, "never.added"));
  EXPECT_FALSE(fw.AddOrRemoveServer("unknown", false, "kms1.example"));
  EXPECT_FALSE(fw.AddOrRemoveServer("rs", true, ""));
  EXPECT_EQ(fw.UseCount("other", "kms1.example"), 1);

  // Disabling forgets the ruleset's hosts; other rulesets keep theirs.
  EXPECT_TRUE(fw.SetRulesetStatus("rs", false));
  EXPECT_FALSE(fw.IsEnabled("rs"));
  EXPECT_EQ(fw.UseCount("rs", "10.0.0.7"), 0);
  EXPECT_EQ(fw.UseCount("other", "kms1.example"), 1);
}

TEST(FirewallUtils, BackendsAreChosenByName) {
  std::unique_ptr<FirewallBackend> backend;
  EXPECT_TRUE(MakeFirewallBackend("none", backend));
  EXPECT_NE(backend, nullptr);
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
  EXPECT_TRUE(FirewallUtils::AddOrRemoveServer("ironveil-test", false, "h"));
  EXPECT_FALSE(FirewallUtils::AddOrRemoveServer("ironveil-test", false, "h"));
  FirewallUtils::SetRulesetStatus("ironveil-test", false);
}

}  // namespace
