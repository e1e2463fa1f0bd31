// Reading whole providers: the API record, the key-server record, the list of providers, the host
// names for the firewall, and the attestation daemon's public key.
#include "store_access.h"

#include <ironveil-common/ssl_utils.h>

namespace Zyld::ProviderConfig {

using namespace Detail;
using OvikConfigStore::ConfigStoreObjectId;
namespace Api = Com::Velora::Ovik::Kms::ProvidersSvc;

namespace {

struct ObjectSet {
  ObjectHandle provider, keyServer, proxyServer, kmipServer;
  std::vector<ObjectHandle> servers;
};

ConfigResult ReadObjectSet(const std::string& providerId, ObjectSet& set) {
  ConfigResult r = ReadProviderObjects(providerId, set.provider, set.keyServer, set.proxyServer,
                                       set.kmipServer, set.servers);
  if (r != Success) {
    Log_Level(kLogFailure, "Error getting objects from config store for provider %s\n",
              providerId.c_str());
  }
  return r;
}

bool ReadKeyServerType(const ObjectHandle& keyServer, const std::string& providerId,
                       Api::KeyServerType& type) {
  std::string text;
  if (!ReadRequired(*keyServer, "type", text)) {
    return false;
  }
  if (!boost::describe::enum_from_string(text.c_str(), type)) {
    Log_Level(kLogFailure, "Unknown key server type %s for provider %s\n", text.c_str(),
              providerId.c_str());
    return false;
  }
  return true;
}

bool ReadProxyAddress(const ObjectHandle& proxy, Api::NetworkAddress& address) {
  int64_t port = 0;
  if (!ReadRequired(*proxy, "hostname", address.hostname) || !ReadRequired(*proxy, "port", port)) {
    return false;
  }
  address.port = port;
  return true;
}

bool ReadApiServers(const std::vector<ObjectHandle>& servers, std::vector<Api::Server>& out) {
  out.reserve(servers.size());
  for (const ObjectHandle& s : servers) {
    Api::Server server;
    int64_t port = 0;
    if (!ReadRequired(*s, "name", server.name) ||
        !ReadRequired(*s, "hostname", server.address.hostname) || !ReadRequired(*s, "port", port)) {
      return false;
    }
    server.address.port = port;
    out.push_back(std::move(server));
  }
  return true;
}

bool BuildInfo(const ObjectSet& set, const std::string& providerId, ProviderInfo& info) {
  Api::KeyServerInfo& keyServer = info.keyServer;
  if (!ReadRequired(*set.provider, "master_key_id", info.masterKeyId) ||
      !ReadKeyServerType(set.keyServer, providerId, keyServer.type)) {
    return false;
  }
  set.keyServer->GetValue("description", keyServer.description);
  int64_t timeout = -1;
  set.keyServer->GetValue("connection_timeout", timeout);
  if (timeout != -1) {
    keyServer.connectionTimeout = timeout;
  }
  if (set.proxyServer) {
    Api::NetworkAddress proxy;
    if (!ReadProxyAddress(set.proxyServer, proxy)) {
      return false;
    }
    keyServer.proxyServer = std::move(proxy);
  }
  std::string username;
  set.kmipServer->GetValue("username", username);
  if (!username.empty()) {
    keyServer.kmipServer.username = std::move(username);
  }
  return ReadApiServers(set.servers, keyServer.kmipServer.servers);
}

bool ReadKmsServers(const std::vector<ObjectHandle>& servers, std::vector<Kms::ServerEntry>& out) {
  out.reserve(servers.size());
  for (const ObjectHandle& s : servers) {
    Kms::ServerEntry entry;
    if (!ReadRequired(*s, "name", entry.name) || !ReadRequired(*s, "hostname", entry.host) ||
        !ReadRequired(*s, "port", entry.port)) {
      return false;
    }
    out.push_back(std::move(entry));
  }
  return true;
}

bool ReadClientCertificate(const ObjectHandle& kmipServer, Kms::KmsInfo& info) {
  ObjectHandle client = FindOptionalSubObject(kmipServer, "client_certificate");
  if (!client) {
    return true;
  }
  if (!ReadRequired(*client, "certificate", info.clientCertificate) ||
      !ReadRequired(*client, "private_key", info.privateKey)) {
    return false;
  }
  StandardizeCertificate(info.clientCertificate);
  return true;
}

bool BuildKmsInfo(const ObjectSet& set, Kms::KmsInfo& info) {
  if (!ReadRequired(*set.provider, "master_key_id", info.masterKeyId)) {
    return false;
  }
  set.keyServer->GetValue("connection_timeout", info.connectionTimeout);
  if (set.keyServer->GetValue("server_cert", info.trustedServerCertificates)) {
    for (std::string& cert : info.trustedServerCertificates) {
      StandardizeCertificate(cert);
    }
  }
  if (set.proxyServer && (!ReadRequired(*set.proxyServer, "hostname", info.proxyHost) ||
                          !ReadRequired(*set.proxyServer, "port", info.proxyPort))) {
    return false;
  }
  set.kmipServer->GetValue("username", info.username);
  ReadSecret(*set.kmipServer, "credential", info.password);
  return ReadKmsServers(set.servers, info.servers) && ReadClientCertificate(set.kmipServer, info);
}

std::shared_ptr<OvikConfigStore::FilterSpecObject> ProvidersFilter() {
  return std::make_shared<OvikConfigStore::FilterSpecObject>(
      ConfigStoreObjectId(kProvidersKey, kKmsGroup, kOvikComponent));
}

// Reads the provider's objects and hands them to `use`; a store failure is logged as a failure
// to read `what`.
template <typename Use>
ConfigResult WithObjectSet(const std::string& providerId, const char* what, Use&& use) {
  return Guard(
      [&] {
        ObjectSet set;
        const ConfigResult r = ReadObjectSet(providerId, set);
        return r != Success ? r : use(set);
      },
      [what](const char* error) {
        Log_Level(kLogFailure, "Exception reading %s from config store: %s\n", what, error);
      });
}

}  // namespace

void StandardizeCertificate(std::string& certificate) {
  if (!Brask::Common::SslUtils::StandardizePemString(Brask::Common::SslUtils::kPemCertificateBegin,
                                                     Brask::Common::SslUtils::kPemCertificateEnd,
                                                     certificate)) {
    Log_Level(kLogNotable, "Failed to standardize certificate.\n");
  }
}

ConfigResult GetProviderInfo(const std::string& providerId, ProviderInfo& info) {
  return WithObjectSet(providerId, "provider", [&](const ObjectSet& set) {
    ProviderInfo built;
    if (!BuildInfo(set, providerId, built)) {
      return StoreError;
    }
    info = std::move(built);
    return Success;
  });
}

ConfigResult GetKmsInfo(const std::string& providerId, Kms::KmsInfo& info) {
  return WithObjectSet(providerId, "provider", [&](const ObjectSet& set) {
    Kms::KmsInfo built;
    built.name = providerId;
    if (!BuildKmsInfo(set, built)) {
      return StoreError;
    }
    info = std::move(built);
    return Success;
  });
}

ConfigResult ListProviderIds(std::vector<std::string>& providerIds) {
  return Guard(
      [&] {
        // Only the identifier of each provider is read, not the whole objects.
        std::vector<std::optional<std::string>> values =
            OpenStore()->ListStringValue(ProvidersFilter(), "provider");
        std::vector<std::string> ids;
        ids.reserve(values.size());
        for (std::optional<std::string>& id : values) {
          if (!id) {
            Log_Level(kLogFailure, "Error reading provider id\n");
            return StoreError;
          }
          ids.push_back(std::move(*id));
        }
        providerIds = std::move(ids);
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Error reading providers from config store %s\n", what);
      });
}

ConfigResult ListProviderSummaries(std::vector<ProviderSummary>& summaries) {
  std::vector<std::string> ids;
  ConfigResult r = ListProviderIds(ids);
  if (r != Success) {
    return r;
  }
  summaries.clear();
  summaries.reserve(ids.size());
  for (std::string& id : ids) {
    summaries.push_back(ProviderSummary{std::move(id)});
  }
  return Success;
}

ConfigResult GetProviderHosts(const std::string& providerId, bool includeServers, bool includeProxy,
                              std::vector<std::string>& serverHosts, std::string& proxyHost) {
  serverHosts.clear();
  proxyHost.clear();
  return WithObjectSet(providerId, "hostname", [&](const ObjectSet& set) {
    std::string proxy;
    if (includeProxy && set.proxyServer && !ReadRequired(*set.proxyServer, "hostname", proxy)) {
      return StoreError;
    }
    std::vector<std::string> hosts;
    for (size_t i = 0; includeServers && i < set.servers.size(); ++i) {
      std::string host;
      if (!ReadRequired(*set.servers[i], "hostname", host)) {
        return StoreError;
      }
      hosts.push_back(std::move(host));
    }
    proxyHost = std::move(proxy);
    serverHosts = std::move(hosts);
    return Success;
  });
}

bool GetAttestationPublicKey(std::string& publicKey) {
  std::string certificate;
  const ConfigResult r = Guard(
      [&] {
        ObjectHandle object =
            OpenStore()->Get(ConfigStoreObjectId("certificate", "attestation", kOvikComponent));
        if (!object) {
          return NotFound;
        }
        object->GetValue("certificate", certificate);
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Exception reading property '%s' from config store: %s\n",
                  "certificate", what);
      });
  if (r != Success) {
    return false;
  }
  if (certificate.empty()) {
    Log_Level(kLogFailure, "Proofd certificate is empty.\n");
    return false;
  }
  return Brask::Common::SslUtils::ExtractKeyFromCert(certificate, publicKey);
}

}  // namespace Zyld::ProviderConfig
