// Firewall backend programming nftables through libnftables' JSON interface.
#include <ironveil-common/firewall_nftables.h>

#include <harlibs/log.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <nftables/libnftables.h>
#include <sys/socket.h>

#include <boost/json.hpp>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <system_error>
#include <thread>
#include <vector>

namespace Brask::Common {

namespace json = boost::json;

namespace {

constexpr const char* kFamily = "inet";
constexpr const char* kSetV4 = "hosts_v4";
constexpr const char* kSetV6 = "hosts_v6";
constexpr const char* kChain = "output";
constexpr std::size_t kMaxHostLength = 253;    // longest DNS name
constexpr std::size_t kMaxRulesetLength = 64;  // well under nftables' table name limit
constexpr std::size_t kMaxErrorLength = 1024;  // of libnftables' error text, for the log

using AddressSet = std::set<std::string>;

// Ruleset names become table names: short, and letters, digits, '-', '_' or '.' only.
bool ValidRulesetName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxRulesetLength &&
         std::all_of(name.begin(), name.end(), [](unsigned char c) {
           return std::isalnum(c) || c == '-' || c == '_' || c == '.';
         });
}

bool IsV6(const std::string& address) { return address.find(':') != std::string::npos; }

// The canonical text of an IP literal, or empty when host is not one.
std::string CanonicalLiteral(const std::string& host) {
  char text[INET6_ADDRSTRLEN] = {};
  in6_addr v6{};
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return inet_ntop(AF_INET, &v4, text, sizeof(text)) ? text : "";
  }
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    return inet_ntop(AF_INET6, &v6, text, sizeof(text)) ? text : "";
  }
  return "";
}

struct AddrinfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

// Blocking lookup of every address of name, both families, as canonical text.
int LookUp(const std::string& name, AddressSet& out) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &raw);
  std::unique_ptr<addrinfo, AddrinfoDeleter> list(raw);
  for (const addrinfo* ai = list.get(); rc == 0 && ai != nullptr; ai = ai->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    const void* addr = nullptr;
    if (ai->ai_family == AF_INET) {
      addr = &reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
    } else if (ai->ai_family == AF_INET6) {
      addr = &reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr;
    }
    if (addr != nullptr && inet_ntop(ai->ai_family, addr, text, sizeof(text)) != nullptr) {
      out.insert(text);
    }
  }
  return rc;
}

// State of one lookup, shared with the thread running it so that a caller that stops waiting
// leaves the thread writing into memory it still owns.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int rc = 0;
  AddressSet addresses;
};

// Resolves name within the time-out; the lookup thread outlives a caller that gives up.
Har::Status Resolve(const std::string& name, AddressSet& out) {
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, name] {
      AddressSet found;
      const int rc = LookUp(name, found);
      std::lock_guard<std::mutex> lock(lookup->mutex);
      lookup->rc = rc;
      lookup->addresses = std::move(found);
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error& e) {
    return Har::Status::Error(std::string("cannot start name resolution: ") + e.what());
  }
  std::unique_lock<std::mutex> lock(lookup->mutex);
  if (!lookup->done.wait_for(lock, NftablesFirewallBackend::kResolveTimeout,
                             [&] { return lookup->finished; })) {
    return Har::Status::Error("name resolution timed out");
  }
  if (lookup->rc != 0) {
    return Har::Status::Error(gai_strerror(lookup->rc));
  }
  if (lookup->addresses.empty()) {
    return Har::Status::Error("no addresses");
  }
  out = std::move(lookup->addresses);
  return Har::Status::Ok();
}

// The addresses host stands for: itself when an IP literal, else its resolved addresses.
Har::Status AddressesOf(const std::string& host, AddressSet& out) {
  if (host.empty() || host.size() > kMaxHostLength || host.find('\0') != std::string::npos) {
    return Har::Status::Error("not a valid host");
  }
  const std::string literal = CanonicalLiteral(host);
  if (!literal.empty()) {
    out = {literal};
    return Har::Status::Ok();
  }
  return Resolve(host, out);
}

json::object Named(const std::string& table, const char* key, const char* name) {
  return {{"family", kFamily}, {"table", table}, {key, name}};
}

json::object Command(const char* verb, const char* what, json::object body) {
  return {{verb, json::object{{what, std::move(body)}}}};
}

json::object AcceptRule(const std::string& table, const char* protocol, const char* set) {
  json::object match{{"op", "=="},
                     {"left", {{"payload", {{"protocol", protocol}, {"field", "daddr"}}}}},
                     {"right", std::string("@") + set}};
  json::object rule = Named(table, "chain", kChain);
  rule["expr"] =
      json::array{json::object{{"match", std::move(match)}}, json::object{{"accept", nullptr}}};
  return Command("add", "rule", std::move(rule));
}

json::object AddressSetCommand(const std::string& table, const char* name, const char* type) {
  json::object set = Named(table, "name", name);
  set["type"] = type;
  return Command("add", "set", std::move(set));
}

// Adding and then deleting the table deletes it whether or not it existed.
json::array DropTable(const std::string& table) {
  const json::object id{{"family", kFamily}, {"name", table}};
  return {Command("add", "table", id), Command("delete", "table", id)};
}

json::array FreshTable(const std::string& table) {
  json::array batch = DropTable(table);
  batch.push_back(Command("add", "table", {{"family", kFamily}, {"name", table}}));
  batch.push_back(AddressSetCommand(table, kSetV4, "ipv4_addr"));
  batch.push_back(AddressSetCommand(table, kSetV6, "ipv6_addr"));
  json::object chain = Named(table, "name", kChain);
  chain.insert({{"type", "filter"}, {"hook", "output"}, {"prio", 0}, {"policy", "accept"}});
  batch.push_back(Command("add", "chain", std::move(chain)));
  batch.push_back(AcceptRule(table, "ip", kSetV4));
  batch.push_back(AcceptRule(table, "ip6", kSetV6));
  return batch;
}

// One add or delete of elements per family that has any.
json::array ElementCommands(const std::string& table, const char* verb,
                            const AddressSet& addresses) {
  json::array v4, v6;
  for (const std::string& address : addresses) {
    (IsV6(address) ? v6 : v4).push_back(json::string(address));
  }
  json::array batch;
  for (auto [set, elems] : {std::pair{kSetV4, &v4}, std::pair{kSetV6, &v6}}) {
    if (!elems->empty()) {
      json::object body = Named(table, "name", set);
      body["elem"] = std::move(*elems);
      batch.push_back(Command(verb, "element", std::move(body)));
    }
  }
  return batch;
}

std::string Batch(json::array commands) {
  return json::serialize(json::object{{"nftables", std::move(commands)}});
}

std::string Joined(const AddressSet& addresses) {
  std::string text;
  for (const std::string& address : addresses) {
    text += (text.empty() ? "" : ", ") + address;
  }
  return text;
}

}  // namespace

void NftablesFirewallBackend::CtxDeleter::operator()(nft_ctx* ctx) const { nft_ctx_free(ctx); }

NftablesFirewallBackend::NftablesFirewallBackend() : ctx_(nft_ctx_new(NFT_CTX_DEFAULT)) {
  if (ctx_) {
    // JSON output also makes the library parse JSON input; errors go to a buffer, not stderr.
    nft_ctx_output_set_flags(ctx_.get(), NFT_CTX_OUTPUT_JSON);
    nft_ctx_buffer_output(ctx_.get());
    nft_ctx_buffer_error(ctx_.get());
  }
}

bool NftablesFirewallBackend::Run(const std::string& commands, const std::string& what) {
  if (!ctx_) {
    Log_Level(kLogFailure, "Firewall (nftables): %s failed: no libnftables context\n",
              what.c_str());
    return false;
  }
  if (nft_run_cmd_from_buffer(ctx_.get(), commands.c_str()) == 0) {
    return true;
  }
  const char* buffered = nft_ctx_get_error_buffer(ctx_.get());
  std::string error = std::string(buffered ? buffered : "").substr(0, kMaxErrorLength);
  while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) {
    error.pop_back();
  }
  std::replace(error.begin(), error.end(), '\n', ' ');
  Log_Level(kLogFailure, "Firewall (nftables): %s failed: %s\n", what.c_str(), error.c_str());
  return false;
}

bool NftablesFirewallBackend::SetRulesetStatus(const std::string& ruleset, bool enabled) {
  if (!ValidRulesetName(ruleset)) {
    Log_Level(kLogFailure, "Firewall (nftables): invalid ruleset name\n");
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string what = std::string(enabled ? "enabling" : "disabling") + " ruleset " + ruleset;
  if (!Run(Batch(enabled ? FreshTable(ruleset) : DropTable(ruleset)), what)) {
    return false;  // the table is as it was, and so is what is kept of it
  }
  rulesets_.erase(ruleset);
  Log_Level(kLogInfo, "Firewall (nftables): ruleset %s %s\n", ruleset.c_str(),
            enabled ? "enabled" : "disabled");
  return true;
}

bool NftablesFirewallBackend::AddOrRemoveServer(const std::string& ruleset, bool add,
                                                const std::string& host) {
  if (!ValidRulesetName(ruleset)) {
    Log_Level(kLogFailure, "Firewall (nftables): invalid ruleset name\n");
    return false;
  }
  return add ? AddHost(ruleset, host) : RemoveHost(ruleset, host);
}

bool NftablesFirewallBackend::Holds(const std::string& ruleset, const std::string& host) const {
  auto rs = rulesets_.find(ruleset);
  return rs != rulesets_.end() && rs->second.hostAddresses.count(host) > 0;
}

bool NftablesFirewallBackend::AddHost(const std::string& ruleset, const std::string& host) {
  const auto alreadyHeld = [&] {
    if (!Holds(ruleset, host)) {
      return false;
    }
    Log_Level(kLogInfo, "Firewall (nftables): ruleset %s already admits host %s\n", ruleset.c_str(),
              host.c_str());
    return true;
  };
  if (std::lock_guard<std::mutex> lock(mutex_); alreadyHeld()) {
    return true;
  }
  AddressSet addresses;  // resolved without the lock: a slow name must not stall other calls
  if (Har::Status found = AddressesOf(host, addresses); !found) {
    Log_Level(kLogFailure, "Firewall (nftables): ruleset %s cannot admit host %s: %s\n",
              ruleset.c_str(), host.substr(0, kMaxHostLength).c_str(), found.message().c_str());
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (alreadyHeld()) {
    return true;
  }
  Ruleset& rs = rulesets_[ruleset];
  AddressSet fresh;
  for (const std::string& address : addresses) {
    if (rs.addressUses.count(address) == 0) {
      fresh.insert(address);
    }
  }
  if (!fresh.empty() &&
      !Run(Batch(ElementCommands(ruleset, "add", fresh)), "admitting host " + host)) {
    return false;
  }
  for (const std::string& address : addresses) {
    ++rs.addressUses[address];
  }
  Log_Level(kLogInfo, "Firewall (nftables): ruleset %s admits host %s (%s)\n", ruleset.c_str(),
            host.c_str(), Joined(addresses).c_str());
  rs.hostAddresses[host] = std::move(addresses);
  return true;
}

bool NftablesFirewallBackend::RemoveHost(const std::string& ruleset, const std::string& host) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Holds(ruleset, host)) {
    Log_Level(kLogInfo, "Firewall (nftables): ruleset %s does not hold host %s\n", ruleset.c_str(),
              host.substr(0, kMaxHostLength).c_str());
    return true;
  }
  Ruleset& rs = rulesets_.at(ruleset);
  const AddressSet& addresses = rs.hostAddresses.at(host);
  AddressSet unused;
  for (const std::string& address : addresses) {
    if (rs.addressUses.at(address) == 1) {
      unused.insert(address);
    }
  }
  if (!unused.empty() &&
      !Run(Batch(ElementCommands(ruleset, "delete", unused)), "releasing host " + host)) {
    return false;
  }
  for (const std::string& address : addresses) {
    if (--rs.addressUses.at(address) == 0) {
      rs.addressUses.erase(address);
    }
  }
  rs.hostAddresses.erase(host);
  Log_Level(kLogInfo, "Firewall (nftables): ruleset %s released host %s\n", ruleset.c_str(),
            host.c_str());
  return true;
}

}  // namespace Brask::Common
