// Zyld::Kms::KmipKms: the key-server object of one provider, speaking KMIP 1.1 through
// qlkmipsimple. It composes a KmsConnector (sessions), a KmsCache (the last probe), a
// MasterKeyReader (the master key, from the cache or a server) and a KmsProber (status and
// certificates); members are built in that order and borrow one another, so they live and die
// together with the object. Every operation opens its own session to the addressed server and
// closes it before returning; nothing is retried here. The cache is filled only by UpdateStatus;
// with a valid cache holding the configured master key and a known state, GenerateKey and Decrypt
// need no server. Master keys and data keys live in Har::Secret values for the call that needs
// them.
#pragma once

#include "kms/kms.h"
#include "kms/kms_cache.h"
#include "kms/kms_connector.h"
#include "kms/kms_info.h"
#include "kms/kms_prober.h"
#include "kms/master_key_reader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Zyld::Kms {

class KmipKms : public Kms {
 public:
  explicit KmipKms(std::shared_ptr<const KmsInfo> info);
  ~KmipKms() override;
  KmipKms(const KmipKms&) = delete;
  KmipKms& operator=(const KmipKms&) = delete;

  uint32_t GetServerCount() const override;
  KmsResult GenerateKey(uint32_t server, uint32_t keySize, std::string& key,
                        std::string& wrappedKey, std::string& error) override;
  KmsResult Decrypt(uint32_t server, const std::string& wrappedKey, std::string& key,
                    std::string& error) override;
  void GetTrustedServerCertificates(std::vector<std::string>& certificates) const override;
  void GetClientCertificate(std::string& certificate) const override;
  int GetServerName(uint32_t server, std::string& name) const override;
  KmsResult GetRemoteServerCertificate(uint32_t server, std::string& certificate,
                                       std::string& error) override;
  void UpdateStatus() override;
  void GetStatus(KmsStatus& status) override;
  // The master key the call names unless the cache serves it; nothing for a wrapped key that
  // does not parse (Decrypt fails on it without a server).
  std::optional<ServerFetch> FetchNeededFor(
      std::optional<std::string_view> wrappedKey) const override;
  // The fetch of an uncached server certificate, bounded by the provider's time-out.
  std::optional<ServerFetch> CertificateFetchNeededFor(uint32_t server) const override;
  // A probe when the status cache is not yet valid, bounded by the provider's time-out per server.
  std::optional<ServerFetch> StatusFetchNeeded() const override;

 private:
  const KmsInfo& Info() const { return connector_.Info(); }
  // The server's certificate from the status cache; empty when the cache has none.
  std::string CachedRemoteServerCertificate(uint32_t server) const;

  KmsConnector connector_;
  KmsCache cache_;
  MasterKeyReader reader_;
  KmsProber prober_;
};

}  // namespace Zyld::Kms
