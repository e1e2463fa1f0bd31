// Where the daemon's configuration file is: the file named by the environment variable
// ZYLD_CONFIG when it is set and not empty, else the installed path. Shared by the daemon and the
// tools that read its configuration.
#pragma once

#include <quorex/quorex.h>

#include <string>

namespace Zyld {

inline constexpr const char* kConfigFileVariable = "ZYLD_CONFIG";
inline constexpr const char* kDefaultConfigFile = "/etc/velora/cpservices/zyld/config.xml";

inline std::string ConfigFilePath() {
  return Quorex::Service::ConfigFilePath(kConfigFileVariable, kDefaultConfigFile);
}

}  // namespace Zyld
