#include <mirel/metadata.h>
#include <mirel/metadata_gen.h>

namespace Mirel::Metadata {
namespace {

boost::json::array Strings(const std::vector<std::string>& items) {
  boost::json::array array;
  for (const auto& item : items) {
    array.emplace_back(item);
  }
  return array;
}

std::string CliNamespace(const std::string& serviceId, const DocumentOptions& options) {
  if (!options.cliPrefixToStrip.empty() && serviceId.starts_with(options.cliPrefixToStrip)) {
    return serviceId.substr(options.cliPrefixToStrip.size());
  }
  return serviceId;
}

boost::json::object Component(const std::string& name, const DocumentOptions& options) {
  return boost::json::object{
      {name,
       boost::json::object{{"name", name},
                           {"version", options.version},
                           {"packages", boost::json::array{boost::json::value(options.package)}}}}};
}

boost::json::object Metamodel(const std::vector<Binding::ServiceMetadata>& services,
                              const DocumentOptions& options) {
  TypeRegistry registry;
  boost::json::object service;
  boost::json::object serviceOperation;
  std::vector<std::string> serviceIds;
  for (const auto& svc : services) {
    std::vector<std::string> opIds;
    boost::json::object ops;
    for (const auto& op : svc.operations) {
      opIds.push_back(op.id);
      boost::json::value description = op.describe(registry);
      description.as_object()["errors"] = Strings(op.errors);
      ops[op.id] = std::move(description);
    }
    service[svc.id] = boost::json::object{{"operations", Strings(opIds)}};
    serviceOperation[svc.id] = std::move(ops);
    serviceIds.push_back(svc.id);
  }
  return boost::json::object{
      {"component", Component(options.metamodelComponent, options)},
      {"package", boost::json::object{{options.package,
                                       boost::json::object{{"services", Strings(serviceIds)}}}}},
      {"service", std::move(service)},
      {"service.operation", std::move(serviceOperation)},
      {"structure", std::move(registry.structures)},
      {"enumeration", std::move(registry.enumerations)},
      {"resource", boost::json::object()},
      {"resource.model", boost::json::object()},
      {"service.hidden", boost::json::object()}};
}

boost::json::object Cli(const std::vector<Binding::ServiceMetadata>& services,
                        const DocumentOptions& options) {
  TypeRegistry registry;
  boost::json::object namespaces;
  boost::json::object commands;
  for (const auto& svc : services) {
    const std::string ns = CliNamespace(svc.id, options);
    std::vector<std::string> names;
    for (const auto& op : svc.operations) {
      const boost::json::value description = op.describe(registry);
      commands[ns + "." + op.id] =
          boost::json::object{{"namespace", ns},
                              {"name", op.id},
                              {"service", svc.id},
                              {"operation", op.id},
                              {"options", description.at("input").at("fields")}};
      names.push_back(op.id);
    }
    namespaces[ns] = boost::json::object{{"name", ns}, {"commands", Strings(names)}};
  }
  return boost::json::object{{"namespace", std::move(namespaces)},
                             {"command", std::move(commands)}};
}

boost::json::object Authentication(const std::vector<Binding::ServiceMetadata>& services,
                                   const DocumentOptions& options) {
  const auto schemes = [&options] {
    return boost::json::object{
        {"schemes", boost::json::array{boost::json::value(options.authenticationScheme)}}};
  };
  boost::json::object service;
  boost::json::object serviceOperation;
  for (const auto& svc : services) {
    service[svc.id] = schemes();
    boost::json::object ops;
    for (const auto& op : svc.operations) {
      ops[op.id] = schemes();
    }
    serviceOperation[svc.id] = std::move(ops);
  }
  return boost::json::object{{"component", Component(options.authenticationComponent, options)},
                             {"package", boost::json::object{{options.package, schemes()}}},
                             {"service", std::move(service)},
                             {"service.operation", std::move(serviceOperation)}};
}

boost::json::object Authorization(const std::vector<Binding::ServiceMetadata>& services) {
  boost::json::object entitlements;
  for (const auto& svc : services) {
    for (const auto& op : svc.operations) {
      for (const auto& entitlement : op.entitlements) {
        auto& list = entitlements[entitlement];
        if (!list.is_array()) {
          list = boost::json::array();
        }
        list.as_array().emplace_back(svc.id + "." + op.id);
      }
    }
  }
  return boost::json::object{{"entitlements", std::move(entitlements)}};
}

}  // namespace

boost::json::object BuildMetadataDocument(const std::vector<Binding::ServiceMetadata>& services,
                                          const DocumentOptions& options) {
  return boost::json::object{{kCliSection, Cli(services, options)},
                             {kMetamodelSection, Metamodel(services, options)},
                             {kAuthenticationSection, Authentication(services, options)},
                             {kAuthorizationSection, Authorization(services)}};
}

}  // namespace Mirel::Metadata
