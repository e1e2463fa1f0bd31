// The daemon in a network namespace of its own with the nftables backend (see CMakeLists.txt):
// the table follows creates and deletes, a host that does not resolve leaves everything as it
// was, and restarts (SIGKILL and SIGTERM) leave one table holding exactly the stored providers'
// addresses. Which hosts an update or a shared host changes is the unit tests' (firewall_test).
#include "rpc.h"
#include "stack_suite.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ZyldIt {
namespace {

class Firewall : public StackSuite {
 protected:
  // The addresses the daemon's table admits; nullopt when there is no table.
  static std::optional<std::set<std::string>> Rules() {
    std::string out;
    if (RunCommand({"nft", "-j", "list", "table", "inet", "ironveil-zyld"}, &out) != 0) {
      return std::nullopt;
    }
    std::set<std::string> addresses;
    const boost::json::value listing = ParseJson(out);
    for (const auto& item : listing.at("nftables").as_array()) {
      const auto* set = item.as_object().if_contains("set");
      const auto* elements = set ? set->as_object().if_contains("elem") : nullptr;
      for (const auto& element : elements ? elements->as_array() : boost::json::array{}) {
        addresses.insert(std::string(element.as_string()));
      }
    }
    return addresses;
  }
  static std::string Create(const std::string& id, const std::vector<std::string>& hosts,
                            const std::string& proxy = {}) {
    return ErrorType(Call(Port(), Op("create"), CreateParams(id, hosts, proxy), admin_));
  }
  static std::string Delete(const std::string& id) {
    return ErrorType(Call(Port(), Op("delete"), IdParams(id), admin_));
  }
};

using Addresses = std::set<std::string>;

TEST_F(Firewall, TheTableFollowsCreatesDeletesAndRestarts) {
  const Addresses seeded = Rules().value_or(Addresses{"none"});
  EXPECT_EQ(seeded, Addresses{"127.0.0.1"});  // the seeded provider's server
  ASSERT_EQ(Create("a", {"10.0.0.1", "10.0.0.2"}, "fd00::1"), "");
  ASSERT_EQ(Create("b", {"10.0.0.2", "fd00::2"}), "");
  EXPECT_EQ(Rules(), (Addresses{"127.0.0.1", "10.0.0.1", "10.0.0.2", "fd00::1", "fd00::2"}));

  // A host that does not resolve fails the change, which leaves everything as it was.
  EXPECT_EQ(Create("c", {"10.0.0.4", "no-such-host.invalid"}), std::string(kErrors) + "error");
  EXPECT_EQ(ErrorType(Call(Port(), Op("get"), IdParams("c"), admin_)),
            std::string(kErrors) + "not_found");
  EXPECT_EQ(Rules(), (Addresses{"127.0.0.1", "10.0.0.1", "10.0.0.2", "fd00::1", "fd00::2"}));

  ASSERT_TRUE(stack_->RestartDaemon(true));  // a killed daemon's table is replaced
  EXPECT_EQ(Rules(), (Addresses{"127.0.0.1", "10.0.0.1", "10.0.0.2", "fd00::1", "fd00::2"}));
  ASSERT_EQ(Delete("a"), "");
  EXPECT_EQ(Rules(), (Addresses{"127.0.0.1", "10.0.0.2", "fd00::2"}));
  ASSERT_EQ(Delete("b"), "");
  EXPECT_EQ(Rules(), Addresses{"127.0.0.1"});

  ASSERT_TRUE(stack_->RestartDaemon(false));  // SIGTERM removes the table, start-up makes it
  EXPECT_EQ(Rules(), Addresses{"127.0.0.1"});
  const std::string log = ReadFile(stack_->Env("LOG"));
  const size_t exited = log.find("Exiting with status 0");
  ASSERT_NE(exited, std::string::npos);
  EXPECT_NE(log.find("ruleset ironveil-zyld disabled", exited), std::string::npos);
}

}  // namespace
}  // namespace ZyldIt
