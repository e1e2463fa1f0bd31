// Validation of the providers service's input. Each check returns the parameter path of the first
// problem (the path callers see in the invalid-argument error), or nothing when the input is
// acceptable. Paths are fixed by the API, including their spelling ("server.Name",
// "server.adress"). Comparisons are exact and case-sensitive.
//
// Beyond emptiness and uniqueness: a host name is well-formed (WellFormedHostname); a port is
// 1..65535; a connection time-out is 0..kMaxConnectionTimeout (the KMIP library's bound); a master
// key identifier is at most kMaxMasterKeyIdLength bytes.
#pragma once

#include "configstore/provider_schema.h"

#include <zyl-bindings/records.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Com::Velora::Ovik::Kms::ProvidersSvc {

// The bounds are the store schema's (configstore/provider_schema.h), so that what the service
// accepts is what an import accepts.
using ::Zyld::ProviderConfig::kMaxMasterKeyIdLength;
using ::Zyld::ProviderConfig::kMaxPort;
using ::Zyld::ProviderConfig::kMinPort;
inline constexpr int64_t kDefaultProxyPort = 443;
inline constexpr int64_t kDefaultServerPort = 5696;

using Problem = std::optional<std::string_view>;

// The server list: non-empty; names non-empty and distinct; host names well-formed, distinct
// and not the proxy's (when one is given); ports in range.
Problem ValidateServers(const std::vector<Server>& servers,
                        const std::optional<std::string>& proxyHostname);
Problem ValidateCreate(const CreateSpec& spec);
Problem ValidateUpdate(const std::string& provider, const UpdateSpec& spec);

}  // namespace Com::Velora::Ovik::Kms::ProvidersSvc
