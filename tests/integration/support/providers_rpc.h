// Calls of the providers service for the integration tests: parameter texts and the error type
// of an answer.
#pragma once

#include "rpc.h"

#include <string>
#include <vector>

namespace ZyldIt {

inline constexpr const char* kProviders = "com.velora.ovik.kms.providers.";
inline constexpr const char* kErrors = "com.velora.mirel.std.errors.";

inline std::string Op(const std::string& name) { return kProviders + name; }

inline std::string ErrorType(const boost::json::value& answer) {
  return StringAt(answer, {"error", "data", "type"});
}

// A create spec: servers by host name (named after them) and an optional proxy.
inline std::string CreateParams(const std::string& id, const std::vector<std::string>& hosts,
                                const std::string& proxy = {}, int port = 5696) {
  boost::json::array servers;
  for (const std::string& host : hosts) {
    servers.push_back({{"name", "n-" + host}, {"address", {{"hostname", host}, {"port", port}}}});
  }
  boost::json::object keyServer{{"type", "KMIP"}, {"kmipServer", {{"servers", servers}}}};
  if (!proxy.empty()) keyServer["proxyServer"] = {{"hostname", proxy}};
  return boost::json::serialize(boost::json::object{
      {"spec", {{"provider", id}, {"masterKeyId", "mk-" + id}, {"keyServer", keyServer}}}});
}

inline std::string IdParams(const std::string& id) {
  return boost::json::serialize(boost::json::object{{"provider", id}});
}

}  // namespace ZyldIt
