#include <mirel/local_provider.h>

#include <mirel/activation.h>

#include "framework_ops.h"

#include <algorithm>
#include <optional>

namespace Mirel {
namespace {

constexpr const char* kIntrospection = "com.velora.mirel.std.introspection.";

boost::json::value Strings(const std::vector<std::string>& items) {
  boost::json::array array;
  array.reserve(items.size());
  for (const auto& item : items) {
    array.emplace_back(item);
  }
  return array;
}

// The introspection services answer over the application's table and list themselves too.
class Introspection {
 public:
  Introspection(std::shared_ptr<const ServiceTable> table,
                std::shared_ptr<const Metadata::MetadataContainer> metamodel,
                std::string providerId)
      : table_(std::move(table)),
        metamodel_(std::move(metamodel)),
        providerId_(std::move(providerId)) {}

  static std::vector<Binding::BoundInterfacePtr> Interfaces(
      const std::shared_ptr<Introspection>& self);

 private:
  struct OwnService {
    const char* id;
    std::vector<std::string> operations;
  };

  static const std::vector<OwnService>& Own() {
    static const std::vector<OwnService> own{
        {"com.velora.mirel.std.introspection.operation", {"list", "get"}},
        {"com.velora.mirel.std.introspection.provider", {"get"}},
        {"com.velora.mirel.std.introspection.service", {"list", "get"}}};
    return own;
  }

  // The operation ids of a service, or nullopt when there is no such service.
  std::optional<std::vector<std::string>> Operations(std::string_view serviceId) const {
    if (const auto* iface = table_->Find(serviceId)) {
      return iface->OperationIds();
    }
    for (const auto& own : Own()) {
      if (serviceId == own.id) {
        return own.operations;
      }
    }
    return std::nullopt;
  }

  MethodResult ProviderGet() const {
    return MethodResult::Value(boost::json::object{
        {"id", providerId_}, {"checksum", metamodel_ ? metamodel_->Checksum() : std::string()}});
  }

  MethodResult ServiceList() const {
    auto ids = table_->ServiceIds();
    for (const auto& own : Own()) {
      ids.emplace_back(own.id);
    }
    std::sort(ids.begin(), ids.end());
    return MethodResult::Value(Strings(ids));
  }

  MethodResult OperationIds(std::string_view serviceId, bool wrapped) const {
    auto ids = Operations(serviceId);
    if (!ids) {
      return Framework::NotFound("service", serviceId);
    }
    if (!wrapped) {
      return MethodResult::Value(Strings(*ids));
    }
    return MethodResult::Value(boost::json::object{{"operations", Strings(*ids)}});
  }

  MethodResult OperationGet(const Framework::OperationParams& p) const {
    const auto ids = Operations(p.serviceId);
    if (!ids || std::find(ids->begin(), ids->end(), p.operationId) == ids->end()) {
      return Framework::NotFound("operation", p.serviceId + "." + p.operationId);
    }
    const boost::json::value* described =
        metamodel_ ? metamodel_->Item("service.operation", p.serviceId) : nullptr;
    const boost::json::value* op = nullptr;
    if (described != nullptr && described->is_object()) {
      op = described->get_object().if_contains(p.operationId);
    }
    if (op != nullptr) {
      return MethodResult::Value(*op);
    }
    // The framework's own operations are not in the application's metamodel.
    return MethodResult::Value(
        boost::json::object{{"input", boost::json::object{{"fields", boost::json::array()}}},
                            {"output", "any"},
                            {"errors", boost::json::array()}});
  }

  std::shared_ptr<const ServiceTable> table_;
  std::shared_ptr<const Metadata::MetadataContainer> metamodel_;
  std::string providerId_;
};

std::vector<Binding::BoundInterfacePtr> Introspection::Interfaces(
    const std::shared_ptr<Introspection>& self) {
  using namespace Framework;
  auto provider =
      std::make_shared<Binding::TableInterface>(std::string(kIntrospection) + "provider");
  provider->Add("get",
                MakeOperation<NoParams>([self](const NoParams&) { return self->ProviderGet(); }));
  auto service = std::make_shared<Binding::TableInterface>(std::string(kIntrospection) + "service");
  service->Add("list",
               MakeOperation<NoParams>([self](const NoParams&) { return self->ServiceList(); }));
  service->Add("get", MakeOperation<IdParams>(
                          [self](const IdParams& p) { return self->OperationIds(p.id, true); }));
  auto operation =
      std::make_shared<Binding::TableInterface>(std::string(kIntrospection) + "operation");
  operation->Add("list", MakeOperation<ServiceIdParams>([self](const ServiceIdParams& p) {
                   return self->OperationIds(p.serviceId, false);
                 }));
  operation->Add("get", MakeOperation<OperationParams>(
                            [self](const OperationParams& p) { return self->OperationGet(p); }));
  return {provider, service, operation};
}

}  // namespace

ServiceTable::ServiceTable(const std::vector<Binding::BoundInterfacePtr>& interfaces) {
  for (const auto& iface : interfaces) {
    services_.emplace(iface->ServiceId(), iface);
  }
}

const Binding::BoundInterface* ServiceTable::Find(std::string_view serviceId) const {
  const auto it = services_.find(serviceId);
  return it == services_.end() ? nullptr : it->second.get();
}

const Binding::BoundOperation* ServiceTable::Resolve(std::string_view serviceId,
                                                     std::string_view operationId) const {
  const auto* iface = Find(serviceId);
  return iface == nullptr ? nullptr : iface->FindOperation(operationId);
}

std::vector<std::string> ServiceTable::ServiceIds() const {
  std::vector<std::string> ids;
  ids.reserve(services_.size());
  for (const auto& entry : services_) {
    ids.push_back(entry.first);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

LocalProvider::LocalProvider(std::shared_ptr<const ServiceTable> table)
    : table_(std::move(table)) {}

void LocalProvider::Invoke(std::shared_ptr<CallContext> ctx, ApiRequest request,
                           CompletionCallback done) {
  const auto* operation = table_->Resolve(request.serviceId, request.operationId);
  if (operation == nullptr) {
    done(MethodResult::Error(OperationNotFoundError(request.serviceId, request.operationId)));
    return;
  }
  CallActivation current(ctx.get());
  operation->Invoke(request.params, std::move(done));
}

bool LocalProvider::Exists(std::string_view serviceId, std::string_view operationId) const {
  return table_->Resolve(serviceId, operationId) != nullptr;
}

std::shared_ptr<LocalProvider> CreateLocalProvider(
    const std::vector<Binding::BoundInterfacePtr>& interfaces,
    std::shared_ptr<const Metadata::MetadataContainer> metamodel, std::string providerId) {
  auto base = std::make_shared<const ServiceTable>(interfaces);
  auto introspection =
      std::make_shared<Introspection>(base, std::move(metamodel), std::move(providerId));
  auto all = interfaces;
  for (auto& iface : Introspection::Interfaces(introspection)) {
    all.push_back(std::move(iface));
  }
  return std::make_shared<LocalProvider>(std::make_shared<const ServiceTable>(all));
}

OpIdProvider::OpIdProvider(ApiProviderPtr inner, std::shared_ptr<const OperationResolver> resolver)
    : inner_(std::move(inner)), resolver_(std::move(resolver)) {}

void OpIdProvider::Invoke(std::shared_ptr<CallContext> ctx, ApiRequest request,
                          CompletionCallback done) {
  if (!resolver_->Exists(request.serviceId, request.operationId)) {
    done(MethodResult::Error(OperationNotFoundError(request.serviceId, request.operationId)));
    return;
  }
  inner_->Invoke(std::move(ctx), std::move(request), std::move(done));
}

}  // namespace Mirel
