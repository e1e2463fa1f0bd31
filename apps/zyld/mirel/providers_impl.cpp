#include "mirel/providers_impl.h"

#include "configstore/provider_config.h"
#include "mirel/config_change.h"
#include "mirel/error.h"
#include "mirel/provider_validation.h"
#include "state/firewall.h"

#include <harlibs/log.h>
#include <mirel/activation.h>

#include <string_view>
#include <utility>

namespace Com::Velora::Ovik::Kms::ProvidersSvc {

namespace {

namespace Api = ::Zyld::ZylApi;
namespace Config = ::Zyld::ProviderConfig;
using Config::ConfigResult;
using Hosts = std::vector<std::string>;
using Result = ::Mirel::AsyncResult<void>;

constexpr const char* kFirewallErrorId = "com.velora.ovik.kms.providers.firewall_error";

// The error of a store status: with the provider's not-found or already-exists message when
// `named`, else bare.
::Mirel::ErrorValue StoreError(ConfigResult status, const std::string& provider = {},
                               bool named = false) {
  return named ? Api::MakeProviderStoreError(status, provider) : Api::MakeProviderError(status, {});
}

::Mirel::ErrorValue FirewallError() { return Api::MakeError({Api::MakeMessage(kFirewallErrorId)}); }

// Applies steps in order until one fails; the first failure's status stays.
class Steps {
 public:
  template <class Step>
  Steps& Then(Step&& step) {
    if (status_ == Config::Success) {
      status_ = step();
    }
    return *this;
  }
  ConfigResult Status() const { return status_; }

 private:
  ConfigResult status_ = Config::Success;
};

void AddServers(Steps& steps, Config::ProviderObjects& objects, const std::vector<Server>& servers,
                Hosts& hosts) {
  for (const Server& server : servers) {
    steps.Then([&] {
      hosts.push_back(server.address.hostname);
      return Config::AddServer(objects, server.name, server.address.hostname,
                               server.address.port.value_or(kDefaultServerPort));
    });
  }
}

void SetProxy(Steps& steps, Config::ProviderObjects& objects, const NetworkAddress& proxy,
              Hosts& hosts) {
  steps.Then([&] {
    if (!proxy.hostname.empty()) {
      hosts.push_back(proxy.hostname);
    }
    return Config::SetProxyServer(objects, proxy.hostname, proxy.port.value_or(kDefaultProxyPort));
  });
}

// The object set of a new provider; `open` receives the hosts the firewall must admit.
ConfigResult ApplyCreate(const CreateSpec& spec, Config::ProviderObjects& objects, Hosts& open) {
  const KeyServerCreateSpec& keyServer = spec.keyServer;
  Steps steps;
  steps.Then([&] { return Config::SetMasterKeyId(objects, spec.masterKeyId); });
  if (keyServer.description) {
    steps.Then([&] { return Config::SetDescription(objects, *keyServer.description); });
  }
  if (keyServer.connectionTimeout) {
    steps.Then([&] { return Config::SetConnectionTimeout(objects, *keyServer.connectionTimeout); });
  }
  if (keyServer.proxyServer) {
    SetProxy(steps, objects, *keyServer.proxyServer, open);
  }
  steps.Then([&] { return Config::SetKeyServerType(objects, KeyServerType::KMIP); });
  if (keyServer.kmipServer.username) {
    steps.Then([&] { return Config::SetUsername(objects, *keyServer.kmipServer.username); });
  }
  AddServers(steps, objects, keyServer.kmipServer.servers, open);
  return steps.Status();
}

// The key-server part of an update; `added` receives the hosts it introduces.
ConfigResult ApplyKeyServerUpdate(const KeyServerUpdateSpec& keyServer,
                                  Config::ProviderObjects& objects, Hosts& added) {
  Steps steps;
  if (keyServer.description) {
    steps.Then([&] { return Config::SetDescription(objects, *keyServer.description); });
  }
  if (keyServer.connectionTimeout) {
    steps.Then([&] { return Config::SetConnectionTimeout(objects, *keyServer.connectionTimeout); });
  }
  if (keyServer.proxyServer) {
    SetProxy(steps, objects, *keyServer.proxyServer, added);
  }
  if (keyServer.kmipServer) {
    if (keyServer.kmipServer->username) {
      steps.Then([&] { return Config::SetUsername(objects, *keyServer.kmipServer->username); });
    }
    if (keyServer.kmipServer->servers) {
      steps.Then([&] { return Config::DeleteServers(objects); });
      AddServers(steps, objects, *keyServer.kmipServer->servers, added);
    }
  }
  return steps.Status();
}

// The hosts an update replaces (`replaced`) and those of the provider it leaves (`kept`).
ConfigResult ReadReplacedHosts(const std::string& provider, const KeyServerUpdateSpec& keyServer,
                               Hosts& replaced, Hosts& kept) {
  const bool serversReplaced = keyServer.kmipServer && keyServer.kmipServer->servers;
  const bool proxyReplaced = keyServer.proxyServer.has_value();
  if (!serversReplaced && !proxyReplaced) {
    return Config::Success;
  }
  Hosts servers;
  std::string proxy;
  const ConfigResult status = Config::GetProviderHosts(provider, true, true, servers, proxy);
  if (status != Config::Success) {
    Log_Level(kLogFailure, "Update provider %s failed to get ips to update firewall\n",
              provider.c_str());
    return status;
  }
  Hosts& serverList = serversReplaced ? replaced : kept;
  serverList.insert(serverList.end(), servers.begin(), servers.end());
  if (!proxy.empty()) {
    (proxyReplaced ? replaced : kept).push_back(proxy);
  }
  return Config::Success;
}

void CreateLocked(const CreateSpec& spec, const std::string& user, Result& result) {
  const std::string& id = spec.provider;
  auto fail = [&](ConfigResult status, bool named = false) {
    Log_Level(kLogFailure, "Create provider %s failed, %d\n", id.c_str(), status);
    result.SetError(StoreError(status, id, named));
  };
  Config::ProviderObjects objects;
  objects.providerId = id;
  if (ConfigResult status = Config::CreateProviderObjects(objects); status != Config::Success) {
    return fail(status, true);
  }
  Hosts open;
  if (ConfigResult status = ApplyCreate(spec, objects, open); status != Config::Success) {
    return fail(status);
  }
  Hosts none;
  if (!::Zyld::State::UpdateFirewall(id, true, open, none)) {
    Log_Level(kLogFailure, "Create provider %s failed to add ips to firewall\n", id.c_str());
    return result.SetError(FirewallError());
  }
  if (ConfigResult status = Config::CommitProviderObjects(objects); status != Config::Success) {
    Log_Level(kLogFailure, "Create provider %s failed, %d\n", id.c_str(), status);
    if (!::Zyld::State::UpdateFirewall(id, false, none, open)) {
      Log_Level(kLogFailure, "Create provider %s failed to remove ip from firewall\n", id.c_str());
    }
    return result.SetError(StoreError(status));
  }
  Log_Level(kLogNotable, "Provider %s created by %s\n", id.c_str(), user.c_str());
  result.SetResult();
}

void UpdateLocked(::Zyld::State::Providers& registry, const std::string& id, const UpdateSpec& spec,
                  const std::string& user, Result& result) {
  auto fail = [&](ConfigResult status, bool named = false) {
    Log_Level(kLogFailure, "Update provider %s failed, %d\n", id.c_str(), status);
    result.SetError(StoreError(status, id, named));
  };
  Config::ProviderObjects objects;
  objects.providerId = id;
  if (ConfigResult status = Config::LoadProviderObjects(objects); status != Config::Success) {
    return fail(status, true);
  }
  Hosts removed;
  Hosts added;
  Hosts kept;
  Steps steps;
  if (spec.masterKeyId) {
    steps.Then([&] { return Config::SetMasterKeyId(objects, *spec.masterKeyId); });
  }
  if (spec.keyServer) {
    steps.Then([&] { return ReadReplacedHosts(id, *spec.keyServer, removed, kept); });
    steps.Then([&] { return ApplyKeyServerUpdate(*spec.keyServer, objects, added); });
  }
  if (steps.Status() != Config::Success) {
    return fail(steps.Status());
  }
  const bool firewallChanged = !removed.empty() || !added.empty();
  if (firewallChanged && !::Zyld::State::UpdateFirewall(id, true, added, removed, kept)) {
    Log_Level(kLogFailure, "Update provider %s failed to update ips in firewall\n", id.c_str());
    return result.SetError(FirewallError());
  }
  if (ConfigResult status = Config::CommitProviderObjects(objects); status != Config::Success) {
    Log_Level(kLogFailure, "Update provider %s failed, %d\n", id.c_str(), status);
    if (firewallChanged && !::Zyld::State::UpdateFirewall(id, true, removed, added, kept)) {
      Log_Level(kLogFailure, "Update provider %s failed to reset ips in firewall\n", id.c_str());
    }
    return result.SetError(StoreError(status));
  }
  registry.RemoveProvider(id);
  Log_Level(kLogNotable, "Provider %s updated by %s\n", id.c_str(), user.c_str());
  result.SetResult();
}

void DeleteLocked(::Zyld::State::Providers& registry, const std::string& id,
                  const std::string& user, Result& result) {
  Hosts hosts;
  std::string proxy;
  if (ConfigResult status = Config::GetProviderHosts(id, true, true, hosts, proxy);
      status != Config::Success) {
    Log_Level(kLogFailure, "Delete provider %s failed to get ips to update firewall\n", id.c_str());
    return result.SetError(StoreError(status));
  }
  if (!proxy.empty()) {
    hosts.push_back(proxy);
  }
  if (ConfigResult status = Config::DeleteProvider(id); status != Config::Success) {
    Log_Level(kLogFailure, "Delete provider %s failed: %d\n", id.c_str(), status);
    return result.SetError(StoreError(status, id, true));
  }
  registry.RemoveProvider(id);
  Hosts none;
  if (!::Zyld::State::UpdateFirewall(id, true, none, hosts)) {
    Log_Level(kLogFailure, "Delete provider %s failed to remove ips from firewall\n", id.c_str());
  }
  Log_Level(kLogNotable, "Provider %s deleted by %s\n", id.c_str(), user.c_str());
  result.SetResult();
}

}  // namespace

ProvidersImpl::ProvidersImpl(::Zyld::State::Providers& registry) : registry_(registry) {}

void ProvidersImpl::List(::Mirel::AsyncResult<std::vector<Summary>> result) {
  std::vector<Summary> summaries;
  if (ConfigResult status = Config::ListProviderSummaries(summaries); status != Config::Success) {
    Log_Level(kLogFailure, "List providers failed, %d\n", status);
    return result.SetError(StoreError(status));
  }
  result.SetResult(summaries);
}

void ProvidersImpl::Get(const std::string& provider, ::Mirel::AsyncResult<Info> result) {
  if (provider.empty()) {
    Log_Level(kLogFailure, "Get provider called on an empty provider\n");
    return result.SetError(Api::MakeProviderArgumentError("provider"));
  }
  Info info;
  if (ConfigResult status = Config::GetProviderInfo(provider, info); status != Config::Success) {
    Log_Level(kLogFailure, "Get provider %s failed, %d\n", provider.c_str(), status);
    return result.SetError(StoreError(status, provider, true));
  }
  result.SetResult(info);
}

void ProvidersImpl::Create(const CreateSpec& spec, Result result) {
  if (Problem problem = ValidateCreate(spec)) {
    Log_Level(kLogFailure, "Create provider %s failed, invalid argument %s\n",
              spec.provider.c_str(), std::string(*problem).c_str());
    return result.SetError(Api::MakeProviderArgumentError(*problem));
  }
  Api::RunConfigChange(
      registry_, "Create provider", spec.provider, std::move(result),
      [spec, user = ::Mirel::CurrentCaller().user](Result& out) { CreateLocked(spec, user, out); });
}

void ProvidersImpl::Update(const std::string& provider, const UpdateSpec& spec, Result result) {
  if (Problem problem = ValidateUpdate(provider, spec)) {
    Log_Level(kLogFailure, "Update provider %s failed, invalid argument %s\n", provider.c_str(),
              std::string(*problem).c_str());
    return result.SetError(Api::MakeProviderArgumentError(*problem));
  }
  Api::RunConfigChange(
      registry_, "Update provider", provider, std::move(result),
      [&registry = registry_, provider, spec, user = ::Mirel::CurrentCaller().user](Result& out) {
        UpdateLocked(registry, provider, spec, user, out);
      });
}

void ProvidersImpl::Delete(const std::string& provider, Result result) {
  if (provider.empty()) {
    Log_Level(kLogFailure, "Delete provider called on an empty provider\n");
    return result.SetError(Api::MakeProviderArgumentError("provider"));
  }
  Api::RunConfigChange(registry_, "Delete provider", provider, std::move(result),
                       [&registry = registry_, provider, user = ::Mirel::CurrentCaller().user](
                           Result& out) { DeleteLocked(registry, provider, user, out); });
}

}  // namespace Com::Velora::Ovik::Kms::ProvidersSvc
