#include "mirel/credential_impl.h"

#include "configstore/provider_config.h"
#include "mirel/config_change.h"
#include "mirel/error.h"

#include <harlibs/feature.h>
#include <harlibs/log.h>
#include <harlibs/secure.h>

#include <utility>

namespace Com::Velora::Ovik::Kms::Providers::CredentialSvc {

namespace {

namespace Api = ::Zyld::ZylApi;
namespace Config = ::Zyld::ProviderConfig;
using Config::ConfigResult;

constexpr const char* kCredentialReadFeature = "credentialRead";

void SetLocked(::Zyld::State::Providers& registry, const std::string& provider,
               const Har::Secret& credential, ::Mirel::AsyncResult<void>& result) {
  std::string text(credential.view());
  Har::WipeGuard textGuard(text);
  if (ConfigResult status = Config::SetCredential(provider, text); status != Config::Success) {
    Log_Level(kLogFailure, "Credential set failed for provider %s: %d\n", provider.c_str(), status);
    return result.SetError(Api::MakeProviderStoreError(status, provider));
  }
  registry.RemoveProvider(provider);
  result.SetResult();
}

}  // namespace

CredentialImpl::CredentialImpl(::Zyld::State::Providers& registry) : registry_(registry) {}

void CredentialImpl::Set(const std::string& provider, const std::string& credential,
                         ::Mirel::AsyncResult<void> result) {
  if (provider.empty()) {
    Log_Level(kLogFailure, "Credential set called on an empty provider\n");
    return result.SetError(Api::MakeProviderArgumentError("provider"));
  }
  Api::RunConfigChange(
      registry_, "Set credential", provider, std::move(result),
      [&registry = registry_, provider, secret = Har::Secret(credential)](
          ::Mirel::AsyncResult<void>& out) { SetLocked(registry, provider, secret, out); });
}

void CredentialImpl::Get(const std::string& provider, ::Mirel::AsyncResult<Info> result) {
  if (!FeatureList_IsEnabled(kCredentialReadFeature)) {
    Log_Level(kLogFailure, "Credential get is not supported\n");
    return result.SetError(Api::MakeError({}));
  }
  if (provider.empty()) {
    Log_Level(kLogFailure, "Credential get called on an empty provider\n");
    return result.SetError(Api::MakeProviderArgumentError("provider"));
  }
  Har::Secret credential;
  if (ConfigResult status = Config::GetCredential(provider, credential);
      status != Config::Success) {
    Log_Level(kLogFailure, "Credential get failed for provider %s: %d\n", provider.c_str(), status);
    return result.SetError(Api::MakeProviderStoreError(status, provider));
  }
  Info info{std::string(credential.view())};
  Har::WipeGuard infoGuard(info.credential);
  result.SetResult(info);
}

}  // namespace Com::Velora::Ovik::Kms::Providers::CredentialSvc
