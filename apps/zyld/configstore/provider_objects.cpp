// Looking up, creating, changing, committing and deleting provider objects.
#include "store_access.h"

namespace Zyld::ProviderConfig {

using OvikConfigStore::ConfigStoreObject;
using OvikConfigStore::ConfigStoreObjectId;
using OvikConfigStore::SubObjectId;

Har::RWLock configLock("configLock", 0x10000000u);

namespace Detail {

StorePtr OpenStore() {
  return OvikConfigStore::ConfigStore::GetStore(OvikConfigStore::sGlobalNamespace);
}

ObjectHandle FindOptionalSubObject(const ObjectHandle& parent, const std::string& name) {
  return parent->GetSubObject(SubObjectId(name, OvikConfigStore::kEmptyString));
}

const OvikConfigStore::FilterSpecObject& ServersFilter() {
  static const OvikConfigStore::FilterSpecObject filter(ConfigStoreObjectId(
      "servers", OvikConfigStore::kEmptyString, OvikConfigStore::kEmptyString, ""));
  return filter;
}

}  // namespace Detail

using namespace Detail;

namespace {

// Runs a change on one of the set's handles; an exception logs fmt with its text.
template <typename Change>
ConfigResult ApplyChange(const ObjectHandle& target, const char* fmt, Change&& change) {
  VERIFY(target != nullptr);
  return Guard(
      [&] {
        change(*target);
        return Success;
      },
      [&](const char* what) { Log_Level(kLogFailure, fmt, what); });
}

}  // namespace

ConfigStoreObjectId ProviderObjectId(const std::string& providerId) {
  return ConfigStoreObjectId(kProvidersKey, kKmsGroup, kOvikComponent, providerId);
}

ConfigResult GetProviderObject(const StorePtr& store, const std::string& providerId,
                               ObjectHandle& provider) {
  return Guard(
      [&] {
        provider = providerId.empty() ? nullptr : store->Get(ProviderObjectId(providerId));
        if (!provider) {
          Log_Level(kLogFailure, "Provider %s not found\n", providerId.c_str());
          return NotFound;
        }
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Error getting provider config store object: %s\n", what);
      });
}

ConfigResult GetSubObject(const ObjectHandle& parent, const std::string& name,
                          ObjectHandle& object) {
  return Guard(
      [&] {
        object = parent->GetSubObject(SubObjectId(name, OvikConfigStore::kEmptyString));
        if (!object) {
          Log_Level(kLogFailure, "Config store object %s not found\n", name.c_str());
          return NotFound;
        }
        return Success;
      },
      [&](const char* what) {
        Log_Level(kLogFailure, "Error getting %s from config store: %s\n", name.c_str(), what);
      });
}

ConfigResult GetKeyServerObject(const StorePtr& store, const std::string& providerId,
                                ObjectHandle& provider, ObjectHandle& keyServer) {
  ConfigResult r = GetProviderObject(store, providerId, provider);
  if (r == Success) {
    r = GetSubObject(provider, "key_server", keyServer);
  }
  return r;
}

ConfigResult GetKmipServerObject(const StorePtr& store, const std::string& providerId,
                                 ObjectHandle& provider, ObjectHandle& kmipServer) {
  ObjectHandle keyServer;
  ConfigResult r = GetKeyServerObject(store, providerId, provider, keyServer);
  if (r == Success) {
    r = GetSubObject(keyServer, "kmip_server", kmipServer);
  }
  return r;
}

ConfigResult ReadProviderObjects(const std::string& providerId, ObjectHandle& provider,
                                 ObjectHandle& keyServer, ObjectHandle& proxyServer,
                                 ObjectHandle& kmipServer, std::vector<ObjectHandle>& servers) {
  StorePtr store;
  ConfigResult r = Guard(
      [&] {
        store = OpenStore();
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Error getting provider config store object: %s\n", what);
      });
  if (r == Success) {
    r = GetKeyServerObject(store, providerId, provider, keyServer);
  }
  if (r == Success) {
    proxyServer = FindOptionalSubObject(keyServer, "proxy_server");
    r = GetSubObject(keyServer, "kmip_server", kmipServer);
  }
  if (r == Success) {
    r = Guard(
        [&] {
          servers = kmipServer->GetSubObjectInstances(ServersFilter());
          return Success;
        },
        [](const char* what) {
          Log_Level(kLogFailure, "Error getting %s from config store: %s\n", "servers", what);
        });
  }
  return r;
}

ConfigResult CreateProviderObjects(ProviderObjects& objects) {
  if (objects.providerId.empty()) {
    Log_Level(kLogFailure, "Cannot create a provider without an identifier\n");
    return StoreError;
  }
  ObjectHandle provider;
  ConfigResult r = Guard(
      [&] {
        StorePtr store = OpenStore();
        return store->Get(ProviderObjectId(objects.providerId)) ? AlreadyExists : Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Error getting provider config store object: %s\n", what);
      });
  if (r != Success) {
    return r;
  }
  provider = std::make_shared<ConfigStoreObject>(ProviderObjectId(objects.providerId));
  ObjectHandle keyServer;
  r = Guard(
      [&] {
        keyServer = provider->CreateSubObject(SubObjectId("key_server"));
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Error creating key server configstore object %s\n", what);
      });
  if (r != Success) {
    return r;
  }
  ObjectHandle kmipServer;
  r = Guard(
      [&] {
        kmipServer = keyServer->CreateSubObject(SubObjectId("kmip_server"));
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Error creating kmip server configstore object: %s\n", what);
      });
  if (r != Success) {
    return r;
  }
  objects.provider = provider;
  objects.keyServer = keyServer;
  objects.proxyServer = nullptr;
  objects.kmipServer = kmipServer;
  objects.servers.clear();
  return Success;
}

ConfigResult LoadProviderObjects(ProviderObjects& objects) {
  return ReadProviderObjects(objects.providerId, objects.provider, objects.keyServer,
                             objects.proxyServer, objects.kmipServer, objects.servers);
}

ConfigResult SetMasterKeyId(ProviderObjects& objects, const std::string& masterKeyId) {
  return ApplyChange(objects.provider, "Error setting master key id %s\n",
                     [&](ConfigStoreObject& o) { o.SetValue("master_key_id", masterKeyId); });
}

ConfigResult SetKeyServerType(ProviderObjects& objects, KeyServerType type) {
  const char* text = boost::describe::enum_to_string(type, nullptr);
  VERIFY(text != nullptr);
  return ApplyChange(objects.keyServer, "Error setting type %s\n",
                     [&](ConfigStoreObject& o) { o.SetValue("type", std::string(text)); });
}

ConfigResult SetDescription(ProviderObjects& objects, const std::string& description) {
  return ApplyChange(objects.keyServer, "Error setting description %s\n",
                     [&](ConfigStoreObject& o) { o.SetValue("description", description); });
}

ConfigResult SetConnectionTimeout(ProviderObjects& objects, int64_t seconds) {
  return ApplyChange(objects.keyServer, "Error setting connection timeout %s\n",
                     [&](ConfigStoreObject& o) { o.SetValue("connection_timeout", seconds); });
}

ConfigResult SetUsername(ProviderObjects& objects, const std::string& username) {
  return ApplyChange(objects.kmipServer, "Error setting kmip server user name %s\n",
                     [&](ConfigStoreObject& o) { o.SetValue("username", username); });
}

ConfigResult SetProxyServer(ProviderObjects& objects, const std::string& hostname, int64_t port) {
  if (hostname.empty()) {
    return ApplyChange(objects.keyServer, "Error deleting proxy server config store object %s\n",
                       [&](ConfigStoreObject& o) {
                         o.DeleteSubObject(SubObjectId("proxy_server"));
                         objects.proxyServer = nullptr;
                       });
  }
  if (!objects.proxyServer) {
    ConfigResult r =
        ApplyChange(objects.keyServer, "Error creating proxy server configstore object %s\n",
                    [&](ConfigStoreObject& o) {
                      objects.proxyServer = o.CreateSubObject(SubObjectId("proxy_server"));
                    });
    if (r != Success) {
      return r;
    }
  }
  return ApplyChange(objects.proxyServer, "Error setting proxy server %s\n",
                     [&](ConfigStoreObject& o) {
                       o.SetValue("hostname", hostname);
                       o.SetValue("port", port);
                     });
}

ConfigResult AddServer(ProviderObjects& objects, const std::string& name,
                       const std::string& hostname, int64_t port) {
  ObjectHandle server;
  ConfigResult r = ApplyChange(
      objects.kmipServer, "Error creating server configstore object: %s\n",
      [&](ConfigStoreObject& o) { server = o.CreateSubObject(SubObjectId("servers", name)); });
  if (r != Success) {
    return r;
  }
  r = ApplyChange(server, "Error setting server %s\n", [&](ConfigStoreObject& o) {
    o.SetValue("name", name);
    o.SetValue("hostname", hostname);
    o.SetValue("port", port);
  });
  if (r == Success) {
    objects.servers.push_back(server);
  }
  return r;
}

ConfigResult DeleteServers(ProviderObjects& objects) {
  return ApplyChange(objects.kmipServer, "Error deleting servers configstore objects %s\n",
                     [&](ConfigStoreObject& o) {
                       o.DeleteSubObjectInstances(ServersFilter());
                       objects.servers.clear();
                     });
}

ConfigResult CommitProviderObjects(ProviderObjects& objects) {
  VERIFY(objects.provider != nullptr);
  return Guard(
      [&] {
        int result = 0;
        OpenStore()->Set(objects.provider, &result);
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Error writing to config store: %s\n", what);
      });
}

ConfigResult DeleteProvider(const std::string& providerId) {
  return Guard(
      [&] {
        StorePtr store = OpenStore();
        const ConfigStoreObjectId id = ProviderObjectId(providerId);
        if (providerId.empty() || !store->Get(id)) {
          Log_Level(kLogFailure, "Provider %s not found\n", providerId.c_str());
          return NotFound;
        }
        store->Delete(id);
        return Success;
      },
      [&](const char* what) {
        Log_Level(kLogFailure, "Failed to delete provider %s from configstore: %s\n",
                  providerId.c_str(), what);
      });
}

}  // namespace Zyld::ProviderConfig
