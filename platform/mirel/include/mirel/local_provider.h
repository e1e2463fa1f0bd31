// The innermost stage of the call pipeline: routes "service.operation" to the bound interfaces and
// serves the introspection services over them. OpIdProvider is the stage near the outside that
// answers an unknown operation (operation_not_found) before authentication and authorisation run.
//
// Typical assembly (outermost first):
//   registrar → OpIdProvider → AsyncAuthnFilter(s) → AsyncAuthzFilter → statistics → LocalProvider
#pragma once

#include <mirel/binding.h>
#include <mirel/metadata.h>
#include <mirel/provider.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Mirel {

// Immutable map service id → bound interface.
class ServiceTable {
 public:
  explicit ServiceTable(const std::vector<Binding::BoundInterfacePtr>& interfaces);
  const Binding::BoundInterface* Find(std::string_view serviceId) const;
  const Binding::BoundOperation* Resolve(std::string_view serviceId,
                                         std::string_view operationId) const;
  std::vector<std::string> ServiceIds() const;  // sorted

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  std::unordered_map<std::string, Binding::BoundInterfacePtr, Hash, std::equal_to<>> services_;
};

class OperationResolver {
 public:
  virtual ~OperationResolver() = default;
  virtual bool Exists(std::string_view serviceId, std::string_view operationId) const = 0;
};

class LocalProvider final : public ApiProvider, public OperationResolver {
 public:
  explicit LocalProvider(std::shared_ptr<const ServiceTable> table);
  void Invoke(std::shared_ptr<CallContext> ctx, ApiRequest request,
              CompletionCallback done) override;
  bool Exists(std::string_view serviceId, std::string_view operationId) const override;
  const ServiceTable& Table() const { return *table_; }

 private:
  std::shared_ptr<const ServiceTable> table_;
};

// The provider over `interfaces` plus the introspection services; `metamodel` (may be null)
// supplies the operation descriptions and the checksum of introspection.
std::shared_ptr<LocalProvider> CreateLocalProvider(
    const std::vector<Binding::BoundInterfacePtr>& interfaces,
    std::shared_ptr<const Metadata::MetadataContainer> metamodel, std::string providerId = "zyld");

class OpIdProvider final : public ApiProvider {
 public:
  OpIdProvider(ApiProviderPtr inner, std::shared_ptr<const OperationResolver> resolver);
  void Invoke(std::shared_ptr<CallContext> ctx, ApiRequest request,
              CompletionCallback done) override;

 private:
  ApiProviderPtr inner_;
  std::shared_ptr<const OperationResolver> resolver_;
};

}  // namespace Mirel
