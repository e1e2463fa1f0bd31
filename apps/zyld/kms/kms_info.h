// Zyld::Kms::KmsInfo: everything the key-server code needs to know about one provider, read from
// the configuration store in one go (ProviderConfig::GetKmsInfo) and immutable afterwards. Absent
// optional values read as empty strings, zero numbers and empty lists. Holds the KMIP password and
// the client private key: the destructor wipes them.
#pragma once

#include <harlibs/secure.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Zyld::Kms {

struct ServerEntry {
  std::string name;
  std::string host;
  int64_t port = 0;

  bool operator==(const ServerEntry&) const = default;
};

struct KmsInfo {
  std::string name;
  std::string masterKeyId;
  std::string proxyHost;          // empty: no proxy
  int64_t proxyPort = 0;          // 0: no proxy
  int64_t connectionTimeout = 0;  // seconds; 0: not configured
  std::string username;
  std::string password;
  std::string clientCertificate;  // standardized PEM; empty: none
  std::string privateKey;
  std::vector<std::string> trustedServerCertificates;  // standardized PEM, stored order
  std::vector<ServerEntry> servers;                    // stored order

  KmsInfo() = default;
  KmsInfo(const KmsInfo&) = default;
  KmsInfo& operator=(const KmsInfo&) = default;
  KmsInfo(KmsInfo&&) = default;
  KmsInfo& operator=(KmsInfo&&) = default;
  ~KmsInfo() {
    Har::Cleanse(password);
    Har::Cleanse(privateKey);
  }

  bool operator==(const KmsInfo&) const = default;
};

}  // namespace Zyld::Kms
