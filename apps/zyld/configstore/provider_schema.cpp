#include "configstore/provider_schema.h"

#include <harlibs/secure.h>
#include <harlibs/wiping_json.h>

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <new>

namespace Zyld::ProviderConfig {

namespace json = boost::json;

namespace {

constexpr std::string_view kKmipType = "KMIP";
// Characters that never occur in a host name and would break the texts it is written into.
constexpr std::string_view kHostnameForbidden = " \"'`,{}";
// Names quoted in a problem are cut to this length and kept printable.
constexpr size_t kMaxQuotedName = 64;
// The store nests sub-objects at most 16 deep; a little more for the object members.
constexpr int kMaxJsonDepth = 40;
constexpr size_t kArenaBlockSize = 64u * 1024u;

std::string Quoted(std::string_view name) {
  std::string out(name.substr(0, kMaxQuotedName));
  std::replace_if(
      out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '?');
  return out;
}

std::string_view View(const json::string& s) { return {s.data(), s.size()}; }

// The checks of one provider; the first failed check is kept as the problem.
class ProviderCheck {
 public:
  ProviderCheck(std::string provider, ProvidersText& found)
      : provider_(std::move(provider)), found_(found) {}

  std::optional<SchemaProblem> Run(const json::object& top) {
    const json::object* values = Values(top, "");
    if (values != nullptr) {
      Text(*values, "master_key_id", "", true, kMaxMasterKeyIdLength);
    }
    if (const json::object* keyServer = Singleton(top, "key_server", "", true)) {
      KeyServer(*keyServer);
    }
    return std::move(problem_);
  }

 private:
  bool Fail(const std::string& member, const char* cause) {
    if (!problem_) {
      problem_ = SchemaProblem{provider_, member, cause};
    }
    return false;
  }

  static std::string Join(const std::string& path, std::string_view name) {
    return path.empty() ? std::string(name) : path + "." + std::string(name);
  }

  const json::object* Values(const json::object& object, const std::string& path) {
    const json::value* values = object.if_contains("values");
    if (values == nullptr || !values->is_object()) {
      Fail(Join(path, "values"), "not an object");
      return nullptr;
    }
    return &values->get_object();
  }

  // The sub-objects named `name`, with their instances.
  static std::vector<std::pair<std::string_view, const json::object*>> Subs(
      const json::object& object, std::string_view name) {
    std::vector<std::pair<std::string_view, const json::object*>> found;
    const json::value* subs = object.if_contains("subObjects");
    if (subs == nullptr || !subs->is_array()) {
      return found;
    }
    for (const json::value& sub : subs->get_array()) {
      const json::object* o = sub.if_object();
      const json::value* subName = o != nullptr ? o->if_contains("name") : nullptr;
      const json::value* instance = o != nullptr ? o->if_contains("instance") : nullptr;
      if (subName != nullptr && subName->is_string() && View(subName->get_string()) == name &&
          instance != nullptr && instance->is_string()) {
        found.emplace_back(View(instance->get_string()), o);
      }
    }
    return found;
  }

  // The singleton sub-object (instance "") `name`; null (a problem when required) without it.
  const json::object* Singleton(const json::object& parent, std::string_view name,
                                const std::string& path, bool required) {
    for (const auto& [instance, object] : Subs(parent, name)) {
      if (instance.empty()) {
        return object;
      }
    }
    if (required) {
      Fail(Join(path, name), "missing");
    }
    return nullptr;
  }

  // A string value: required or optional, non-empty when bounded by maxLength.
  bool Text(const json::object& values, std::string_view name, const std::string& path,
            bool required, size_t maxLength = 0) {
    const json::value* v = values.if_contains(name);
    if (v == nullptr) {
      return required ? Fail(Join(path, name), "missing") : true;
    }
    if (!v->is_string()) {
      return Fail(Join(path, name), "not a string");
    }
    if (maxLength != 0 && (v->get_string().empty() || v->get_string().size() > maxLength)) {
      return Fail(Join(path, name), "empty or too long");
    }
    return true;
  }

  bool Integer(const json::object& values, std::string_view name, const std::string& path,
               bool required, int64_t min, int64_t max, const char* cause) {
    const json::value* v = values.if_contains(name);
    if (v == nullptr) {
      return required ? Fail(Join(path, name), "missing") : true;
    }
    const int64_t* i = v->if_int64();
    return i != nullptr && *i >= min && *i <= max ? true : Fail(Join(path, name), cause);
  }

  // hostname and port of a server or proxy; the host is noted for the firewall.
  void Address(const json::object& values, const std::string& path) {
    const json::value* host = values.if_contains("hostname");
    if (host == nullptr || !host->is_string() || !WellFormedHostname(View(host->get_string()))) {
      Fail(Join(path, "hostname"), "missing or not a well-formed host name");
      return;
    }
    Integer(values, "port", path, true, kMinPort, kMaxPort, "not an integer in 1..65535");
    std::string name(View(host->get_string()));
    if (std::find(found_.hosts.begin(), found_.hosts.end(), name) == found_.hosts.end()) {
      found_.hosts.push_back(std::move(name));
    }
  }

  void StringList(const json::object& values, std::string_view name, const std::string& path) {
    const json::value* v = values.if_contains(name);
    if (v == nullptr) {
      return;
    }
    const json::array* list = v->if_array();
    if (list == nullptr || !std::all_of(list->begin(), list->end(),
                                        [](const json::value& e) { return e.is_string(); })) {
      Fail(Join(path, name), "not a list of strings");
    }
  }

  void KeyServer(const json::object& keyServer) {
    const std::string path = "key_server";
    const json::object* values = Values(keyServer, path);
    if (values == nullptr) {
      return;
    }
    const json::value* type = values->if_contains("type");
    if (type == nullptr || !type->is_string() || View(type->get_string()) != kKmipType) {
      Fail(Join(path, "type"), "missing or not \"KMIP\"");
    }
    Text(*values, "description", path, false);
    Integer(*values, "connection_timeout", path, false, 0, kMaxConnectionTimeout,
            "not an integer in 0..86400");
    StringList(*values, "server_cert", path);
    if (const json::object* proxy = Singleton(keyServer, "proxy_server", path, false)) {
      const std::string proxyPath = Join(path, "proxy_server");
      if (const json::object* proxyValues = Values(*proxy, proxyPath)) {
        Address(*proxyValues, proxyPath);
      }
    }
    if (const json::object* kmip = Singleton(keyServer, "kmip_server", path, true)) {
      KmipServer(*kmip, Join(path, "kmip_server"));
    }
  }

  void KmipServer(const json::object& kmip, const std::string& path) {
    const json::object* values = Values(kmip, path);
    if (values == nullptr) {
      return;
    }
    Text(*values, "username", path, false);
    Text(*values, "credential", path, false);
    const auto servers = Subs(kmip, "servers");
    if (servers.empty()) {
      Fail(Join(path, "servers"), "missing");
    }
    for (const auto& [instance, server] : servers) {
      const std::string serverPath = Join(path, "servers[" + Quoted(instance) + "]");
      if (const json::object* serverValues = Values(*server, serverPath)) {
        Text(*serverValues, "name", serverPath, true, kMaxHostnameLength);
        Address(*serverValues, serverPath);
      }
    }
    if (const json::object* client = Singleton(kmip, "client_certificate", path, false)) {
      const std::string clientPath = Join(path, "client_certificate");
      if (const json::object* clientValues = Values(*client, clientPath)) {
        Text(*clientValues, "certificate", clientPath, true);
        Text(*clientValues, "private_key", clientPath, true);
      }
    }
    if (const json::object* csr = Singleton(kmip, "client_CSR", path, false)) {
      const std::string csrPath = Join(path, "client_CSR");
      if (const json::object* csrValues = Values(*csr, csrPath)) {
        Text(*csrValues, "certificate", csrPath, false);
        Text(*csrValues, "private_key", csrPath, false);
      }
    }
  }

  std::string provider_;
  ProvidersText& found_;
  std::optional<SchemaProblem> problem_;
};

SchemaProblem TextProblem(std::string member, const char* cause) {
  return SchemaProblem{{}, std::move(member), cause};
}

bool IsProvidersSelection(const json::object& root) {
  const json::value* selection = root.if_contains("selection");
  const json::object* s = selection != nullptr ? selection->if_object() : nullptr;
  auto is = [&](const char* member, std::string_view expected) {
    const json::value* v = s->if_contains(member);
    return v != nullptr && v->is_string() && View(v->get_string()) == expected;
  };
  return s != nullptr && is("key", kProvidersStoreKey) && is("group", kProvidersStoreGroup) &&
         is("component", kProvidersStoreComponent);
}

std::optional<SchemaProblem> CheckObjects(const json::array& objects, ProvidersText& found) {
  for (const json::value& object : objects) {
    const json::object* top = object.if_object();
    const json::value* instance = top != nullptr ? top->if_contains("instance") : nullptr;
    if (instance == nullptr || !instance->is_string() || instance->get_string().empty()) {
      return TextProblem("objects", "a provider without a name");
    }
    std::string provider(View(instance->get_string()));
    if (auto problem = ProviderCheck(Quoted(provider), found).Run(*top)) {
      return problem;
    }
    found.providers.push_back(std::move(provider));
  }
  return std::nullopt;
}

std::optional<SchemaProblem> CheckParsed(const json::value& root, OtherSelections others,
                                         ProvidersText& found) {
  const json::object* o = root.if_object();
  if (o == nullptr || !IsProvidersSelection(*o)) {
    if (others == OtherSelections::Pass) {
      return std::nullopt;
    }
    return TextProblem("selection", "not an export of the providers");
  }
  const json::value* objects = o->if_contains("objects");
  if (objects == nullptr || !objects->is_array()) {
    return TextProblem("objects", "not a list");
  }
  return CheckObjects(objects->get_array(), found);
}

}  // namespace

std::string SchemaProblem::Text() const {
  std::string text = provider.empty() ? "configuration" : "provider '" + provider + "'";
  return text + ": " + member + ": " + cause;
}

bool WellFormedHostname(std::string_view host) {
  if (host.empty() || host.size() > kMaxHostnameLength) {
    return false;
  }
  return std::none_of(host.begin(), host.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x21 || byte == 0x7f || kHostnameForbidden.find(c) != std::string_view::npos;
  });
}

std::optional<SchemaProblem> CheckProvidersText(std::string_view text, OtherSelections others,
                                                ProvidersText& found) {
  if (text.size() > kMaxProvidersTextSize) {
    return TextProblem("text", "larger than the store accepts");
  }
  Har::WipingJsonResource wiping;
  std::optional<SchemaProblem> problem;
  ProvidersText checked;
  {
    json::monotonic_resource arena(kArenaBlockSize, json::storage_ptr(&wiping));
    json::parse_options options;
    options.max_depth = kMaxJsonDepth;
    json::error_code ec;
    const json::value root = json::parse(json::string_view(text.data(), text.size()), ec,
                                         json::storage_ptr(&arena), options);
    if (ec) {
      problem = others == OtherSelections::Pass ? std::nullopt
                                                : std::optional(TextProblem("text", "not JSON"));
    } else {
      problem = CheckParsed(root, others, checked);
    }
  }
  if (!problem) {
    found = std::move(checked);
  }
  return problem;
}

}  // namespace Zyld::ProviderConfig
