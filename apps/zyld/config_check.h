// The daemon's configuration as data: the defaults it registers, the integer settings it refuses
// outside their bounds, and a check of a whole file (for a command-line check before a restart).
// The daemon and the check share these, so a file the check passes starts without complaint.
#pragma once

#include <quorex/quorex.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Zyld {

// Registers in a scratch configuration the default of every key the daemon reads beyond the
// service library's own, each taken from the component that reads the key; a file value must then
// have the type of the default.
void SetStartupDefaults(Quorex::Service::Config& scratch);

// The range an integer setting must lie in; outside it the daemon logs the value and uses the
// default.
struct IntBounds {
  int64_t low;
  int64_t high;
};

// The bounds of key; nullopt when the daemon does not bound it this way.
std::optional<IntBounds> BoundsOf(std::string_view key);

// The value of a bounded key in values when it lies within its bounds; otherwise fallback, logged
// when a value was present.
int64_t BoundedSetting(const Quorex::Service::ConfigValues& values, const char* key,
                       int64_t fallback);

// The problems of the configuration file at path, one sentence each; empty when the daemon would
// take it as it is: a file that cannot be read or parsed (including a value of the wrong type),
// each key the daemon does not know, each bounded integer outside its bounds, and a firewall
// backend that does not exist.
std::vector<std::string> CheckConfigFile(const std::string& path);

}  // namespace Zyld
