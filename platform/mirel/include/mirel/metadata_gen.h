// Builds the metadata document of an API from its service tables: the "cli", "metamodel",
// "authentication" and "authorization" sections (see metadata.h and authz.h for their shapes).
#pragma once

#include <mirel/binding.h>

#include <boost/json/object.hpp>

#include <string>
#include <vector>

namespace Mirel::Metadata {

struct DocumentOptions {
  std::string cliComponent = "zyl_mirel_cli";
  std::string metamodelComponent = "zyl_mirel_metamodel";
  std::string authenticationComponent = "zyl_mirel_authentication";
  std::string package;           // e.g. "com.velora.ovik.kms"
  std::string cliPrefixToStrip;  // e.g. "com.velora.ovik." → CLI namespace "kms.providers"
  std::string authenticationScheme = "com.velora.mirel.std.security.oauth";
  std::string version = "1.0.0";
};

boost::json::object BuildMetadataDocument(const std::vector<Binding::ServiceMetadata>& services,
                                          const DocumentOptions& options);

}  // namespace Mirel::Metadata
