#include "mirel/csr_impl.h"

#include "configstore/provider_config.h"
#include "mirel/config_change.h"
#include "mirel/error.h"

#include <harlibs/log.h>
#include <harlibs/secure.h>
#include <ironveil-common/ssl_utils.h>

#include <utility>

namespace Com::Velora::Ovik::Kms::Providers::ClientCertificate::CsrSvc {

namespace {

namespace Api = ::Zyld::ZylApi;
namespace Config = ::Zyld::ProviderConfig;
namespace Ssl = ::Brask::Common::SslUtils;
using Config::ConfigResult;

// How the CSR is named in error parameters.
constexpr const char* kCsrParameter = "clientCSR";
constexpr const char* kCsrErrorId = "com.velora.ovik.kms.providers.csr_error";

// A key and CSR, until they are stored.
struct Request {
  std::string csr;
  Har::Secret privateKey;
};

ConfigResult Store(const std::string& provider, const Request& request) {
  std::string key(request.privateKey.view());
  Har::WipeGuard keyGuard(key);
  return Config::SetClientCsr(provider, request.csr, key);
}

void SetLocked(::Zyld::State::Providers& registry, const std::string& provider,
               const Request& request, ::Mirel::AsyncResult<void>& result) {
  if (ConfigResult status = Store(provider, request); status != Config::Success) {
    Log_Level(kLogFailure, "CSR set failed for provider %s: %d\n", provider.c_str(), status);
    return result.SetError(Api::MakeProviderStoreError(status, provider));
  }
  registry.RemoveProvider(provider);
  result.SetResult();
}

std::optional<Request> Generate(::Mirel::AsyncResult<Info>& result) {
  std::string key;
  Har::WipeGuard keyGuard(key);
  Request request;
  if (!Ssl::GenerateKeyAndCsr(key, request.csr)) {
    Log_Level(kLogFailure, "Failed to generate key and csr\n");
    result.SetError(Api::MakeError({Api::MakeMessage(kCsrErrorId)}));
    return std::nullopt;
  }
  request.privateKey.assign(key);
  return request;
}

void CreateLocked(::Zyld::State::Providers& registry, const std::string& provider,
                  const Request& request, ::Mirel::AsyncResult<Info>& result) {
  if (ConfigResult status = Store(provider, request); status != Config::Success) {
    if (status == Config::NotFound) {
      Log_Level(kLogFailure, "Provider %s does not exist\n", provider.c_str());
    } else {
      Log_Level(kLogFailure, "Failed to write to config store\n");
    }
    return result.SetError(Api::MakeProviderStoreError(status, provider));
  }
  registry.RemoveProvider(provider);
  Info info{request.csr, std::string(request.privateKey.view())};
  Har::WipeGuard keyGuard(*info.privateKey);
  result.SetResult(info);
}

}  // namespace

CsrImpl::CsrImpl(::Zyld::State::Providers& registry) : registry_(registry) {}

void CsrImpl::Set(const std::string& provider, const SetSpec& spec,
                  ::Mirel::AsyncResult<void> result) {
  if (provider.empty()) {
    Log_Level(kLogFailure, "CSR set called on an empty provider\n");
    return result.SetError(Api::MakeProviderArgumentError("provider"));
  }
  std::string standard = spec.csr;
  if (!Ssl::StandardizePemCsr(standard) || !Ssl::ValidatePemCsrWithKey(standard, spec.privateKey)) {
    Log_Level(kLogFailure, "Invalid CSR for the given private key\n");
    return result.SetError(Api::MakeProviderArgumentError(kCsrParameter));
  }
  Api::RunConfigChange(
      registry_, "Set CSR", provider, std::move(result),
      [&registry = registry_, provider, request = Request{spec.csr, Har::Secret(spec.privateKey)}](
          ::Mirel::AsyncResult<void>& out) { SetLocked(registry, provider, request, out); });
}

void CsrImpl::Create(const std::string& provider, ::Mirel::AsyncResult<Info> result) {
  if (provider.empty()) {
    Log_Level(kLogFailure, "CSR create called on an empty provider\n");
    return result.SetError(Api::MakeProviderArgumentError("provider"));
  }
  Api::RunConfigChange(
      registry_, "Create CSR", provider, std::move(result),
      [](::Mirel::AsyncResult<Info>& out) { return Generate(out); },
      [&registry = registry_, provider](const Request& request, ::Mirel::AsyncResult<Info>& out) {
        CreateLocked(registry, provider, request, out);
      });
}

void CsrImpl::Get(const std::string& provider, const std::optional<GetSpec>& spec,
                  ::Mirel::AsyncResult<Info> result) {
  if (provider.empty()) {
    Log_Level(kLogFailure, "CSR get called on an empty provider\n");
    return result.SetError(Api::MakeProviderArgumentError("provider"));
  }
  Info info;
  Har::Secret key;
  if (ConfigResult status = Config::GetClientCsr(provider, info.csr, key);
      status != Config::Success) {
    Log_Level(kLogFailure, "CSR get failed for provider %s: %d\n", provider.c_str(), status);
    return result.SetError(Api::MakeProviderStoreError(status, provider));
  }
  if (!info.csr.empty() && !Ssl::StandardizePemCsr(info.csr)) {
    Log_Level(kLogFailure, "Failed to standardize the CSR from config store: %s\n",
              info.csr.c_str());
    return result.SetError(Api::MakeInvalidConfigValueError(kCsrParameter));
  }
  if (!spec || !spec->includePrivateKey.value_or(false)) {
    return result.SetResult(info);
  }
  info.privateKey.emplace(key.view());
  Har::WipeGuard keyGuard(*info.privateKey);
  result.SetResult(info);
}

}  // namespace Com::Velora::Ovik::Kms::Providers::ClientCertificate::CsrSvc
