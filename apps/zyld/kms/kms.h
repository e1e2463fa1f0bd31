// Zyld::Kms::Kms: the per-provider key-server interface. Every operation addresses one server of
// the provider by its index (below GetServerCount()); choosing servers and failing over is the
// caller's business. Failures are KmsResult values with a reason in an out error text; nothing
// throws. Implementations are shared (std::shared_ptr) between the registry and callers, and are
// safe to use from several threads at once.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Zyld::Kms {

enum KmsResult : uint32_t {
  Success = 0,
  MasterKeyNotFound = 1,
  MasterKeyPreActive = 2,
  MasterKeyUnusableForEncryption = 3,
  MasterKeyUnusable = 4,
  MasterKeyLengthUnsupported = 5,
  CryptoError = 6,
  EncodingError = 7,
  MetadataError = 8,
  KeyServerTimeout = 9,
  KeyServerCommunicationError = 10,
  CertFormatUnknown = 11,
  ServerCertNotRequired = 12,
  NoVersionsFound = 13,
  NoSupportedVersions = 14,
  GeneralError = 15,
};

// Probed status of one server: mutual trust and, per failed check, the error identifier with the
// result of the failed attempt.
struct KmsServerStatus {
  bool clientTrustServer = false;
  bool serverTrustClient = false;
  std::map<std::string, uint32_t> errors;
};

// Probed status of a provider.
struct KmsStatus {
  std::vector<KmsServerStatus> servers;
  bool masterKeyFound = false;
  bool masterKeyUsable = false;
  bool keySizeSupported = false;
  std::vector<uint32_t> keyProblems;
};

// What a key operation must fetch from a key server before it can run: the master key it names
// and how long one server may take to answer.
struct ServerFetch {
  std::string keyId;
  int64_t timeoutSeconds = 0;
};

class Kms {
 public:
  virtual ~Kms() = default;

  virtual uint32_t GetServerCount() const = 0;
  // Draws a data key of keySize bytes; outputs its Base64 text and its wrapped form.
  virtual KmsResult GenerateKey(uint32_t server, uint32_t keySize, std::string& key,
                                std::string& wrappedKey, std::string& error) = 0;
  // Unwraps a wrapped key; outputs the data key's Base64 text.
  virtual KmsResult Decrypt(uint32_t server, const std::string& wrappedKey, std::string& key,
                            std::string& error) = 0;
  virtual void GetTrustedServerCertificates(std::vector<std::string>& certificates) const = 0;
  virtual void GetClientCertificate(std::string& certificate) const = 0;
  virtual int GetServerName(uint32_t server, std::string& name) const = 0;
  // The certificate the server presents (from the status cache when known).
  virtual KmsResult GetRemoteServerCertificate(uint32_t server, std::string& certificate,
                                               std::string& error) = 0;
  // Probes every server and stores the outcome in the status cache.
  virtual void UpdateStatus() = 0;
  // The cached status, or a fresh probe when nothing is cached yet.
  virtual void GetStatus(KmsStatus& status) = 0;
  // What GenerateKey (no wrapped key) or Decrypt of wrappedKey would have to fetch from a server;
  // nothing when the object can answer from what it already holds (or fails without a server).
  // The default needs no server.
  virtual std::optional<ServerFetch> FetchNeededFor(
      std::optional<std::string_view> /*wrappedKey*/) const {
    return std::nullopt;
  }
  // What GetRemoteServerCertificate of the server would have to fetch (no key, the time-out);
  // nothing when the status cache holds the server's certificate. The default needs no server.
  virtual std::optional<ServerFetch> CertificateFetchNeededFor(uint32_t /*server*/) const {
    return std::nullopt;
  }
  // What GetStatus would have to fetch (a probe of every server, no key, the time-out); nothing
  // when the status cache answers. The default needs no server.
  virtual std::optional<ServerFetch> StatusFetchNeeded() const { return std::nullopt; }
};

}  // namespace Zyld::Kms
