// Zyld::Kms::KmipKms: the key-server object of one provider, speaking KMIP 1.1 through
// qlkmipsimple. Every operation opens its own session to the addressed server and closes it
// before returning; nothing is retried here. The object owns a KmsCache filled only by
// UpdateStatus (a full probe of every server) and read by the key operations: with a valid cache
// holding the configured master key and a known state, GenerateKey and Decrypt need no server.
// The cache lock is held only while copying, never across a library call. Master-key and
// data-key bytes live in Har::SecureBytes and are wiped on every path (see kms_wipe.h).
#pragma once

#include "kms/kms.h"
#include "kms/kms_info.h"

#include <harlibs/secure.h>
#include <harlockpp/harlockpp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct qlc_session;
struct qlc_result;

namespace Zyld::ProviderConfig {
enum ConfigResult : int32_t;
}

namespace Zyld::Kms {

// The rank of every cache lock (taken after every other lock of the daemon).
constexpr uint32_t kKmsCacheLockRank = 0xFEFFFFFF;

// Key state of KMIP 1.1, -1 when not known.
constexpr int32_t kKeyStateUnknown = -1;

// What the status probe learnt; the object's copy is guarded by its lock. Destroying it wipes
// the master key.
struct KmsCache {
  KmsCache();
  ~KmsCache();
  KmsCache(const KmsCache&) = delete;
  KmsCache& operator=(const KmsCache&) = delete;

  Har::RWLock lock;
  Har::SecureBytes masterKey;
  int32_t keyState = kKeyStateUnknown;
  KmsStatus status;
  bool valid = false;
  std::vector<std::string> remoteServerCertificates;
};

class KmipKms;

// Reads the provider from the configuration store; null (logged) when that fails. *result (when
// given) receives the store's answer: Success, NotFound or StoreError.
std::unique_ptr<KmipKms> CreateKms(const std::string& providerId,
                                   ProviderConfig::ConfigResult* result = nullptr);

class KmipKms : public Kms {
 public:
  explicit KmipKms(std::shared_ptr<const KmsInfo> info);
  ~KmipKms() override;
  KmipKms(const KmipKms&) = delete;
  KmipKms& operator=(const KmipKms&) = delete;

  // Kms
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

  // Session layer. The specification text holds the private key: callers wipe it.
  Har::SecureString BuildConnectionSpec(uint32_t server, bool trust,
                                        const std::string& overrideCert) const;
  KmsResult Connect(qlc_session** session, uint32_t server, std::string& error) const;
  KmsResult PerformOperation(qlc_session* session, const std::string& keyId, const char* command,
                             std::string& error, qlc_result** result = nullptr) const;
  static KmsResult MapLibraryStatus(int status);

  // Master key and state.
  KmsResult GetKey(uint32_t server, const std::string& keyId, bool forceState,
                   Har::SecureBytes& key, int32_t& state, std::string& error);
  KmsResult GetKeyState(qlc_session* session, const std::string& keyId, int32_t& state,
                        std::string& error) const;
  static KmsResult CheckKeyState(int32_t state, std::string& error);
  static KmsResult CheckMasterKey(size_t keyLength, int32_t state, bool& found, bool& usable,
                                  bool& sizeSupported, std::string& error);

  // Certificates, versions and the probe.
  KmsResult FetchRemoteServerCertificate(uint32_t server, std::string& certificate,
                                         std::string& error) const;
  static KmsResult FetchServerCredentials(qlc_result* result, std::string& certificate,
                                          std::string& error);
  KmsResult DiscoverVersions(uint32_t server, bool alwaysTrustServer,
                             const std::string& remoteCertificate, std::string& error,
                             std::vector<std::string>& versions) const;
  static bool IsSupportedVersion(const std::string& version);
  void ProbeStatus(KmsCache& record);

  const KmsInfo& Info() const { return *info_; }

 protected:
  // Opens a session with the library; a seam for tests that need a handshake outcome the
  // library cannot produce with a given specification.
  virtual qlc_result* OpenSession(qlc_session** session, const char* spec) const;

 private:
  const std::string& ServerName(uint32_t server) const;
  KmsResult ReadKeyFromServer(qlc_session* session, const std::string& keyId, Har::SecureBytes& key,
                              std::string& error) const;
  bool ReadCachedKey(const std::string& keyId, bool forceState, Har::SecureBytes& key,
                     int32_t& state);
  void ProbeServer(uint32_t server, KmsCache& record);
  KmsResult FetchMasterKey(uint32_t server, const std::string& keyId, Har::SecureBytes& masterKey,
                           std::string& error);

  std::shared_ptr<const KmsInfo> info_;
  KmsCache cache_;
};

}  // namespace Zyld::Kms
