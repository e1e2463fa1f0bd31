#include "mirel/api_provider.h"

#include "authn/kms_auth_token_handler.h"
#include "mirel/client_certificate_impl.h"
#include "mirel/credential_impl.h"
#include "mirel/csr_impl.h"
#include "mirel/key_operation_impl.h"
#include "mirel/providers_impl.h"
#include "mirel/raw_config_impl.h"
#include "mirel/server_certificates_impl.h"
#include "mirel/status_impl.h"

#include <api/audit_context.h>
#include <api/call_info.h>
#include <configstore/configstore.h>
#include <harlibs/log.h>
#include <ironveil-common/quorex_mirel_providers.h>
#include <mirel/local_provider.h>
#include <mirel/registrar.h>
#include <tokenauthn/entitlement_checker.h>
#include <tokenauthn/token_handler.h>
#include <zyl-bindings/services.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cctype>
#include <fstream>
#include <mutex>
#include <string_view>
#include <utility>

namespace Zyld::ZylApi {

namespace {

namespace QM = Brask::Common::QuorexMirel;
namespace Kms = Com::Velora::Ovik::Kms;
namespace CredentialSvc = Kms::Providers::CredentialSvc;
namespace ClientCertificateSvc = Kms::Providers::ClientCertificateSvc;
namespace CsrSvc = Kms::Providers::ClientCertificate::CsrSvc;
using Mirel::ApiProviderPtr;
using Mirel::Metadata::MetadataContainer;
using Mirel::Metadata::ProviderHelper;

constexpr uint32_t kStatusSucceeded = 0;
constexpr uint32_t kStatusFailed = 1;

// Attribute names that must never reach the audit log, matched case-insensitively as parts.
constexpr std::array<std::string_view, 5> kSecretNameParts = {"token", "key", "password", "secret",
                                                              "credential"};

bool NamesSecret(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::any_of(kSecretNameParts.begin(), kSecretNameParts.end(),
                     [&](std::string_view part) { return lower.find(part) != std::string::npos; });
}

std::string Bounded(const std::string& name) {
  if (name.size() <= kMaxAuditNameLength) {
    return name;
  }
  return name.substr(0, kMaxAuditNameLength) + "...";
}

// Sees every call start and end and turns each into one audit record through the callback.
class AuditRegistrar final : public Mirel::CallRegistrarBase {
 public:
  AuditRegistrar(ApiProviderPtr inner, AuditCallback audit)
      : CallRegistrarBase(std::move(inner)), audit_(std::move(audit)) {}

 protected:
  void NotifyOnInvoke(Mirel::CallInfo& info) override {
    VERIFY(info.attributes != nullptr);
    AttributeMap& attributes = *info.attributes;
    attributes[Api::kEventIdKey] = kAuditEventId;
    attributes[Api::kSubjectKey] = "";
    attributes[Api::kObjectKey] = Bounded(info.firstNamePart) + ":" + Bounded(info.secondNamePart);
  }

  void NotifyOnComplete(Mirel::CallInfo& info) override {
    Api::CallInfo call(info.attributes, [this](Api::CallInfo& completed) {
      AttributeMap* attributes = completed.Attributes();
      if (attributes != nullptr) {
        (*attributes)[Api::kSubjectKey] = completed.Subject().value_or("");
      }
      audit_(attributes, completed.Status() == kStatusSucceeded);
    });
    call.SetFirstNamePart(std::string(info.firstNamePart));
    call.SetSecondNamePart(std::string(info.secondNamePart));
    call.SetSubject(std::optional<std::string>(info.subject));
    call.Complete(info.success ? kStatusSucceeded : kStatusFailed);
  }

 private:
  AuditCallback audit_;
};

std::shared_ptr<MetadataContainer> LoadSection(
    const char* what, const char* component, const std::string& path,
    Har::Status (*load)(const std::string&, const std::string&, MetadataContainer&)) {
  Log_Level(kLogInfo, "Loading %s metadata file: %s\n", what, path.c_str());
  auto container = std::make_shared<MetadataContainer>();
  const Har::Status loaded = load(component, path, *container);
  if (!loaded) {
    Log_Level(kLogFailure, "Error loading file: %s\n", loaded.message().c_str());
  }
  VERIFY(loaded.ok());
  return container;
}

std::shared_ptr<const Mirel::Authz::AuthzInfo> LoadAuthz(const std::string& path) {
  auto info = std::make_shared<Mirel::Authz::AuthzInfo>(Mirel::Authz::CreateDefaultAuthzInfo());
  Log_Level(kLogInfo, "Loading authz metadata file: %s\n", path.c_str());
  std::ifstream in(path, std::ios::binary);
  std::vector<Mirel::Message> errors;
  const bool loaded = in && Mirel::Authz::LoadAuthzInfoMetadata::Load(in, *info, nullptr, &errors);
  if (!loaded) {
    Log_Level(kLogFailure, "Error loading authz metadata file: %s\n", path.c_str());
  }
  VERIFY(loaded);
  return info;
}

void LogCertificateFailure(const OvikConfigStore::ConfigStoreException& e) {
  Log_Level(kLogFailure, "Exception reading property '%s' from config store: %s\n", "certificate",
            e.what());
}

Ovik::Authn::CertificateText CertificateIn(OvikConfigStore::ConfigStore& store) {
  const auto object =
      store.Get(OvikConfigStore::ConfigStoreObjectId("certificate", "authn", "ovik"));
  std::string certificate;
  if (object && object->GetValue("certificate", certificate) && !certificate.empty()) {
    return std::make_shared<const std::string>(std::move(certificate));
  }
  return nullptr;
}

// The administration certificate, kept between calls. The store is asked whether it has changed
// (any writer, another process included) at most once per kRecheckInterval, so a call costs no
// store transaction; a new certificate is seen within that interval. Another store file in use is
// seen at once.
class KeptCertificateReader {
 public:
  static constexpr std::chrono::seconds kRecheckInterval{1};

  Ovik::Authn::CertificateText Read() {
    try {
      auto store = OvikConfigStore::ConfigStore::GetStore(OvikConfigStore::sGlobalNamespace);
      const auto now = std::chrono::steady_clock::now();
      std::lock_guard<std::mutex> lock(mutex_);
      if (store != store_ || now >= recheckAt_) {
        Refresh(std::move(store), now);
      }
      return certificate_;
    } catch (const OvikConfigStore::ConfigStoreException& e) {
      LogCertificateFailure(e);
    }
    return nullptr;
  }

 private:
  // Called with mutex_ held; a failed read leaves the next call to try again.
  void Refresh(std::shared_ptr<OvikConfigStore::ConfigStore> store,
               std::chrono::steady_clock::time_point now) {
    recheckAt_ = {};
    // Taken before reading: a change in between only costs a later re-read.
    const uint64_t stamp = store->ChangeStamp();
    if (store != store_ || stamp != stamp_) {
      certificate_ = CertificateIn(*store);
      store_ = std::move(store);
      stamp_ = stamp;
    }
    recheckAt_ = now + kRecheckInterval;
  }

  std::mutex mutex_;
  std::shared_ptr<OvikConfigStore::ConfigStore> store_;
  uint64_t stamp_ = 0;
  std::chrono::steady_clock::time_point recheckAt_{};
  Ovik::Authn::CertificateText certificate_;
};

std::vector<std::shared_ptr<Mirel::Authn::Authenticator>> DaemonTokenHandlers(
    const LogBridgePtr& logBridge) {
  auto reader = std::make_shared<KeptCertificateReader>();
  return {std::make_shared<Authn::KmsAuthTokenHandler>(logBridge),
          std::make_shared<Ovik::Authn::HostTokenHandler>([reader] { return reader->Read(); },
                                                          logBridge)};
}

// The bound services in binding order, then the metadata services.
std::vector<Mirel::Binding::BoundInterfacePtr> BindServices(const ApiMetadata& metadata,
                                                            const LocalizerPtr& localizer,
                                                            State::Providers& registry) {
  std::vector<Mirel::Binding::BoundInterfacePtr> interfaces;
  interfaces.push_back(Kms::KeyOperationSvc::AsyncServiceBinder::BindImplementation(
      std::make_shared<Kms::KeyOperationSvc::KeyOperationImpl>(registry), localizer));
  interfaces.push_back(
      Kms::Providers::ServerCertificatesSvc::AsyncServiceBinder::BindImplementation(
          std::make_shared<Kms::Providers::ServerCertificatesSvc::ServerCertificatesImpl>(registry),
          localizer));
  interfaces.push_back(
      Kms::Providers::ServerCertificates::RemoteSvc::AsyncServiceBinder::BindImplementation(
          std::make_shared<Kms::Providers::ServerCertificates::RemoteSvc::RemoteImpl>(registry),
          localizer));
  interfaces.push_back(CsrSvc::AsyncServiceBinder::BindImplementation(
      std::make_shared<CsrSvc::CsrImpl>(registry), localizer));
  interfaces.push_back(Kms::ProvidersSvc::AsyncServiceBinder::BindImplementation(
      std::make_shared<Kms::ProvidersSvc::ProvidersImpl>(registry), localizer));
  interfaces.push_back(CredentialSvc::AsyncServiceBinder::BindImplementation(
      std::make_shared<CredentialSvc::CredentialImpl>(registry), localizer));
  interfaces.push_back(ClientCertificateSvc::AsyncServiceBinder::BindImplementation(
      std::make_shared<ClientCertificateSvc::ClientCertificateImpl>(registry), localizer));
  interfaces.push_back(Kms::RawConfigSvc::AsyncServiceBinder::BindImplementation(
      std::make_shared<Kms::RawConfigSvc::RawConfigImpl>(registry), localizer));
  interfaces.push_back(Kms::Providers::StatusSvc::AsyncServiceBinder::BindImplementation(
      std::make_shared<Kms::Providers::StatusSvc::StatusImpl>(registry), localizer));
  interfaces.push_back(Kms::StatusSvc::AsyncServiceBinder::BindImplementation(
      std::make_shared<Kms::StatusSvc::StatusImpl>(), localizer));
  for (const auto& container : {metadata.cli, metadata.metamodel, metadata.authentication}) {
    for (auto& iface : container->Interfaces()) {
      interfaces.push_back(std::move(iface));
    }
  }
  return interfaces;
}

}  // namespace

void AuditCall(AttributeMap* attributes, bool success) {
  VERIFY(attributes != nullptr);
  (*attributes)[Api::kResultKey] = success ? "true" : "false";
  std::erase_if(*attributes, [](const auto& entry) { return NamesSecret(entry.first); });
  Api::AuditContext(*attributes).Log();
}

ApiMetadata LoadApiMetadata(const std::string& path) {
  ApiMetadata metadata;
  metadata.cli = LoadSection("cli", "zyl_mirel_cli", path, &ProviderHelper::LoadCliMetadataFile);
  metadata.metamodel = LoadSection("metamodel", "zyl_mirel_metamodel", path,
                                   &ProviderHelper::LoadMetamodelMetadataFile);
  metadata.authentication = LoadSection("authn", "zyl_mirel_authentication", path,
                                        &ProviderHelper::LoadAuthenticationMetadataFile);
  metadata.authz = LoadAuthz(path);
  return metadata;
}

std::string MetadataPath(const Quorex::Service::ConfigValues& values) {
  std::string path = kDefaultMetadataPath;
  values.GetString("metadata/path", &path);
  return path;
}

std::optional<std::string> ReadAdministrationCertificate() {
  try {
    if (auto text = CertificateIn(
            *OvikConfigStore::ConfigStore::GetStore(OvikConfigStore::sGlobalNamespace))) {
      return *text;
    }
  } catch (const OvikConfigStore::ConfigStoreException& e) {
    LogCertificateFailure(e);
  }
  return std::nullopt;
}

Mirel::ApiProviderPtr CreateApiProvider(LocalizerPtr localizer, LogBridgePtr logBridge,
                                        TrafficTrackerPtr traffic, ErrorsTrackerPtr errors) {
  return CreateApiProvider(MetadataPath(Quorex::Service::GetApp().GetConfig().Values()),
                           std::move(localizer), std::move(logBridge), std::move(traffic),
                           std::move(errors));
}

Mirel::ApiProviderPtr CreateApiProvider(const std::string& metadataPath, LocalizerPtr localizer,
                                        LogBridgePtr logBridge, TrafficTrackerPtr traffic,
                                        ErrorsTrackerPtr errors, ProviderOptions options) {
  return CreateLocalProvider(LoadApiMetadata(metadataPath), std::move(localizer),
                             std::move(logBridge), std::move(traffic), std::move(errors),
                             std::move(options));
}

Mirel::ApiProviderPtr CreateLocalProvider(const ApiMetadata& metadata, LocalizerPtr localizer,
                                          LogBridgePtr logBridge, TrafficTrackerPtr traffic,
                                          ErrorsTrackerPtr errors, ProviderOptions options) {
  State::Providers& registry = options.registry ? *options.registry : State::Providers::Instance();
  const auto local =
      Mirel::CreateLocalProvider(BindServices(metadata, localizer, registry), metadata.metamodel);
  const auto defaultLogger = Quorex::Service::Logger::Default();
  ApiProviderPtr stage = std::make_shared<QM::LatencyProvider>(local, defaultLogger);
  traffic->StartScheduling();
  stage = std::make_shared<QM::TrafficProvider>(stage, traffic);
  errors->StartErrorScheduling();
  stage = std::make_shared<QM::ErrorsProvider>(stage, errors);
  stage = std::make_shared<Mirel::Authz::AsyncAuthzFilter>(
      stage, metadata.authz,
      std::make_shared<OvikToken::Authz::JwtEntitlementCheckerImpl>(logBridge), logBridge);
  const auto handlers =
      options.tokenHandlers.empty() ? DaemonTokenHandlers(logBridge) : options.tokenHandlers;
  for (const auto& handler : handlers) {
    stage = std::make_shared<Mirel::Authn::AsyncAuthnFilter>(stage, handler, logBridge);
  }
  stage = std::make_shared<Mirel::OpIdProvider>(stage, local);
  stage = std::make_shared<QM::OpIdProvider>(stage, defaultLogger);
  return std::make_shared<AuditRegistrar>(
      stage, options.audit ? std::move(options.audit) : AuditCallback(&AuditCall));
}

}  // namespace Zyld::ZylApi
