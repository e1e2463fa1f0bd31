// Feeds arbitrary bytes to the provider schema check. An accepted providers text is accepted in
// both modes and yields named providers and well-formed, distinct hosts; a problem names a member.
#include "configstore/provider_schema.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace PC = Zyld::ProviderConfig;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  PC::ProvidersText found;
  const auto refused = PC::CheckProvidersText(text, PC::OtherSelections::Refuse, found);
  if (refused) {
    if (refused->member.empty()) {
      std::abort();
    }
    return 0;
  }
  PC::ProvidersText passed;
  if (PC::CheckProvidersText(text, PC::OtherSelections::Pass, passed)) {
    std::abort();
  }
  for (auto it = found.hosts.begin(); it != found.hosts.end(); ++it) {
    if (!PC::WellFormedHostname(*it) || std::find(found.hosts.begin(), it, *it) != it) {
      std::abort();
    }
  }
  if (std::any_of(found.providers.begin(), found.providers.end(),
                  [](const std::string& p) { return p.empty(); })) {
    std::abort();
  }
  return 0;
}
