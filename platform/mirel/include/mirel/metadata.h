// Metadata of the API: the sections of the metadata file and the services that serve them.
//
// A section ("cli", "metamodel", "authentication") is a JSON object of collections, each an object
// keyed by item id ("command", "namespace", "component", "package", "service", "structure",
// "enumeration", "resource", "resource.model", "service.hidden", and "service.operation" keyed by
// service id and then operation id). The services "com.velora.mirel.metadata.<kind>.<collection>"
// answer: list() → [ids]; get(id) → the item (not_found when absent); fingerprint() → SHA-256 hex
// of the collection; service.operation list(serviceId) and get(serviceId, operationId).
#pragma once

#include <harlibs/status.h>
#include <mirel/binding.h>

#include <boost/json/object.hpp>

#include <memory>
#include <string>
#include <vector>

namespace Mirel::Metadata {

inline constexpr const char* kCliSection = "cli";
inline constexpr const char* kMetamodelSection = "metamodel";
inline constexpr const char* kAuthenticationSection = "authentication";
inline constexpr const char* kAuthorizationSection = "authorization";

class MetadataContainer : public std::enable_shared_from_this<MetadataContainer> {
 public:
  // Takes `section` of kind `kind` ("cli", "metamodel" or "authentication").
  Har::Status Load(std::string componentName, std::string kind, const boost::json::value& section);

  const std::string& ComponentName() const { return componentName_; }
  const std::string& Kind() const { return kind_; }
  const boost::json::object& Section() const { return section_; }
  // SHA-256 hex of the serialised section.
  const std::string& Checksum() const { return checksum_; }
  // The item `id` of collection `collection`, or nullptr.
  const boost::json::value* Item(std::string_view collection, std::string_view id) const;

  // The metadata services of this container's kind, bound to it (the container must be owned by
  // a shared_ptr).
  std::vector<Binding::BoundInterfacePtr> Interfaces() const;

 private:
  std::string componentName_;
  std::string kind_;
  boost::json::object section_;
  std::string checksum_;
};

// Reads the metadata file and loads one section into a container.
struct ProviderHelper {
  static Har::Status LoadCliMetadataFile(const std::string& componentName, const std::string& path,
                                         MetadataContainer& container);
  static Har::Status LoadMetamodelMetadataFile(const std::string& componentName,
                                               const std::string& path,
                                               MetadataContainer& container);
  static Har::Status LoadAuthenticationMetadataFile(const std::string& componentName,
                                                    const std::string& path,
                                                    MetadataContainer& container);
  // The whole file as JSON (bounded size).
  static Har::Status ReadMetadataFile(const std::string& path, boost::json::value& out);
};

std::string Sha256Hex(std::string_view data);

}  // namespace Mirel::Metadata
