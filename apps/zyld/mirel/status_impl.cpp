#include "mirel/status_impl.h"

#include "authn/kms_auth_token_handler.h"

#include "mirel/error.h"

#include <harlibs/log.h>
#include <ironveil-common/ssl_utils.h>
#include <mirel/activation.h>
#include <mirel/messages.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace Com::Velora::Ovik::Kms {

namespace Providers::StatusSvc {

namespace {

namespace Api = ::Zyld::ZylApi;
namespace Ssl = ::Brask::Common::SslUtils;
using ::Zyld::Kms::KmsServerStatus;
using ::Zyld::Kms::KmsStatus;
using ::Zyld::Kms::ServerFetch;
using KmsObject = ::Zyld::Kms::Kms;
using KmsPtr = std::shared_ptr<KmsObject>;
using JobEnd = ::Zyld::State::KeyServerPool::JobEnd;

constexpr std::string_view kStatusOperation = "providers.statussvc.get";
// A certificate with this many days or fewer left (or already expired) warns.
constexpr int kExpiryWarningDays = 30;

constexpr const char* kClientNotTrustingServer =
    "com.velora.ovik.kms.providers.statussvc.client_not_trusting_server";
constexpr const char* kServerNotTrustingClient =
    "com.velora.ovik.kms.providers.statussvc.server_not_trusting_client";
constexpr const char* kTrustedUnknown =
    "com.velora.ovik.kms.providers.statussvc.trusted_server_certificates.unknown";
constexpr const char* kServerCertUnknownExpiry =
    "com.velora.ovik.kms.providers.statussvc.server_certificate_unknown_expiry";
constexpr const char* kServerCertExpiring =
    "com.velora.ovik.kms.providers.statussvc.server_certificate_expiring";
constexpr const char* kClientCertUnknownExpiry =
    "com.velora.ovik.kms.providers.statussvc.client_certificate_unknown_expiry";
constexpr const char* kClientCertExpiring =
    "com.velora.ovik.kms.providers.statussvc.client_certificate_expiring";

// The message of a key-server result about the named server (the operation's generic one for
// results outside the table).
::Mirel::Message ResultMessage(uint32_t result, const std::string& server) {
  std::string id = Api::ErrorIdForResult(result, kStatusOperation);
  if (id.empty()) {
    id = Api::ErrorIdForResult(::Zyld::Kms::GeneralError, kStatusOperation);
  }
  return Api::MakeMessage(std::move(id), {{"server", server}});
}

::Mirel::Message ExpiringMessage(const char* id, int days) {
  return ::Mirel::NamedMessageBuilder(id, std::string())
      .put("days", static_cast<int64_t>(days))
      .build();
}

// The message of one failed trust direction and, when the probe recorded a result for it other
// than `last`, that result's message. Returns the recorded result (0 when none was recorded).
uint32_t AddTrustMessages(const KmsServerStatus& entry, const char* id, uint32_t last,
                          const std::string& server, Api::Messages& messages) {
  messages.push_back(Api::MakeMessage(id, {{"server", server}}));
  const auto found = entry.errors.find(id);
  const uint32_t result = found == entry.errors.end() ? 0 : found->second;
  if (result != ::Zyld::Kms::Success && result != last) {
    messages.push_back(ResultMessage(result, server));
  }
  return result;
}

bool IsPinned(const std::vector<std::string>& trusted, const std::string& certificate) {
  return std::any_of(trusted.begin(), trusted.end(), [&](const std::string& pinned) {
    return Ssl::ComparePemCerts(pinned, certificate);
  });
}

// The health of a server whose trust flags are set: the expiry of the certificate it presents,
// when that certificate is one of the trusted ones (trust through an authority is not checked).
Health CertificateHealth(KmsObject& kms, uint32_t server, const std::vector<std::string>& trusted,
                         uint32_t last, ServerInfo& info) {
  if (trusted.empty()) {
    info.messages.push_back(Api::MakeMessage(kTrustedUnknown));
    return Health::WARNING;
  }
  std::string remote;
  std::string error;
  const uint32_t fetched = kms.GetRemoteServerCertificate(server, remote, error);
  const int days = fetched == ::Zyld::Kms::Success ? Ssl::GetPemCertDaysToExpire(remote) : 0;
  if (fetched != ::Zyld::Kms::Success || days == Ssl::kDaysToExpireUnknown) {
    info.messages.push_back(Api::MakeMessage(kServerCertUnknownExpiry, {{"server", info.server}}));
    if (fetched != ::Zyld::Kms::Success && fetched != last) {
      info.messages.push_back(ResultMessage(fetched, info.server));
    }
    return Health::WARNING;
  }
  if (!IsPinned(trusted, remote) || days > kExpiryWarningDays) {
    return Health::OK;
  }
  info.messages.push_back(ExpiringMessage(kServerCertExpiring, days));
  return Health::WARNING;
}

ServerInfo ServerHealth(KmsObject& kms, uint32_t server, const KmsServerStatus& entry,
                        const std::vector<std::string>& trusted) {
  ServerInfo info;
  kms.GetServerName(server, info.server);
  info.clientTrustServer = entry.clientTrustServer;
  info.serverTrustClient = entry.serverTrustClient;
  uint32_t last = 0;
  if (!entry.clientTrustServer) {
    last = AddTrustMessages(entry, kClientNotTrustingServer, last, info.server, info.messages);
  }
  if (!entry.serverTrustClient) {
    AddTrustMessages(entry, kServerNotTrustingClient, last, info.server, info.messages);
  }
  info.health = entry.clientTrustServer && entry.serverTrustClient
                    ? CertificateHealth(kms, server, trusted, last, info)
                    : Health::ERROR;
  return info;
}

Health ProviderHealth(const std::string& provider, const KmsObject& kms, const KmsStatus& status,
                      bool allWarning, Api::Messages& messages) {
  if (!(status.masterKeyFound && status.keySizeSupported)) {
    Log_Level(kLogFailure, "Master key is not available in any server of the provider %s\n",
              provider.c_str());
    return Health::ERROR;
  }
  if (allWarning) {
    Log_Level(kLogFailure, "All servers of the provider are warning %s\n", provider.c_str());
    return Health::WARNING;
  }
  std::string certificate;
  kms.GetClientCertificate(certificate);
  const int days =
      certificate.empty() ? Ssl::kDaysToExpireUnknown : Ssl::GetPemCertDaysToExpire(certificate);
  if (days == Ssl::kDaysToExpireUnknown) {
    messages.push_back(Api::MakeMessage(kClientCertUnknownExpiry));
    return Health::WARNING;
  }
  if (days > kExpiryWarningDays) {
    return Health::OK;
  }
  messages.push_back(ExpiringMessage(kClientCertExpiring, days));
  return Health::WARNING;
}

// The provider's health with an entry per server. May probe the servers (an invalid status cache)
// and fetch certificates the cache does not hold.
Info ComputeHealth(const std::string& provider, KmsObject& kms) {
  const uint32_t count = kms.GetServerCount();
  std::vector<std::string> trusted;
  kms.GetTrustedServerCertificates(trusted);
  if (trusted.empty()) {
    Log_Level(kLogFailure, "Unable to get trusted certificates for provider %s\n",
              provider.c_str());
  }
  KmsStatus status;
  kms.GetStatus(status);
  Info info;
  bool allWarning = true;
  for (uint32_t server = 0; server < count; ++server) {
    const KmsServerStatus entry =
        server < status.servers.size() ? status.servers[server] : KmsServerStatus{};
    info.servers.push_back(ServerHealth(kms, server, entry, trusted));
    allWarning = allWarning && info.servers.back().health == Health::WARNING;
    if (server < status.keyProblems.size() && status.keyProblems[server] != ::Zyld::Kms::Success) {
      info.messages.push_back(
          ResultMessage(status.keyProblems[server], info.servers.back().server));
    }
  }
  info.health = ProviderHealth(provider, kms, status, allWarning, info.messages);
  return info;
}

// What answering needs from the key servers: a probe when the status cache is invalid, else the
// fetch of a certificate the cache lacks for a server whose health reads it; nothing when the
// cache answers everything.
std::optional<ServerFetch> ServerFetchNeeded(KmsObject& kms) {
  if (std::optional<ServerFetch> probe = kms.StatusFetchNeeded()) {
    return probe;
  }
  std::vector<std::string> trusted;
  kms.GetTrustedServerCertificates(trusted);
  if (trusted.empty()) {
    return std::nullopt;
  }
  KmsStatus status;
  kms.GetStatus(status);
  for (uint32_t server = 0; server < status.servers.size(); ++server) {
    const KmsServerStatus& entry = status.servers[server];
    if (entry.clientTrustServer && entry.serverTrustClient) {
      if (std::optional<ServerFetch> fetch = kms.CertificateFetchNeededFor(server)) {
        return fetch;
      }
    }
  }
  return std::nullopt;
}

// The answer when the computation did not run: ERROR, naming every server.
Info Unavailable(const KmsObject& kms) {
  Info info;
  info.health = Health::ERROR;
  for (uint32_t server = 0; server < kms.GetServerCount(); ++server) {
    std::string name;
    kms.GetServerName(server, name);
    info.messages.push_back(ResultMessage(::Zyld::Kms::GeneralError, name));
  }
  return info;
}

// One call waiting for a health answer.
struct Waiter {
  ::Mirel::AsyncResult<Info> result;
  bool attest = false;

  void Answer(Info info) {
    if (attest) {
      info.servers.clear();
    }
    result.SetResult(info);
  }
};

}  // namespace

// The health computations that need a key server, at most one per key-server object: the first
// call submits the job, later calls join its waiters until it lands. The flight ends (leaves the
// map) before its waiters are answered, so a call after that starts afresh. The lock guards the
// map only; it is never held while a job is submitted, runs or answers.
class HealthFlights : public std::enable_shared_from_this<HealthFlights> {
 public:
  void Join(::Zyld::State::Providers& registry, const std::string& provider, KmsPtr kms,
            int64_t timeoutSeconds, Waiter waiter) {
    {
      std::lock_guard lock(mutex_);
      auto [flight, leads] = flights_.try_emplace(kms.get());
      flight->second.push_back(std::move(waiter));
      if (!leads) {
        return;
      }
    }
    registry.KeyServers().Submit(provider, std::chrono::seconds(timeoutSeconds),
                                 [self = shared_from_this(), provider, kms](JobEnd end) {
                                   Landing landing(*self, kms);
                                   if (end == JobEnd::Ran) {
                                     landing.Set(ComputeHealth(provider, *kms));
                                   }
                                 });
  }

 private:
  // Lands the flight of kms however its job ends: with the computed health, or the unavailable
  // answer when the job did not run or the computation threw.
  class Landing {
   public:
    Landing(HealthFlights& flights, KmsPtr kms) : flights_(flights), kms_(std::move(kms)) {}
    ~Landing() { flights_.Land(*kms_, info_ ? std::move(*info_) : Unavailable(*kms_)); }
    Landing(const Landing&) = delete;
    Landing& operator=(const Landing&) = delete;
    void Set(Info info) { info_ = std::move(info); }

   private:
    HealthFlights& flights_;
    KmsPtr kms_;
    std::optional<Info> info_;
  };

  void Land(const KmsObject& kms, const Info& info) {
    std::vector<Waiter> waiters;
    {
      std::lock_guard lock(mutex_);
      const auto flight = flights_.find(&kms);
      if (flight == flights_.end()) {
        return;
      }
      waiters = std::move(flight->second);
      flights_.erase(flight);
    }
    for (Waiter& waiter : waiters) {
      waiter.Answer(info);
    }
  }

  std::mutex mutex_;
  std::map<const KmsObject*, std::vector<Waiter>> flights_;
};

StatusImpl::StatusImpl(::Zyld::State::Providers& registry)
    : registry_(registry), flights_(std::make_shared<HealthFlights>()) {}

void StatusImpl::Get(const std::string& provider, ::Mirel::AsyncResult<Info> result) {
  if (provider.empty()) {
    Log_Level(kLogFailure, "Unable to get status for an empty provider\n");
    return result.SetError(Api::MakeInvalidArgumentError({}));
  }
  KmsPtr kms = registry_.GetProvider(provider);
  if (!kms) {
    return result.SetError(Api::MakeNotFoundError({}));
  }
  Waiter waiter{std::move(result),
                ::Mirel::CurrentCaller().user == ::Zyld::Authn::kAttestationUser};
  const std::optional<ServerFetch> fetch = ServerFetchNeeded(*kms);
  if (!fetch) {
    return waiter.Answer(ComputeHealth(provider, *kms));
  }
  flights_->Join(registry_, provider, std::move(kms), fetch->timeoutSeconds, std::move(waiter));
}

}  // namespace Providers::StatusSvc

namespace StatusSvc {

void StatusImpl::Get(::Mirel::AsyncResult<Info> result) {
  Info info;
  info.health = Health::OK;
  result.SetResult(info);
}

}  // namespace StatusSvc

}  // namespace Com::Velora::Ovik::Kms
