#include "mirel/provider_validation.h"

#include <qlkmipsimple/connection_spec.h>

#include <algorithm>

namespace Com::Velora::Ovik::Kms::ProvidersSvc {

namespace {

constexpr std::string_view kServers = "spec.keyServer.kmipServer.servers";
constexpr std::string_view kServerName = "spec.keyServer.kmipServer.servers.server.Name";
constexpr std::string_view kServerHost = "spec.keyServer.kmipServer.servers.server.adress.hostname";
constexpr std::string_view kServerPort = "spec.keyServer.kmipServer.servers.server.adress.port";
constexpr std::string_view kProxyHost = "spec.keyServer.proxyServer.hostname";
constexpr std::string_view kProxyPort = "spec.keyServer.proxyServer.port";
constexpr std::string_view kMasterKeyId = "spec.masterKeyId";
constexpr std::string_view kType = "spec.keyServer.type";
constexpr std::string_view kTimeout = "spec.keyServer.connectionTimeout";
using ::Zyld::ProviderConfig::WellFormedHostname;
static_assert(::Zyld::ProviderConfig::kMaxConnectionTimeout == Qlkmip::kMaxTimeoutSeconds);

bool PortInRange(const std::optional<int64_t>& port) {
  return !port || (*port >= kMinPort && *port <= kMaxPort);
}

bool TimeoutInRange(const std::optional<int64_t>& seconds) {
  return !seconds || (*seconds >= 0 && *seconds <= ::Zyld::ProviderConfig::kMaxConnectionTimeout);
}

bool MasterKeyIdValid(const std::string& id) {
  return !id.empty() && id.size() <= kMaxMasterKeyIdLength;
}

// A given proxy: its host name well-formed (or, where allowed, empty) and its port in range.
Problem ValidateProxy(const NetworkAddress& proxy, bool emptyAllowed) {
  if (!(emptyAllowed && proxy.hostname.empty()) && !WellFormedHostname(proxy.hostname)) {
    return kProxyHost;
  }
  return PortInRange(proxy.port) ? Problem() : Problem(kProxyPort);
}

}  // namespace

Problem ValidateServers(const std::vector<Server>& servers,
                        const std::optional<std::string>& proxyHostname) {
  if (servers.empty()) {
    return kServers;
  }
  for (auto it = servers.begin(); it != servers.end(); ++it) {
    const auto earlier = [&](auto same) { return std::any_of(servers.begin(), it, same); };
    if (it->name.empty() || earlier([&](const Server& other) { return other.name == it->name; })) {
      return kServerName;
    }
    const std::string& host = it->address.hostname;
    if (!WellFormedHostname(host) || (proxyHostname && host == *proxyHostname) ||
        earlier([&](const Server& other) { return other.address.hostname == host; })) {
      return kServerHost;
    }
    if (!PortInRange(it->address.port)) {
      return kServerPort;
    }
  }
  return std::nullopt;
}

Problem ValidateCreate(const CreateSpec& spec) {
  const KeyServerCreateSpec& keyServer = spec.keyServer;
  if (spec.provider.empty()) {
    return "spec.provider";
  }
  if (!MasterKeyIdValid(spec.masterKeyId)) {
    return kMasterKeyId;
  }
  if (keyServer.type != KeyServerType::KMIP) {
    return kType;
  }
  if (keyServer.description && keyServer.description->empty()) {
    return "spec.keyServer.description";
  }
  if (keyServer.kmipServer.username && keyServer.kmipServer.username->empty()) {
    return "spec.keyServer.kmipServer.username";
  }
  std::optional<std::string> proxyHost;
  if (keyServer.proxyServer) {
    if (Problem problem = ValidateProxy(*keyServer.proxyServer, false)) {
      return problem;
    }
    proxyHost = keyServer.proxyServer->hostname;
  }
  if (!TimeoutInRange(keyServer.connectionTimeout)) {
    return kTimeout;
  }
  return ValidateServers(keyServer.kmipServer.servers, proxyHost);
}

Problem ValidateUpdate(const std::string& provider, const UpdateSpec& spec) {
  if (provider.empty()) {
    return "provider";
  }
  if (spec.masterKeyId && !MasterKeyIdValid(*spec.masterKeyId)) {
    return kMasterKeyId;
  }
  if (!spec.keyServer) {
    return std::nullopt;
  }
  const KeyServerUpdateSpec& keyServer = *spec.keyServer;
  if (keyServer.type && *keyServer.type != KeyServerType::KMIP) {
    return kType;
  }
  std::optional<std::string> proxyHost;
  if (keyServer.proxyServer) {
    if (Problem problem = ValidateProxy(*keyServer.proxyServer, true)) {
      return problem;
    }
    proxyHost = keyServer.proxyServer->hostname;
  }
  if (!TimeoutInRange(keyServer.connectionTimeout)) {
    return kTimeout;
  }
  if (keyServer.kmipServer && keyServer.kmipServer->servers) {
    return ValidateServers(*keyServer.kmipServer->servers, proxyHost);
  }
  return std::nullopt;
}

}  // namespace Com::Velora::Ovik::Kms::ProvidersSvc
