#include "mirel/client_certificate_impl.h"

#include "configstore/provider_config.h"
#include "mirel/config_change.h"
#include "mirel/error.h"

#include <harlibs/log.h>
#include <harlibs/secure.h>
#include <ironveil-common/ssl_utils.h>

#include <utility>

namespace Com::Velora::Ovik::Kms::Providers::ClientCertificateSvc {

namespace {

namespace Api = ::Zyld::ZylApi;
namespace Config = ::Zyld::ProviderConfig;
namespace Ssl = ::Brask::Common::SslUtils;
using Config::ConfigResult;
using Result = ::Mirel::AsyncResult<void>;

constexpr const char* kCryptoErrorId = "com.velora.ovik.kms.providers.crypto_error.create";
constexpr const char* kKeyMismatchId = "com.velora.ovik.kms.providers.private_key_mismatch";
constexpr const char* kKeyUnknownId = "com.velora.ovik.kms.providers.private_key_unknown";

// A key and certificate made by Create, until they are stored.
struct Generated {
  std::string certificate;
  Har::Secret privateKey;
};

bool MatchesKey(const std::string& certificate, const Har::Secret& privateKey) {
  std::string standard = certificate;
  if (!Ssl::StandardizePemString(Ssl::kPemCertificateBegin, Ssl::kPemCertificateEnd, standard)) {
    return false;
  }
  std::string key(privateKey.view());
  Har::WipeGuard keyGuard(key);
  return Ssl::ValidatePemCertWithKey(standard, key);
}

ConfigResult Store(const std::string& provider, const std::string& certificate,
                   const Har::Secret& privateKey) {
  std::string key(privateKey.view());
  Har::WipeGuard keyGuard(key);
  return Config::SetClientCertificate(provider, certificate, key);
}

void SetFailed(const std::string& provider, ConfigResult status, Result& result) {
  Log_Level(kLogFailure, "Client certificate set failed for provider (%s): %d\n", provider.c_str(),
            status);
  result.SetError(Api::MakeProviderStoreError(status, provider));
}

void SetLocked(::Zyld::State::Providers& registry, const std::string& provider,
               const std::string& certificate, const std::optional<Har::Secret>& givenKey,
               Result& result) {
  Har::Secret key;
  ConfigResult csrStatus = Config::Success;
  if (givenKey) {
    key = *givenKey;
  } else {
    std::string csr;
    csrStatus = Config::GetClientCsr(provider, csr, key);
  }
  if (key.empty() && !givenKey) {
    Log_Level(kLogFailure, "Unable to find private key for provider %s\n", provider.c_str());
    return result.SetError(Api::MakeInvalidArgumentError({Api::MakeMessage(kKeyUnknownId)}));
  }
  if (csrStatus != Config::Success) {
    return SetFailed(provider, csrStatus, result);
  }
  if (!MatchesKey(certificate, key)) {
    Log_Level(kLogFailure,
              "Client certificate set called on an invalid certificate/key pair for provider "
              "(%s)\n",
              provider.c_str());
    return result.SetError(Api::MakeInvalidArgumentError({Api::MakeMessage(kKeyMismatchId)}));
  }
  if (ConfigResult status = Store(provider, certificate, key); status != Config::Success) {
    return SetFailed(provider, status, result);
  }
  registry.RemoveProvider(provider);
  result.SetResult();
}

std::optional<Generated> Generate(const std::string& provider, Result& result) {
  std::string key;
  Har::WipeGuard keyGuard(key);
  Generated generated;
  if (!Ssl::GenerateKeyAndCert(key, generated.certificate)) {
    Log_Level(kLogFailure, "Failed to generate a new certificate/key for provider %s\n",
              provider.c_str());
    result.SetError(Api::MakeError({Api::MakeMessage(kCryptoErrorId)}));
    return std::nullopt;
  }
  generated.privateKey.assign(key);
  return generated;
}

void CreateLocked(::Zyld::State::Providers& registry, const std::string& provider,
                  const Generated& generated, Result& result) {
  if (ConfigResult status = Store(provider, generated.certificate, generated.privateKey);
      status != Config::Success) {
    Log_Level(kLogFailure, "Failed to save the client certificate/key for provider %s: %d\n",
              provider.c_str(), status);
    return result.SetError(Api::MakeProviderStoreError(status, provider));
  }
  registry.RemoveProvider(provider);
  result.SetResult();
}

}  // namespace

ClientCertificateImpl::ClientCertificateImpl(::Zyld::State::Providers& registry)
    : registry_(registry) {}

void ClientCertificateImpl::Set(const std::string& provider, const SetSpec& spec, Result result) {
  if (provider.empty()) {
    Log_Level(kLogFailure, "Client certificate set called on an empty provider\n");
    return result.SetError(Api::MakeProviderArgumentError("provider"));
  }
  Log_Level(kLogTrace, "Client certificate set called on provider = %s %s private key\n",
            provider.c_str(), spec.privateKey ? "with" : "without");
  std::optional<Har::Secret> key;
  if (spec.privateKey) {
    key.emplace(*spec.privateKey);
  }
  Api::RunConfigChange(
      registry_, "Set client certificate", provider, std::move(result),
      [&registry = registry_, provider, certificate = spec.certificate, key = std::move(key)](
          Result& out) { SetLocked(registry, provider, certificate, key, out); });
}

void ClientCertificateImpl::Create(const std::string& provider, Result result) {
  if (provider.empty()) {
    Log_Level(kLogFailure, "Client certificate create called on an empty provider\n");
    return result.SetError(Api::MakeProviderArgumentError("provider"));
  }
  Log_Level(kLogTrace, "Client certificate create called on provider = %s\n", provider.c_str());
  Api::RunConfigChange(
      registry_, "Create client certificate", provider, std::move(result),
      [provider](Result& out) { return Generate(provider, out); },
      [&registry = registry_, provider](const Generated& generated, Result& out) {
        CreateLocked(registry, provider, generated, out);
      });
}

void ClientCertificateImpl::Get(const std::string& provider, const std::optional<GetSpec>& spec,
                                ::Mirel::AsyncResult<Info> result) {
  if (provider.empty()) {
    return result.SetError(Api::MakeProviderArgumentError("provider"));
  }
  Log_Level(kLogTrace, "Client certificate get called on provider = %s\n", provider.c_str());
  Info info;
  Har::Secret key;
  if (ConfigResult status = Config::GetClientCertificate(provider, info.certificate, key);
      status != Config::Success) {
    Log_Level(kLogFailure, "Client certificate get failed for provider (%s): %d\n",
              provider.c_str(), status);
    return result.SetError(Api::MakeProviderStoreError(status, provider));
  }
  if (!info.certificate.empty() &&
      !Ssl::StandardizePemString(Ssl::kPemCertificateBegin, Ssl::kPemCertificateEnd,
                                 info.certificate)) {
    Log_Level(kLogFailure, "Failed to standardize the certificate from config store: %s\n",
              info.certificate.c_str());
    return result.SetError(Api::MakeInvalidConfigValueError("certificate"));
  }
  if (!spec || !spec->includePrivateKey.value_or(false)) {
    return result.SetResult(info);
  }
  info.privateKey.emplace(key.view());
  Har::WipeGuard keyGuard(*info.privateKey);
  result.SetResult(info);
}

}  // namespace Com::Velora::Ovik::Kms::Providers::ClientCertificateSvc
