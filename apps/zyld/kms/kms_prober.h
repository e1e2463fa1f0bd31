// Zyld::Kms::KmsProber: the status probe of one provider. For each server in order it fetches
// the certificate the server presents, discovers its KMIP versions (trusting the configured
// certificates, then, when that fails, the presented one) to learn the mutual trust, and, until
// the master key has been found, reads it with a forced state query and checks its state and
// size. The outcome is a ProbeRecord for the cache; the prober writes nothing itself. It borrows
// the connector and the key reader of its KmipKms, which outlive it, and keeps no state: safe
// from several threads at once. A server whose certificate fetch cannot reach it (time-out or
// communication failure) is not contacted again in that probe, so it costs one time-out.
#pragma once

#include "kms/kms.h"
#include "kms/kms_cache.h"
#include "kms/kms_connector.h"
#include "kms/master_key_reader.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Zyld::Kms {

class KmsProber {
 public:
  KmsProber(const KmsConnector& connector, const MasterKeyReader& reader);

  // Probes every server. A key not found or found destroyed is left out of the record.
  ProbeRecord ProbeStatus() const;
  // The certificate the server presents in a handshake that trusts nothing (standardized PEM).
  KmsResult FetchRemoteServerCertificate(uint32_t server, std::string& certificate,
                                         std::string& error) const;
  // The KMIP versions the server answers; Success when one of them is supported. With
  // alwaysTrustServer, a handshake refused for want of trust is retried trusting
  // remoteCertificate alone.
  KmsResult DiscoverVersions(uint32_t server, bool alwaysTrustServer,
                             const std::string& remoteCertificate, std::string& error,
                             std::vector<std::string>& versions) const;
  // "1.n" with n >= 1, in decimal digits only.
  static bool IsSupportedVersion(std::string_view version);

 private:
  KmsResult OpenForVersions(uint32_t server, bool alwaysTrustServer,
                            const std::string& remoteCertificate,
                            KmsConnector::Handshake& handshake, std::string& error) const;
  KmsResult ReadVersions(const std::string& name, const QlcResult& result, std::string& error,
                         std::vector<std::string>& versions) const;
  KmsServerStatus ProbeTrust(uint32_t server, const std::string& certificate) const;
  void ProbeMasterKey(uint32_t server, ProbeRecord& record) const;
  void ProbeServer(uint32_t server, ProbeRecord& record) const;

  const KmsConnector& connector_;
  const MasterKeyReader& reader_;
};

}  // namespace Zyld::Kms
