// The daemon in a network namespace of its own with the nftables backend (see CMakeLists.txt):
// the table follows creates and deletes, and a restart after SIGKILL leaves one table holding
// exactly the stored providers' addresses. Which hosts an update or a shared host changes, that a
// failed change (a host that does not resolve) changes nothing and that an exit on SIGTERM
// removes the table are the unit tests'.
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

TEST_F(Firewall, TheTableFollowsCreatesDeletesAndARestart) {
  const Addresses seeded = Rules().value_or(Addresses{"none"});
  EXPECT_EQ(seeded, Addresses{"127.0.0.1"});  // the seeded provider's server
  ASSERT_EQ(Create("a", {"10.0.0.1", "10.0.0.2"}, "fd00::1"), "");
  ASSERT_EQ(Create("b", {"10.0.0.2", "fd00::2"}), "");
  EXPECT_EQ(Rules(), (Addresses{"127.0.0.1", "10.0.0.1", "10.0.0.2", "fd00::1", "fd00::2"}));

  ASSERT_TRUE(stack_->RestartDaemon(true));  // a killed daemon's table is replaced
  EXPECT_EQ(Rules(), (Addresses{"127.0.0.1", "10.0.0.1", "10.0.0.2", "fd00::1", "fd00::2"}));
  ASSERT_EQ(Delete("a"), "");
  EXPECT_EQ(Rules(), (Addresses{"127.0.0.1", "10.0.0.2", "fd00::2"}));
  ASSERT_EQ(Delete("b"), "");
  EXPECT_EQ(Rules(), Addresses{"127.0.0.1"});
}

}  // namespace
}  // namespace ZyldIt
