// Firewall synchronisation against a real store and the in-memory backend: start-up and exit
// rulesets, pruning of the hosts other providers (or the provider itself) still use, and undo on
// the first failed change. The ruleset following the service's changes is the providers service's.
#include "provider_fixture.h"
#include "state/firewall.h"

#include <ironveil-common/firewall_none.h>

#include <memory>
#include <set>

namespace {

using namespace ZyldTest;
using Brask::Common::NoneFirewallBackend;
using Hosts = std::vector<std::string>;
namespace FW = Zyld::State;
namespace FU = Brask::Common::FirewallUtils;

// The in-memory backend, recording each host change ("+host" / "-host") and failing the
// failAt-th one (1-based; 0 never).
class RecordingBackend : public Brask::Common::FirewallBackend {
 public:
  bool AddOrRemoveServer(const std::string& ruleset, bool add, const std::string& host) override {
    calls.push_back((add ? "+" : "-") + host);
    return calls.size() != failAt && none.AddOrRemoveServer(ruleset, add, host);
  }
  bool SetRulesetStatus(const std::string& ruleset, bool enabled) override {
    return none.SetRulesetStatus(ruleset, enabled);
  }
  std::set<std::string> Held() const { return none.Hosts(FW::kFirewallRuleset); }

  NoneFirewallBackend none;
  Hosts calls;
  size_t failAt = 0;
};

class FirewallTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    previous_ = FU::Use(backend_);
  }
  void TearDown() override {
    FU::Use(previous_);
    StoreTest::TearDown();
  }
  // A fresh backend holding `held`, with no calls recorded.
  RecordingBackend& Reset(const Hosts& held = {}) {
    backend_ = std::make_shared<RecordingBackend>();
    FU::Use(backend_);
    for (const std::string& host : held) {
      backend_->none.AddOrRemoveServer(FW::kFirewallRuleset, true, host);
    }
    return *backend_;
  }
  static void Save(const std::string& id, const Hosts& servers, const std::string& proxy = "") {
    ProviderSpec spec{.id = id, .proxyHost = proxy};
    for (const std::string& host : servers) {
      spec.servers.push_back({"s" + std::to_string(spec.servers.size()), host});
    }
    ASSERT_EQ(WriteProvider(spec), PC::Success);
  }

  std::shared_ptr<RecordingBackend> backend_ = std::make_shared<RecordingBackend>();
  std::shared_ptr<Brask::Common::FirewallBackend> previous_;
};

TEST_F(FirewallTest, OpenReplacesTheLeftoverRulesetAndCloseRemovesIt) {
  Save("a", {"a.example", "shared.example"}, "b.example");
  Save("b", {"shared.example", "b.example"});
  RecordingBackend& fw = Reset({"leftover.example"});

  FW::OpenFirewall();
  EXPECT_TRUE(fw.none.IsEnabled(FW::kFirewallRuleset));
  const std::set<std::string> distinct{"a.example", "b.example", "shared.example"};
  EXPECT_EQ(fw.Held(), distinct);
  EXPECT_EQ(fw.calls.size(), distinct.size());  // each host once

  FW::CloseFirewall();
  EXPECT_FALSE(fw.none.IsEnabled(FW::kFirewallRuleset));
  EXPECT_TRUE(fw.Held().empty());
}

TEST_F(FirewallTest, UpdateChangesOnlyTheHostsNobodyElseUses) {
  Save("other", {"srv.other"}, "proxy.other");
  Save("me", {"y"});  // the changed provider's own hosts do not hold them
  struct Case {
    const char* name;
    Hosts add, remove, kept, calls, addAfter, removeAfter;
  };
  const Case cases[] = {
      {"in both lists", {"x", "both"}, {"both", "y"}, {}, {"+x", "-y"}, {"x"}, {"y"}},
      {"another's server", {}, {"srv.other", "y"}, {}, {"-y"}, {}, {"y"}},
      {"another's proxy", {}, {"proxy.other"}, {}, {}, {}, {}},
      {"added, another's", {"srv.other", "x"}, {}, {}, {"+x"}, {"x"}, {}},
      {"kept", {}, {"k", "y"}, {"k"}, {"-y"}, {}, {"y"}},
      {"duplicates", {"x", "x"}, {"y", "y"}, {}, {"+x", "-y"}, {"x"}, {"y"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingBackend& fw = Reset();
    Hosts add = c.add, remove = c.remove;
    EXPECT_TRUE(FW::UpdateFirewall("me", true, add, remove, c.kept));
    EXPECT_EQ(fw.calls, c.calls);
    EXPECT_EQ(add, c.addAfter);
    EXPECT_EQ(remove, c.removeAfter);
  }
}

TEST_F(FirewallTest, TheFirstFailedChangeIsUndone) {
  struct Case {
    const char* name;
    Hosts add, remove;
    size_t failAt;
    Hosts calls;
  };
  const Case cases[] = {
      {"third of three additions", {"a1", "a2", "a3"}, {}, 3, {"+a1", "+a2", "+a3", "-a1", "-a2"}},
      {"first addition", {"a1", "a2"}, {"r1"}, 1, {"+a1"}},
      {"a removal", {"a1"}, {"r1", "r2"}, 3, {"+a1", "-r1", "-r2", "-a1", "+r1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingBackend& fw = Reset({"r1", "r2"});
    fw.failAt = c.failAt;
    Hosts add = c.add, remove = c.remove;
    EXPECT_FALSE(FW::UpdateFirewall("me", false, add, remove));
    EXPECT_EQ(fw.calls, c.calls);
    EXPECT_EQ(fw.Held(), (std::set<std::string>{"r1", "r2"}));
  }
}

}  // namespace
