// KmipKms: accessors, the status refresh and the reads of the status cache. The key operations
// are in kms_crypto.cpp.
#include "kms/kmip_kms.h"

#include <harlibs/log.h>

namespace Zyld::Kms {

KmipKms::KmipKms(std::shared_ptr<const KmsInfo> info)
    : connector_(std::move(info)), reader_(connector_, cache_), prober_(connector_, reader_) {}

KmipKms::~KmipKms() = default;

uint32_t KmipKms::GetServerCount() const { return static_cast<uint32_t>(Info().servers.size()); }

void KmipKms::GetTrustedServerCertificates(std::vector<std::string>& certificates) const {
  certificates = Info().trustedServerCertificates;
}

void KmipKms::GetClientCertificate(std::string& certificate) const {
  certificate = Info().clientCertificate;
}

int KmipKms::GetServerName(uint32_t server, std::string& name) const {
  name = connector_.ServerName(server);
  return 0;
}

std::string KmipKms::CachedRemoteServerCertificate(uint32_t server) const {
  std::string certificate;
  cache_.Read([&](const ProbeRecord& record) {
    if (server < record.remoteServerCertificates.size()) {
      certificate = record.remoteServerCertificates[server];
    }
  });
  return certificate;
}

std::optional<ServerFetch> KmipKms::CertificateFetchNeededFor(uint32_t server) const {
  if (!CachedRemoteServerCertificate(server).empty()) {
    return std::nullopt;
  }
  return ServerFetch{std::string(), connector_.TimeoutSeconds()};
}

std::optional<ServerFetch> KmipKms::StatusFetchNeeded() const {
  if (cache_.Read([](const ProbeRecord&) {})) {
    return std::nullopt;
  }
  return ServerFetch{std::string(), connector_.TimeoutSeconds()};
}

KmsResult KmipKms::GetRemoteServerCertificate(uint32_t server, std::string& certificate,
                                              std::string& error) {
  std::string cached = CachedRemoteServerCertificate(server);
  if (!cached.empty()) {
    certificate.swap(cached);
    Log_Level(kLogTrace, "Provider %s using cached remote server cert for server %s\n",
              Info().name.c_str(), connector_.ServerName(server).c_str());
    return Success;
  }
  return prober_.FetchRemoteServerCertificate(server, certificate, error);
}

void KmipKms::UpdateStatus() {
  Log_Level(kLogTrace, "Provider %s update status\n", Info().name.c_str());
  cache_.Store(prober_.ProbeStatus());
}

void KmipKms::GetStatus(KmsStatus& status) {
  if (cache_.Read([&](const ProbeRecord& record) { status = record.status; })) {
    Log_Level(kLogTrace, "Provider %s getting status from cache\n", Info().name.c_str());
    return;
  }
  Log_Level(kLogTrace, "Provider %s getting status from server\n", Info().name.c_str());
  status = prober_.ProbeStatus().status;
}

}  // namespace Zyld::Kms
