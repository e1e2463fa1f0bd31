// Store-wide operations on the providers: export with hash, import, and the start-up restore of
// the boot status.
#include "store_access.h"

#include <ironveil-common/ssl_utils.h>

namespace Zyld::ProviderConfig {

using namespace Detail;
using OvikConfigStore::ConfigStoreObjectId;

namespace {

ConfigStoreObjectId ProvidersSelection() {
  return ConfigStoreObjectId(kProvidersKey, kKmsGroup, kOvikComponent);
}

}  // namespace

ConfigResult ExportProviders(std::string& text, std::string& hash) {
  std::string exported;
  ConfigResult r = Guard(
      [&] {
        std::vector<std::shared_ptr<OvikConfigStore::FilterSpecObject>> filters{
            std::make_shared<OvikConfigStore::FilterSpecObject>(ProvidersSelection())};
        exported = OpenStore()->Export(filters);
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Exception during export of config store: %s\n", what);
      });
  if (r != Success) {
    return r;
  }
  std::string digest;
  if (!Brask::Common::SslUtils::ComputeHashHex(exported, digest)) {
    Log_Level(kLogFailure, "Hash computation failed while exporting\n");
    return StoreError;
  }
  text = std::move(exported);
  hash = std::move(digest);
  return Success;
}

ConfigResult ImportConfiguration(const std::string& text) {
  return Guard(
      [&] {
        std::vector<OvikConfigStore::ErrorInfo> errors;
        if (!OpenStore()->Import(text, errors)) {
          Log_Level(kLogFailure, "Failed to import the given configuration\n");
          return StoreError;
        }
        return Success;
      },
      [](const char* what) {
        Log_Level(kLogFailure, "Exception during import of config store: %s\n", what);
      });
}

void RestoreConfiguration() {
  StorePtr store = OpenStore();
  for (const ObjectHandle& object : store->GetDesiredUserConfigInstances(ProvidersSelection())) {
    const ConfigStoreObjectId& id = object->GetConfigStoreObjectId();
    Log_Level(kLogInfo, "Restoring configuration key %s instance %s\n", kProvidersKey.c_str(),
              id.instance.c_str());
    Guard(
        [&] {
          store->SetBootStatus(id, true);
          return Success;
        },
        [&](const char* what) {
          Log_Level(kLogFailure, "Failed to restore configuration key %s instance %s: %s\n",
                    kProvidersKey.c_str(), id.instance.c_str(), what);
        });
  }
  const ConfigStoreObjectId daemonKey("zyld_config", kKmsGroup, kOvikComponent);
  Log_Level(kLogInfo, "Restoring configuration key %s\n", daemonKey.key.c_str());
  Guard(
      [&] {
        store->SetBootStatus(daemonKey, true);
        return Success;
      },
      [&](const char* what) {
        Log_Level(kLogFailure, "Failed to restore configuration key %s: %s\n",
                  daemonKey.key.c_str(), what);
      });
}

}  // namespace Zyld::ProviderConfig
