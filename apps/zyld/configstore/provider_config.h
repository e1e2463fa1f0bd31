// ProviderConfig: every read and write of providers in the configuration store.
//
// Providers are instances of the store key ("providers", "kms", "ovik") with the sub-objects
// key_server / proxy_server, key_server / kmip_server / servers (one instance per server),
// kmip_server / client_certificate and kmip_server / client_CSR. Functions return a ConfigResult;
// store exceptions are caught, logged at level 2 and reported as StoreError. None of them takes
// configLock: writers hold it for writing around their changes, the registry holds it for reading
// while it builds key-server objects.
//
// Creating or changing a provider goes through a ProviderObjects set: Create or Load it, change it
// with the setters, then CommitProviderObjects writes the whole provider in one store transaction
// (nothing reaches the store before). The single-value setters (credential, client certificate,
// CSR, server certificates) write their provider at once.
#pragma once

#include "kms/kms_info.h"

#include <configstore/configstore.h>
#include <harlockpp/harlockpp.h>
#include <zyl-bindings/records.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Zyld::ProviderConfig {

enum ConfigResult : int32_t {
  Success = 0,
  AlreadyExists = 1,  // only CreateProviderObjects
  StoreError = 2,     // store exception, required value missing, failed write
  NotFound = 3,       // provider object or a required sub-object absent
};

// The process-wide lock around configuration changes; taken before the registry lock.
extern Har::RWLock configLock;

using ObjectHandle = OvikConfigStore::ConfigStoreObject::Handle;

// Store handles of one provider while it is created or changed.
struct ProviderObjects {
  std::string providerId;
  ObjectHandle provider;
  ObjectHandle keyServer;
  ObjectHandle proxyServer;  // may be null
  ObjectHandle kmipServer;
  std::vector<ObjectHandle> servers;
};

using ProviderInfo = Com::Velora::Ovik::Kms::ProvidersSvc::Info;
using ProviderSummary = Com::Velora::Ovik::Kms::ProvidersSvc::Summary;
using KeyServerType = Com::Velora::Ovik::Kms::ProvidersSvc::KeyServerType;

// The store identifier of a provider ("providers", "kms", "ovik", providerId).
OvikConfigStore::ConfigStoreObjectId ProviderObjectId(const std::string& providerId);

// Object look-ups.
ConfigResult GetProviderObject(const std::shared_ptr<OvikConfigStore::ConfigStore>& store,
                               const std::string& providerId, ObjectHandle& provider);
ConfigResult GetSubObject(const ObjectHandle& parent, const std::string& name,
                          ObjectHandle& object);
ConfigResult GetKeyServerObject(const std::shared_ptr<OvikConfigStore::ConfigStore>& store,
                                const std::string& providerId, ObjectHandle& provider,
                                ObjectHandle& keyServer);
ConfigResult GetKmipServerObject(const std::shared_ptr<OvikConfigStore::ConfigStore>& store,
                                 const std::string& providerId, ObjectHandle& provider,
                                 ObjectHandle& kmipServer);
// All handles of a provider; a missing proxy_server leaves proxyServer null and is no error.
ConfigResult ReadProviderObjects(const std::string& providerId, ObjectHandle& provider,
                                 ObjectHandle& keyServer, ObjectHandle& proxyServer,
                                 ObjectHandle& kmipServer, std::vector<ObjectHandle>& servers);

// Creating and changing a provider (objects.providerId names it).
ConfigResult CreateProviderObjects(ProviderObjects& objects);
ConfigResult LoadProviderObjects(ProviderObjects& objects);
ConfigResult SetMasterKeyId(ProviderObjects& objects, const std::string& masterKeyId);
ConfigResult SetKeyServerType(ProviderObjects& objects, KeyServerType type);
ConfigResult SetDescription(ProviderObjects& objects, const std::string& description);
ConfigResult SetConnectionTimeout(ProviderObjects& objects, int64_t seconds);
ConfigResult SetUsername(ProviderObjects& objects, const std::string& username);
// An empty hostname removes the proxy.
ConfigResult SetProxyServer(ProviderObjects& objects, const std::string& hostname, int64_t port);
ConfigResult AddServer(ProviderObjects& objects, const std::string& name,
                       const std::string& hostname, int64_t port);
ConfigResult DeleteServers(ProviderObjects& objects);
ConfigResult CommitProviderObjects(ProviderObjects& objects);
ConfigResult DeleteProvider(const std::string& providerId);

// Single values, written at once.
ConfigResult GetCredential(const std::string& providerId, Har::Secret& credential);
ConfigResult SetCredential(const std::string& providerId, const std::string& credential);
// Without a client certificate: certificate emptied, privateKey untouched, Success.
ConfigResult GetClientCertificate(const std::string& providerId, std::string& certificate,
                                  Har::Secret& privateKey);
ConfigResult SetClientCertificate(const std::string& providerId, const std::string& certificate,
                                  const std::string& privateKey);
// Without a CSR: outputs untouched, Success.
ConfigResult GetClientCsr(const std::string& providerId, std::string& csr, Har::Secret& privateKey);
ConfigResult SetClientCsr(const std::string& providerId, const std::string& csr,
                          const std::string& privateKey);
ConfigResult GetServerCertificates(const std::string& providerId,
                                   std::vector<std::string>& certificates);
ConfigResult SetServerCertificates(const std::string& providerId,
                                   const std::vector<std::string>& certificates);

// Reading whole providers.
ConfigResult GetProviderInfo(const std::string& providerId, ProviderInfo& info);
ConfigResult ListProviderIds(std::vector<std::string>& providerIds);
ConfigResult ListProviderSummaries(std::vector<ProviderSummary>& summaries);
ConfigResult GetKmsInfo(const std::string& providerId, Zyld::Kms::KmsInfo& info);
ConfigResult GetProviderHosts(const std::string& providerId, bool includeServers, bool includeProxy,
                              std::vector<std::string>& serverHosts, std::string& proxyHost);
// The public key (PEM) of the attestation daemon's certificate; false when there is none.
bool GetAttestationPublicKey(std::string& publicKey);

// Standardizes a certificate in place; a text that cannot be standardized stays as it is.
void StandardizeCertificate(std::string& certificate);

// Whole-store operations.
ConfigResult ExportProviders(std::string& text, std::string& hash);
ConfigResult ImportConfiguration(const std::string& text);
// Start-up: marks every stored provider and "zyld_config" as restored for this boot. Throws what
// listing the stored providers throws.
void RestoreConfiguration();

}  // namespace Zyld::ProviderConfig
