// Single values of a provider that are read and written on their own: the KMIP credential, the
// client certificate with its key, the pending CSR with its key and the trusted server
// certificates. Every setter writes its provider at once.
#include "store_access.h"

#include <harlibs/secure.h>

namespace Zyld::ProviderConfig {

using namespace Detail;
using OvikConfigStore::SubObjectId;

namespace {

// Gets or creates a singleton sub-object.
ObjectHandle GetOrCreate(const ObjectHandle& parent, const std::string& name) {
  ObjectHandle object = FindOptionalSubObject(parent, name);
  return object ? object : parent->CreateSubObject(SubObjectId(name));
}

void WriteBack(const StorePtr& store, const ObjectHandle& provider) {
  int result = 0;
  store->Update(provider, &result);
}

}  // namespace

ConfigResult GetCredential(const std::string& providerId, Har::Secret& credential) {
  return Guard(
      [&] {
        ObjectHandle provider, kmipServer;
        ConfigResult r = GetKmipServerObject(OpenStore(), providerId, provider, kmipServer);
        if (r != Success) {
          Log_Level(kLogFailure, "Get credential could not find kmip server for provider %s: %d\n",
                    providerId.c_str(), r);
          return r;
        }
        Log_Level(kLogTrace, "Getting credential for the provider %s\n", providerId.c_str());
        credential.Wipe();
        ReadSecret(*kmipServer, "credential", credential);
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Exception reading %s from config store: %s\n", "credential", what);
      });
}

ConfigResult SetCredential(const std::string& providerId, const std::string& credential) {
  return Guard(
      [&] {
        StorePtr store = OpenStore();
        ObjectHandle provider, kmipServer;
        ConfigResult r = GetKmipServerObject(store, providerId, provider, kmipServer);
        if (r != Success) {
          Log_Level(kLogFailure, "Set credential could not find kmip server for provider %s: %d\n",
                    providerId.c_str(), r);
          return r;
        }
        Log_Level(kLogTrace, "Setting credential for the provider %s\n", providerId.c_str());
        kmipServer->SetValue("credential", credential);
        WriteBack(store, provider);
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Set credential failed to write to configstore: %s\n", what);
      });
}

ConfigResult GetClientCertificate(const std::string& providerId, std::string& certificate,
                                  Har::Secret& privateKey) {
  return Guard(
      [&] {
        ObjectHandle provider, kmipServer;
        ConfigResult r = GetKmipServerObject(OpenStore(), providerId, provider, kmipServer);
        if (r != Success) {
          return r;
        }
        ObjectHandle client = FindOptionalSubObject(kmipServer, "client_certificate");
        if (!client) {
          certificate.clear();
          return Success;
        }
        std::string cert;
        Har::Secret key;
        if (!client->GetValue("certificate", cert)) {
          Log_Level(kLogFailure,
                    "Error reading client certificate from config store for provider %s\n",
                    providerId.c_str());
          return StoreError;
        }
        if (!ReadSecret(*client, "private_key", key)) {
          Log_Level(kLogFailure, "Error reading private key from config store for provider %s\n",
                    providerId.c_str());
          return StoreError;
        }
        certificate = std::move(cert);
        privateKey = std::move(key);
        return Success;
      },
      [&](const char* what) {
        Log_Level(kLogFailure,
                  "Error reading client certificate from config store for provider %s: %s\n",
                  providerId.c_str(), what);
      });
}

ConfigResult SetClientCertificate(const std::string& providerId, const std::string& certificate,
                                  const std::string& privateKey) {
  StorePtr store;
  ObjectHandle provider, kmipServer, client;
  ConfigResult r = Guard(
      [&] {
        store = OpenStore();
        ConfigResult found = GetKmipServerObject(store, providerId, provider, kmipServer);
        if (found == Success) {
          client = GetOrCreate(kmipServer, "client_certificate");
        }
        return found;
      },
      [&](const char* what) {
        Log_Level(kLogFailure,
                  "Error creating client certificate config store object for provider %s: %s\n",
                  providerId.c_str(), what);
      });
  if (r != Success) {
    return r;
  }
  return Guard(
      [&] {
        client->SetValue("certificate", certificate);
        client->SetValue("private_key", privateKey);
        WriteBack(store, provider);
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Error writing client certificate to configstore: %s\n", what);
      });
}

ConfigResult GetClientCsr(const std::string& providerId, std::string& csr,
                          Har::Secret& privateKey) {
  return Guard(
      [&] {
        ObjectHandle provider, kmipServer;
        ConfigResult r = GetKmipServerObject(OpenStore(), providerId, provider, kmipServer);
        if (r != Success) {
          Log_Level(kLogFailure, "Unable to find provider or kmip server config for %s: %d\n",
                    providerId.c_str(), r);
          return r;
        }
        ObjectHandle pending = FindOptionalSubObject(kmipServer, "client_CSR");
        if (!pending) {
          Log_Level(kLogTrace, "Client CSR for %s provider not found\n", providerId.c_str());
          return Success;
        }
        csr.clear();
        privateKey.Wipe();
        pending->GetValue("certificate", csr);
        ReadSecret(*pending, "private_key", privateKey);
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Error get client CSR configstore object %s\n", what);
      });
}

ConfigResult SetClientCsr(const std::string& providerId, const std::string& csr,
                          const std::string& privateKey) {
  StorePtr store;
  ObjectHandle provider, kmipServer, pending;
  ConfigResult r = Guard(
      [&] {
        store = OpenStore();
        ConfigResult found = GetKmipServerObject(store, providerId, provider, kmipServer);
        if (found != Success) {
          Log_Level(kLogFailure, "Unable to find provider or kmip server config for %s: %d\n",
                    providerId.c_str(), found);
          return found;
        }
        pending = GetOrCreate(kmipServer, "client_CSR");
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Error create/get client csr configstore object %s\n", what);
      });
  if (r != Success) {
    return r;
  }
  return Guard(
      [&] {
        pending->SetValue("certificate", csr);
        pending->SetValue("private_key", privateKey);
        WriteBack(store, provider);
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Caught ConfigStore exception during setting csr and key %s\n",
                  what);
      });
}

ConfigResult GetServerCertificates(const std::string& providerId,
                                   std::vector<std::string>& certificates) {
  return Guard(
      [&] {
        ObjectHandle provider, keyServer;
        ConfigResult r = GetKeyServerObject(OpenStore(), providerId, provider, keyServer);
        if (r != Success) {
          return r;
        }
        certificates.clear();
        if (keyServer->GetValue("server_cert", certificates)) {
          Log_Level(kLogTrace, "%lu certificates found in configstore\n", certificates.size());
        }
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Exception reading %s from config store: %s\n", "server_cert", what);
      });
}

ConfigResult SetServerCertificates(const std::string& providerId,
                                   const std::vector<std::string>& certificates) {
  return Guard(
      [&] {
        StorePtr store = OpenStore();
        ObjectHandle provider, keyServer;
        ConfigResult r = GetKeyServerObject(store, providerId, provider, keyServer);
        if (r != Success) {
          return r;
        }
        keyServer->SetValue("server_cert", certificates);
        WriteBack(store, provider);
        return Success;
      },
      [](const char* what) { Log_Level(kLogFailure, "Error writing to configstore: %s\n", what); });
}

}  // namespace Zyld::ProviderConfig
