// Shared set-up of the management service tests: one call started or run to completion (changes
// complete on the registry's pool), optionally as a caller holding one entitlement, and a real
// store with the in-memory firewall backend that can fail a chosen change.
#pragma once

#include "../provider_fixture.h"
#include "mirel/message_resolver.h"
#include "mirel/providers_impl.h"
#include "state/firewall.h"

#include <ironveil-common/firewall_none.h>
#include <mirel/activation.h>

#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ZyldTest {

// Starts one call; the future gets what its result completed with.
template <class T, class Call>
std::future<Mirel::MethodResult> StartCall(Call&& call) {
  auto done = std::make_shared<std::promise<Mirel::MethodResult>>();
  std::future<Mirel::MethodResult> answer = done->get_future();
  call(Mirel::MakeAsyncResult<T>([done](Mirel::MethodResult r) { done->set_value(std::move(r)); },
                                 Zyld::ZylApi::MakeLocalizer()));
  return answer;
}

// Runs one call to completion; with `entitlement`, as a caller holding it.
template <class T, class Call>
Mirel::MethodResult RunCall(Call&& call, const char* entitlement = nullptr) {
  Mirel::CallContext ctx;
  std::optional<Mirel::CallActivation> active;
  if (entitlement != nullptr) {
    ctx.authData = boost::json::object{{"username", "tester"},
                                       {"entitlements", boost::json::array{entitlement}}};
    active.emplace(&ctx);
  }
  return StartCall<T>(std::forward<Call>(call)).get();
}

// A provider `id` with master key "mk-<id>", a server "n-<host>" per host and the proxy when given.
inline Com::Velora::Ovik::Kms::ProvidersSvc::CreateSpec CreateSpecFor(
    const std::string& id, const std::vector<std::string>& hosts, const std::string& proxy = {}) {
  namespace Svc = Com::Velora::Ovik::Kms::ProvidersSvc;
  Svc::CreateSpec spec{id, "mk-" + id, {}};
  for (const std::string& host : hosts) {
    spec.keyServer.kmipServer.servers.push_back({"n-" + host, {host, std::nullopt}});
  }
  if (!proxy.empty()) {
    spec.keyServer.proxyServer = Svc::NetworkAddress{proxy, std::nullopt};
  }
  return spec;
}

// Checks the error type and, when `id` is given, the one message: its identifier (under
// "com.velora.ovik.kms.providers.") and the arguments named in `args`.
inline void ExpectError(const Mirel::MethodResult& r, std::string_view type,
                        const std::string& id = {},
                        const std::map<std::string, std::string>& args = {}) {
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.error->type, type);
  if (id.empty()) {
    return;
  }
  ASSERT_EQ(r.error->messages.size(), 1u);
  EXPECT_EQ(r.error->messages[0].id, "com.velora.ovik.kms.providers." + id);
  for (const auto& [name, value] : args) {
    EXPECT_EQ(r.error->messages[0].args.at(name), value) << name;
  }
}

// The in-memory backend, failing one change after `failAfter` more have been made.
class FlakyBackend : public Brask::Common::NoneFirewallBackend {
 public:
  bool AddOrRemoveServer(const std::string& ruleset, bool add, const std::string& host) override {
    ++calls;
    if (failAfter && (*failAfter)-- == 0) {
      failAfter.reset();
      return false;
    }
    return NoneFirewallBackend::AddOrRemoveServer(ruleset, add, host);
  }
  std::optional<int> failAfter;
  int calls = 0;
};

// A real store with the flaky backend in use and the daemon's ruleset enabled.
class FirewallStoreTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    previous_ = Brask::Common::FirewallUtils::Use(backend_);
    backend_->SetRulesetStatus(Zyld::State::kFirewallRuleset, true);
  }
  void TearDown() override {
    Brask::Common::FirewallUtils::Use(previous_);
    StoreTest::TearDown();
  }
  std::set<std::string> Rules() const { return backend_->Hosts(Zyld::State::kFirewallRuleset); }

  std::shared_ptr<FlakyBackend> backend_ = std::make_shared<FlakyBackend>();
  std::shared_ptr<Brask::Common::FirewallBackend> previous_;
};

}  // namespace ZyldTest
