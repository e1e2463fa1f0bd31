// Feeds arbitrary bytes to the configuration store's Import on an in-memory store. Whatever is
// accepted must export and import again to the same text.
#include <configstore/configstore.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace OvikConfigStore;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::shared_ptr<ConfigStore> store = ConfigStore::Open(":memory:");
  static const std::vector<std::shared_ptr<FilterSpecObject>> selection = {
      std::make_shared<FilterSpecObject>(ConfigStoreObjectId("providers", "kms", "ovik"))};
  std::vector<ErrorInfo> errors;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!store->Import(text, errors)) {
    if (errors.empty()) {
      std::abort();  // a rejection always says why
    }
    return 0;
  }
  const std::string first = store->Export(selection);
  if (!store->Import(first, errors) || store->Export(selection) != first) {
    std::abort();
  }
  return 0;
}
