#include "mirel/server_certificates_impl.h"

#include "configstore/provider_config.h"
#include "mirel/config_change.h"
#include "mirel/error.h"

#include <harlibs/log.h>
#include <ironveil-common/ssl_utils.h>
#include <mirel/messages.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <utility>

namespace Com::Velora::Ovik::Kms::Providers {

namespace {

namespace Api = ::Zyld::ZylApi;
namespace Config = ::Zyld::ProviderConfig;
namespace Ssl = ::Brask::Common::SslUtils;
using Config::ConfigResult;

constexpr const char* kInvalidArgumentId = "com.velora.ovik.kms.providers.invalid_argument";
constexpr const char* kNotFoundId = "com.velora.ovik.kms.providers.not_found";
constexpr const char* kLimitErrorId = "com.velora.ovik.kms.providers.server_certs.limit_error";
constexpr const char* kInvalidConfigValueId = "com.velora.ovik.kms.invalid_config_value";

::Mirel::ErrorValue InvalidArgument(const char* parameter) {
  return Api::MakeInvalidArgumentError(
      {Api::MakeMessage(kInvalidArgumentId, {{"parameter", parameter}})});
}

::Mirel::ErrorValue LimitError() {
  return Api::MakeUnsupportedError({::Mirel::NamedMessageBuilder(kLimitErrorId, std::string())
                                        .put("num", static_cast<int64_t>(kMaxServerCertificates))
                                        .build()});
}

// The error of a store status; NotFound names the provider.
::Mirel::ErrorValue StoreError(ConfigResult status, const std::string& provider) {
  Api::Messages messages;
  if (status == Config::NotFound) {
    messages.push_back(Api::MakeMessage(kNotFoundId, {{"provider", provider}}));
  }
  return Api::MakeProviderError(status, std::move(messages));
}

// The standardised text of a certificate; nothing when it cannot be standardised.
std::optional<std::string> Standardized(const std::string& certificate) {
  std::string copy = certificate;
  if (!Ssl::StandardizePemString(Ssl::kPemCertificateBegin, Ssl::kPemCertificateEnd, copy)) {
    return std::nullopt;
  }
  return copy;
}

bool AllValid(const std::vector<std::string>& certificates) {
  for (const std::string& certificate : certificates) {
    const std::optional<std::string> standard = Standardized(certificate);
    if (!standard || !Ssl::ValidatePemCert(*standard)) {
      return false;
    }
  }
  return true;
}

}  // namespace

namespace ServerCertificatesSvc {

namespace {

void SetLocked(::Zyld::State::Providers& registry, const std::string& provider,
               const std::vector<std::string>& certificates, ::Mirel::AsyncResult<void>& result) {
  if (ConfigResult status = Config::SetServerCertificates(provider, certificates);
      status != Config::Success) {
    Log_Level(kLogFailure, "Server certificate set failed for provider %s: %d\n", provider.c_str(),
              status);
    return result.SetError(StoreError(status, provider));
  }
  registry.RemoveProvider(provider);
  result.SetResult();
}

}  // namespace

ServerCertificatesImpl::ServerCertificatesImpl(::Zyld::State::Providers& registry)
    : registry_(registry) {}

void ServerCertificatesImpl::Set(const std::string& provider,
                                 const std::vector<std::string>& certificates,
                                 ::Mirel::AsyncResult<void> result) {
  if (provider.empty()) {
    Log_Level(kLogFailure, "Server certificate set called on an empty provider\n");
    return result.SetError(InvalidArgument("provider"));
  }
  if (certificates.size() > kMaxServerCertificates) {
    Log_Level(kLogFailure, "Only %d certificates supported, %lu provided\n",
              static_cast<int>(kMaxServerCertificates),
              static_cast<unsigned long>(certificates.size()));
    return result.SetError(LimitError());
  }
  if (!AllValid(certificates)) {
    return result.SetError(InvalidArgument("certificates"));
  }
  Log_Level(kLogTrace, "Server certificate set called on provider = %s\n", provider.c_str());
  Api::RunConfigChange(registry_, "Server certificate set", provider, std::move(result),
                       [&registry = registry_, provider, certificates](auto& out) {
                         SetLocked(registry, provider, certificates, out);
                       });
}

void ServerCertificatesImpl::Get(const std::string& provider, ::Mirel::AsyncResult<Info> result) {
  if (provider.empty()) {
    Log_Level(kLogFailure, "Server certificate get called on an empty provider\n");
    return result.SetError(InvalidArgument("provider"));
  }
  Log_Level(kLogTrace, "Server certificate get called on provider = %s\n", provider.c_str());
  std::vector<std::string> stored;
  if (ConfigResult status = Config::GetServerCertificates(provider, stored);
      status != Config::Success) {
    Log_Level(kLogFailure, "Server certificate get failed for provider %s: %d\n", provider.c_str(),
              status);
    return result.SetError(StoreError(status, provider));
  }
  Info info;
  for (const std::string& certificate : stored) {
    std::optional<std::string> standard = Standardized(certificate);
    if (!standard) {
      Log_Level(kLogFailure, "Failed to standardize the certificate from config store: %s\n",
                certificate.c_str());
      return result.SetError(Api::MakeError(
          {Api::MakeMessage(kInvalidConfigValueId, {{"parameter", "certificates"}})}));
    }
    info.certificates.push_back(std::move(*standard));
  }
  result.SetResult(info);
}

}  // namespace ServerCertificatesSvc

namespace ServerCertificates::RemoteSvc {

namespace {

using KmsPtr = std::shared_ptr<::Zyld::Kms::Kms>;
using JobEnd = ::Zyld::State::KeyServerPool::JobEnd;

// The message of a failed fetch from the named server.
::Mirel::Message FetchError(uint32_t fetchResult, const std::string& server) {
  std::string id = Api::ErrorIdForResult(fetchResult, Api::kRemoteCertificateListOperation);
  if (id.empty()) {
    id = Api::ErrorIdForResult(::Zyld::Kms::GeneralError, Api::kRemoteCertificateListOperation);
  }
  return Api::MakeMessage(std::move(id), {{"server", server}});
}

// One List call: a slot per selected server, each filled by the one fetch of that server. Slots
// are all added before any fetch starts. The listing answers once, when its last holder (the
// calling thread or the last job to end) lets go; a slot no fetch filled keeps the generic error.
class Listing {
 public:
  Listing(KmsPtr kms, ::Mirel::AsyncResult<std::vector<Summary>> result,
          std::optional<bool> trustedFilter)
      : kms_(std::move(kms)), result_(std::move(result)), trustedFilter_(trustedFilter) {
    kms_->GetTrustedServerCertificates(trusted_);
  }
  ~Listing() {
    std::vector<Summary> summaries;
    for (Slot& slot : slots_) {
      if (!trustedFilter_ || *trustedFilter_ == slot.summary.trusted) {
        summaries.push_back(std::move(slot.summary));
      }
    }
    result_.SetResult(summaries);
  }
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;

  ::Zyld::Kms::Kms& Kms() const { return *kms_; }
  void Add(uint32_t server, std::string name) {
    Summary summary;
    summary.errors.push_back(FetchError(::Zyld::Kms::GeneralError, name));
    summary.server = std::move(name);
    slots_.push_back({server, std::move(summary)});
  }
  size_t Size() const { return slots_.size(); }
  uint32_t Server(size_t slot) const { return slots_[slot].server; }

  // Fetches the slot's certificate (from the cache or the server) and fills its summary.
  void Fetch(size_t slot) {
    Summary& summary = slots_[slot].summary;
    std::string certificate;
    std::string error;
    const uint32_t fetched =
        kms_->GetRemoteServerCertificate(slots_[slot].server, certificate, error);
    summary.errors.clear();
    if (fetched != ::Zyld::Kms::Success) {
      summary.errors.push_back(FetchError(fetched, summary.server));
      return;
    }
    summary.trusted = IsTrusted(certificate);
    summary.certificate = std::move(certificate);
  }

 private:
  struct Slot {
    uint32_t server = 0;
    Summary summary;
  };

  bool IsTrusted(const std::string& certificate) const {
    for (const std::string& trusted : trusted_) {
      if (Ssl::ComparePemCerts(certificate, trusted)) {
        return true;
      }
    }
    return false;
  }

  KmsPtr kms_;
  ::Mirel::AsyncResult<std::vector<Summary>> result_;
  std::optional<bool> trustedFilter_;
  std::vector<std::string> trusted_;
  std::vector<Slot> slots_;
};

// Adds the servers the filter selects, in server order.
void SelectServers(Listing& listing, const std::optional<FilterSpec>& filter) {
  const std::vector<std::string>* wanted = filter && filter->servers ? &*filter->servers : nullptr;
  const uint32_t count = listing.Kms().GetServerCount();
  for (uint32_t server = 0; server < count; ++server) {
    std::string name;
    listing.Kms().GetServerName(server, name);
    if (wanted == nullptr || std::find(wanted->begin(), wanted->end(), name) != wanted->end()) {
      listing.Add(server, std::move(name));
    }
  }
}

// Fetches every slot: a cached certificate here, any other as a job of the key-server pool.
void FetchAll(::Zyld::State::Providers& registry, const std::string& provider,
              const std::shared_ptr<Listing>& listing) {
  for (size_t slot = 0; slot < listing->Size(); ++slot) {
    const std::optional<::Zyld::Kms::ServerFetch> fetch =
        listing->Kms().CertificateFetchNeededFor(listing->Server(slot));
    if (!fetch) {
      listing->Fetch(slot);
      continue;
    }
    registry.KeyServers().Submit(provider, std::chrono::seconds(fetch->timeoutSeconds),
                                 [listing, slot](JobEnd end) {
                                   if (end == JobEnd::Ran) {
                                     listing->Fetch(slot);
                                   }
                                 });
  }
}

}  // namespace

RemoteImpl::RemoteImpl(::Zyld::State::Providers& registry) : registry_(registry) {}

void RemoteImpl::List(const std::string& provider, const std::optional<FilterSpec>& filter,
                      ::Mirel::AsyncResult<std::vector<Summary>> result) {
  if (provider.empty()) {
    Log_Level(kLogFailure, "List server certificates failed: Empty provider ID\n");
    return result.SetError(Api::MakeInvalidArgumentError({}));
  }
  KmsPtr kms = registry_.GetProvider(provider);
  if (!kms) {
    return result.SetError(Api::MakeNotFoundError({}));
  }
  auto listing = std::make_shared<Listing>(std::move(kms), std::move(result),
                                           filter ? filter->trusted : std::optional<bool>());
  SelectServers(*listing, filter);
  FetchAll(registry_, provider, listing);
}

}  // namespace ServerCertificates::RemoteSvc

}  // namespace Com::Velora::Ovik::Kms::Providers
