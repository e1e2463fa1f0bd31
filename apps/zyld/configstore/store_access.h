// Helpers shared by the ProviderConfig sources: the store handle, the guarded store step, the
// required-value read and the read of secret values. Internal to the module.
#pragma once

#include "provider_config.h"
#include "provider_schema.h"

#include <configstore/configstore.h>
#include <corvexctl/corvexctl.h>
#include <harlibs/log.h>
#include <harlibs/secure.h>

#include <memory>
#include <string>
#include <variant>

namespace Zyld::ProviderConfig::Detail {

using StorePtr = std::shared_ptr<OvikConfigStore::ConfigStore>;

inline const std::string kProvidersKey{kProvidersStoreKey};
inline const std::string kKmsGroup{kProvidersStoreGroup};
inline const std::string kOvikComponent{kProvidersStoreComponent};

// The process-wide store; throws ConfigStoreException when it cannot be opened.
StorePtr OpenStore();

// Runs body (returning a ConfigResult); a store or host-control exception is passed, as its text,
// to onError and gives StoreError. Any other exception passes to the caller.
template <typename Body, typename OnError>
ConfigResult Guard(Body&& body, OnError&& onError) {
  try {
    return body();
  } catch (const OvikConfigStore::ConfigStoreException& e) {
    onError(e.what());
  } catch (const HostCtl::Lib::HostCtlException& e) {
    onError(e.what());
  }
  return StoreError;
}

// Reads a value that must exist; logs "Error reading <name> from config store" when it does not.
template <typename T>
bool ReadRequired(const OvikConfigStore::StoreObject& object, const char* name, T& out) {
  if (object.GetValue(name, out)) {
    return true;
  }
  Log_Level(kLogFailure, "Error reading %s from config store\n", name);
  return false;
}

// Reads a text value straight into a secret (no intermediate copy); false, out untouched, when
// the object has no text value of that name.
inline bool ReadSecret(const OvikConfigStore::StoreObject& object, const char* name,
                       Har::Secret& out) {
  const auto& values = object.Values();
  const auto found = values.find(std::string_view(name));
  const std::string* text =
      found == values.end() ? nullptr : std::get_if<std::string>(&found->second);
  if (text == nullptr) {
    return false;
  }
  out.assign(*text);
  return true;
}

inline bool ReadRequired(const OvikConfigStore::StoreObject& object, const char* name,
                         Har::Secret& out) {
  if (ReadSecret(object, name, out)) {
    return true;
  }
  Log_Level(kLogFailure, "Error reading %s from config store\n", name);
  return false;
}

// A singleton sub-object that may be absent: null without a log line when there is none.
ObjectHandle FindOptionalSubObject(const ObjectHandle& parent, const std::string& name);

// The filter that selects every "servers" instance of a kmip_server object.
const OvikConfigStore::FilterSpecObject& ServersFilter();

}  // namespace Zyld::ProviderConfig::Detail
