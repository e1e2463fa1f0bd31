// The provider schema of an export text: what every provider object of an import must hold so
// that it reads back as the providers service wrote it (provider_read.cpp and
// provider_secrets.cpp are the readers). Used by the raw configuration service and by
// `ovik-configstore import` before anything is replaced.
//
// A provider (top-level object, its instance the provider's name) holds:
//   master_key_id: string, 1..kMaxMasterKeyIdLength bytes
//   key_server (instance ""): type "KMIP"; optional description (string), connection_timeout
//     (integer 0..kMaxConnectionTimeout), server_cert (array of strings)
//     proxy_server (optional, instance ""): hostname (well-formed), port (integer in port range)
//     kmip_server (instance ""): optional username, credential (strings)
//       servers (one or more, instance = name): name (the instance), hostname, port
//       client_certificate (optional, instance ""): certificate, private_key (strings)
//       client_CSR (optional, instance ""): optional certificate, private_key (strings)
// Other values and sub-objects are left to the store. A problem names the provider and the
// member, never a value (values can be credentials or private keys). The parsed tree is wiped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Zyld::ProviderConfig {

// The store key of every provider object (its instance is the provider's name).
inline constexpr std::string_view kProvidersStoreKey = "providers";
inline constexpr std::string_view kProvidersStoreGroup = "kms";
inline constexpr std::string_view kProvidersStoreComponent = "ovik";

// The store's bound on an import text.
inline constexpr size_t kMaxProvidersTextSize = 16u * 1024u * 1024u;
inline constexpr size_t kMaxHostnameLength = 255;
inline constexpr size_t kMaxMasterKeyIdLength = 256;
inline constexpr int64_t kMinPort = 1;
inline constexpr int64_t kMaxPort = 65535;
// The KMIP library's bound on a connection time-out, in seconds.
inline constexpr int64_t kMaxConnectionTimeout = 86400;

struct SchemaProblem {
  std::string provider;  // empty when the text as a whole is at fault
  std::string member;    // e.g. "key_server.kmip_server.servers[s1].port"
  std::string cause;     // what is wrong, e.g. "not an integer in 1..65535"
  // One line: "provider 'p': key_server.type: missing".
  std::string Text() const;
};

// What a valid text holds.
struct ProvidersText {
  std::vector<std::string> providers;  // in text order
  std::vector<std::string> hosts;      // servers' and proxies' host names, each once
};

// Whether a text of another selection than the providers ("providers", "kms", "ovik") is refused
// (the daemon imports providers only) or passed on unchecked (the tool imports any key).
enum class OtherSelections { Refuse, Pass };

// Checks the text; nothing when it is acceptable (`found` then describes it), else the first
// problem. Texts that are no export at all are problems with Refuse and pass with Pass.
std::optional<SchemaProblem> CheckProvidersText(std::string_view text, OtherSelections others,
                                                ProvidersText& found);

// Non-empty, at most kMaxHostnameLength printable bytes, none of space, quotes, commas, braces.
bool WellFormedHostname(std::string_view host);

}  // namespace Zyld::ProviderConfig
