// Zyld::Kms::KmsInfo: everything the key-server code needs to know about one provider, read from
// the configuration store in one go (ProviderConfig::GetKmsInfo) and immutable afterwards. Absent
// optional values read as empty strings, zero numbers and empty lists. The KMIP password and the
// client private key are Har::Secret values, wiped when the information is released.
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
  Har::Secret password;
  std::string clientCertificate;  // standardized PEM; empty: none
  Har::Secret privateKey;
  std::vector<std::string> trustedServerCertificates;  // standardized PEM, stored order
  std::vector<ServerEntry> servers;                    // stored order

  bool operator==(const KmsInfo&) const = default;
};

}  // namespace Zyld::Kms
