// Assembly of the API provider the endpoint serves. CreateApiProvider loads the API metadata
// from "metadata/path" (a missing or broken file stops the process: the daemon does not run
// without it) and hands it to CreateLocalProvider, which binds the service implementations over
// the provider registry and wraps them, innermost first, in: latency, traffic and error
// statistics, authorisation, one authentication stage per token handler (attestation, then the
// host's administration tokens outside it), operation resolution and identifiers, and outermost
// the call registrar that writes one audit record per call through the audit callback.
#pragma once

#include "include/logger.h"
#include "state/providers.h"

#include <ironveil-common/quorex_mirel.h>
#include <mirel/authn.h>
#include <mirel/authz.h>
#include <mirel/messages.h>
#include <mirel/metadata.h>
#include <mirel/provider.h>
#include <quorex/quorex.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Zyld::ZylApi {

inline constexpr const char* kDefaultMetadataPath = "/usr/lib/velora/mirel/zyl_mirel_metadata.json";
inline constexpr const char* kDefaultAuditPath = "/var/log/velora/zyld/audit.log";
inline constexpr const char* kAuditEventId = "api.call";
// Longest service or operation name written to an audit record (longer ones are cut).
inline constexpr size_t kMaxAuditNameLength = 256;

using AttributeMap = std::map<std::string, std::string>;
using LocalizerPtr = std::shared_ptr<const Mirel::L10n::Localizer>;
using LogBridgePtr = std::shared_ptr<MirelLoggerWrapper>;
using TrafficTrackerPtr = std::shared_ptr<Brask::Common::QuorexMirel::TrafficTracker>;
using ErrorsTrackerPtr = std::shared_ptr<Brask::Common::QuorexMirel::ErrorsTracker>;

// The call's attribute map and whether it succeeded; writes the call's audit record.
using AuditCallback = std::function<void(AttributeMap* attributes, bool success)>;

// The daemon's audit callback: puts "result", drops any attribute whose name suggests a secret
// (token, key, password, secret, credential) and writes the record with VlrAudit_LogList. A null
// map is a fatal check.
void AuditCall(AttributeMap* attributes, bool success);

// The four sections of the metadata file.
struct ApiMetadata {
  std::shared_ptr<Mirel::Metadata::MetadataContainer> cli;
  std::shared_ptr<Mirel::Metadata::MetadataContainer> metamodel;
  std::shared_ptr<Mirel::Metadata::MetadataContainer> authentication;
  std::shared_ptr<const Mirel::Authz::AuthzInfo>
      authz;  // the no-authentication grants + the file's
};

// Loads every section of the metadata file, logging each step; any failure is fatal.
ApiMetadata LoadApiMetadata(const std::string& path);

// What the pipeline is built over; each empty member means the daemon's own.
struct ProviderOptions {
  State::Providers* registry = nullptr;  // Providers::Instance()
  // Token handlers, innermost first: [KmsAuthTokenHandler, the host's administration handler].
  std::vector<std::shared_ptr<Mirel::Authn::Authenticator>> tokenHandlers;
  AuditCallback audit;  // AuditCall
};

// "metadata/path" of the configuration, else kDefaultMetadataPath.
std::string MetadataPath(const Quorex::Service::ConfigValues& values);

// The host's administration certificate (store object certificate/authn/ovik, value
// "certificate"); nullopt when absent, empty or unreadable.
std::optional<std::string> ReadAdministrationCertificate();

// Start-up's entry: metadata from the application's configuration.
Mirel::ApiProviderPtr CreateApiProvider(LocalizerPtr localizer, LogBridgePtr logBridge,
                                        TrafficTrackerPtr traffic, ErrorsTrackerPtr errors);
Mirel::ApiProviderPtr CreateApiProvider(const std::string& metadataPath, LocalizerPtr localizer,
                                        LogBridgePtr logBridge, TrafficTrackerPtr traffic,
                                        ErrorsTrackerPtr errors, ProviderOptions options = {});

// Binds the services and wraps the stages; starts the trackers' scheduling.
Mirel::ApiProviderPtr CreateLocalProvider(const ApiMetadata& metadata, LocalizerPtr localizer,
                                          LogBridgePtr logBridge, TrafficTrackerPtr traffic,
                                          ErrorsTrackerPtr errors, ProviderOptions options = {});

}  // namespace Zyld::ZylApi
