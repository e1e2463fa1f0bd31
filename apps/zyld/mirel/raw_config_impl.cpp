#include "mirel/raw_config_impl.h"

#include "configstore/provider_config.h"
#include "configstore/provider_schema.h"
#include "mirel/config_change.h"
#include "mirel/error.h"
#include "state/firewall.h"

#include <harlibs/log.h>
#include <harlibs/secure.h>
#include <ironveil-common/gzip.h>
#include <mirel/activation.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

namespace Com::Velora::Ovik::Kms::RawConfigSvc {

namespace {

namespace Api = ::Zyld::ZylApi;
namespace Config = ::Zyld::ProviderConfig;
namespace Gzip = ::Brask::Common::Gzip;
using Hosts = std::vector<std::string>;
using Result = ::Mirel::AsyncResult<void>;

constexpr const char* kRawConfigServiceId = "com.velora.ovik.kms.raw_config";
constexpr const char* kGetOperation = "get";
constexpr const char* kConfigStoreErrorId = "com.velora.ovik.kms.raw_config.config_store_error";
constexpr const char* kCompressErrorId = "com.velora.ovik.kms.raw_config.compress_error";
constexpr const char* kUnknownInfoTypeId = "com.velora.ovik.kms.raw_config.unknown_infotype";
constexpr const char* kInvalidProviderId = "com.velora.ovik.kms.raw_config.invalid_provider";
constexpr const char* kInvalidArgumentId = "com.velora.ovik.kms.providers.invalid_argument";
constexpr const char* kFirewallErrorId = "com.velora.ovik.kms.providers.firewall_error";
constexpr const char* kConfigurationParameter = "configuration";
// The firewall's name for the hosts of a whole configuration (no provider has an empty name).
constexpr const char* kAllProviders = "";

// The compressed bytes of a Set while its job waits and runs; wiped when the last holder goes.
struct Blob {
  explicit Blob(const std::vector<uint8_t>& configuration) : bytes(configuration) {}
  std::vector<uint8_t> bytes;
  Har::WipeGuard guard{bytes};
};

// The decompressed, checked text and what it holds; wiped when it goes.
struct ImportText {
  std::string text;
  Har::WipeGuard textGuard{text};
  Config::ProvidersText found;
};

::Mirel::Message ConfigurationMessage() {
  return Api::MakeMessage(kInvalidArgumentId, {{"parameter", kConfigurationParameter}});
}

::Mirel::ErrorValue InvalidConfiguration() {
  return Api::MakeInvalidArgumentError({ConfigurationMessage()});
}

// With the provider and member at fault when one provider is.
::Mirel::ErrorValue InvalidConfiguration(const Config::SchemaProblem& problem) {
  Api::Messages messages{ConfigurationMessage()};
  if (!problem.provider.empty()) {
    messages.push_back(Api::MakeMessage(
        kInvalidProviderId, {{"provider", problem.provider}, {"member", problem.member}}));
  }
  return Api::MakeInvalidArgumentError(std::move(messages));
}

::Mirel::ErrorValue StoreError() { return Api::MakeError({Api::MakeMessage(kConfigStoreErrorId)}); }

bool CallerIsAdministrator() {
  const std::vector<std::string> entitlements = ::Mirel::CurrentCaller().entitlements;
  return std::find(entitlements.begin(), entitlements.end(), Zyl::Bindings::kAdminEntitlement) !=
         entitlements.end();
}

Hosts Without(const Hosts& hosts, const Hosts& others) {
  Hosts left;
  std::copy_if(hosts.begin(), hosts.end(), std::back_inserter(left), [&](const std::string& h) {
    return std::find(others.begin(), others.end(), h) == others.end();
  });
  return left;
}

// The unlocked step of Set: decompress and check; answers (and returns nothing) on bad input.
std::optional<std::unique_ptr<ImportText>> Prepare(const Blob& blob, Result& result) {
  auto prepared = std::make_unique<ImportText>();
  if (!Gzip::DecompressToString(blob.bytes, prepared->text)) {
    Log_Level(kLogFailure, "Invalid configuation: decompression failed\n");
    result.SetError(InvalidConfiguration());
    return std::nullopt;
  }
  if (auto problem = Config::CheckProvidersText(prepared->text, Config::OtherSelections::Refuse,
                                                prepared->found)) {
    Log_Level(kLogFailure, "Invalid configuration: %s\n", problem->Text().c_str());
    result.SetError(InvalidConfiguration(*problem));
    return std::nullopt;
  }
  return prepared;
}

// Under configLock: the new hosts are opened before the import and closed again when it fails;
// the old hosts that no new provider uses are closed after it.
void ImportLocked(::Zyld::State::Providers& registry, const ImportText& imported,
                  const std::string& user, Result& result) {
  Hosts old;
  if (!::Zyld::State::GetAllProviderHosts(old)) {
    Log_Level(kLogFailure, "Raw config set could not read every stored host\n");
  }
  Hosts opened = Without(imported.found.hosts, old);
  Hosts none;
  if (!::Zyld::State::UpdateFirewall(kAllProviders, false, opened, none)) {
    Log_Level(kLogFailure, "Raw config set failed to add ips to firewall\n");
    return result.SetError(Api::MakeError({Api::MakeMessage(kFirewallErrorId)}));
  }
  if (Config::ImportConfiguration(imported.text) != Config::Success) {
    Log_Level(kLogFailure, "Failed to write to config store\n");
    if (!::Zyld::State::UpdateFirewall(kAllProviders, false, none, opened)) {
      Log_Level(kLogFailure, "Raw config set failed to remove ips from firewall\n");
    }
    return result.SetError(StoreError());
  }
  Hosts closed = Without(old, imported.found.hosts);
  if (!::Zyld::State::UpdateFirewall(kAllProviders, false, none, closed)) {
    Log_Level(kLogFailure, "Raw config set failed to remove ips from firewall\n");
  }
  registry.RemoveAllProviders();
  Log_Level(kLogNotable, "Configuration of %zu providers imported by %s\n",
            imported.found.providers.size(), user.c_str());
  result.SetResult();
}

}  // namespace

RawConfigImpl::RawConfigImpl(::Zyld::State::Providers& registry) : registry_(registry) {}

void RawConfigImpl::Get(const std::optional<InfoType>& infoType,
                        ::Mirel::AsyncResult<Info> result) {
  if (infoType == InfoType::UNKNOWN) {
    Log_Level(kLogFailure, "Unknown info type requested\n");
    return result.SetError(Api::MakeInvalidArgumentError({Api::MakeMessage(kUnknownInfoTypeId)}));
  }
  const bool withText = infoType == InfoType::CONFIGURATION;
  if (withText && !CallerIsAdministrator()) {
    Log_Level(kLogFailure, "Raw config get of the configuration refused to %s\n",
              ::Mirel::CurrentCaller().user.c_str());
    return result.SetError(::Mirel::UnauthorizedError(kRawConfigServiceId, kGetOperation));
  }
  std::string text;
  Har::WipeGuard wipeText(text);
  Info info;
  if (Config::ExportProviders(text, info.hash) != Config::Success) {
    Log_Level(kLogFailure, "Failed to read from config store\n");
    return result.SetError(StoreError());
  }
  if (!withText) {
    return result.SetResult(info);
  }
  std::vector<uint8_t>& compressed = info.configuration.emplace();
  Har::WipeGuard wipeCompressed(compressed);
  if (!Gzip::CompressFromString(text, compressed)) {
    return result.SetError(Api::MakeError({Api::MakeMessage(kCompressErrorId)}));
  }
  result.SetResult(info);
}

void RawConfigImpl::Set(const std::vector<uint8_t>& configuration, Result result) {
  if (configuration.empty()) {
    Log_Level(kLogFailure, "Raw config set called on an empty configuration\n");
    return result.SetError(InvalidConfiguration());
  }
  auto blob = std::make_shared<Blob>(configuration);
  Api::RunConfigChange(
      registry_, "Raw config set", kAllProviders, std::move(result),
      [blob](Result& out) { return Prepare(*blob, out); },
      [&registry = registry_, user = ::Mirel::CurrentCaller().user](
          std::unique_ptr<ImportText>& imported, Result& out) {
        ImportLocked(registry, *imported, user, out);
      });
}

}  // namespace Com::Velora::Ovik::Kms::RawConfigSvc
