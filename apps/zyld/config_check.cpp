#include "config_check.h"

#include "mirel/api_provider.h"
#include "mirel/endpoint.h"
#include "state/providers.h"
#include "state/stats.h"

#include <configstore/configstore.h>
#include <harlibs/log.h>
#include <ironveil-common/firewall_utils.h>

#include <limits>
#include <stdexcept>

namespace Zyld {

namespace {

constexpr int64_t kMaxPort = 65535;
constexpr int64_t kNoUpperBound = std::numeric_limits<int64_t>::max();

struct BoundedKey {
  std::string_view key;
  IntBounds bounds;
};

const BoundedKey kBoundedKeys[] = {
    {"endpoint/port", {1, kMaxPort}},
    {"endpoint/maxConnections", {1, kNoUpperBound}},
    {"endpoint/keepAliveTimeoutSeconds", {1, kNoUpperBound}},
    {"endpoint/bodyTimeoutSeconds", {1, kNoUpperBound}},
    {"endpoint/maxBufferedBytes", {1, kNoUpperBound}},
};

bool Within(const IntBounds& bounds, int64_t value) {
  return value >= bounds.low && value <= bounds.high;
}

std::string BoundsText(const IntBounds& bounds) {
  return bounds.high == kNoUpperBound
             ? "at least " + std::to_string(bounds.low)
             : std::to_string(bounds.low) + ".." + std::to_string(bounds.high);
}

void CheckBounds(const Quorex::Service::ConfigValues& values, std::vector<std::string>& problems) {
  for (const BoundedKey& bounded : kBoundedKeys) {
    const std::string key(bounded.key);
    int64_t value = 0;
    if (values.GetInt(key, &value) && !Within(bounded.bounds, value)) {
      problems.push_back(key + ": " + std::to_string(value) + " is not " +
                         BoundsText(bounded.bounds));
    }
  }
}

void CheckFirewall(const Quorex::Service::ConfigValues& values,
                   std::vector<std::string>& problems) {
  std::string backend;
  values.GetString("firewall/backend", &backend);
  if (!Brask::Common::FirewallUtils::IsKnownBackend(backend)) {
    problems.push_back("firewall/backend: unknown backend '" + backend + "'");
  }
}

}  // namespace

void SetStartupDefaults(Quorex::Service::Config& scratch) {
  Quorex::Service::ConfigValues& values = scratch.Values();
  values.SetString("configStore/path", OvikConfigStore::kDefaultDbPath);
  values.SetString("audit/path", ZylApi::kDefaultAuditPath);
  values.SetString("firewall/backend", Brask::Common::FirewallUtils::kDefaultBackend);
  values.SetString("metadata/path", ZylApi::kDefaultMetadataPath);
  values.SetInt("endpoint/port", ZylApi::kDefaultPort);
  const ZylApi::EndpointLimits limits;
  values.SetInt("endpoint/maxConnections", static_cast<int64_t>(limits.maxConnections));
  values.SetInt("endpoint/keepAliveTimeoutSeconds", limits.keepAliveTimeout.count());
  values.SetInt("endpoint/bodyTimeoutSeconds", limits.bodyTimeout.count());
  values.SetInt("endpoint/maxBufferedBytes", static_cast<int64_t>(limits.maxBufferedBytes));
  values.SetInt("statsLogIntervalSeconds", Stats::kMinStatsIntervalSeconds);
  const State::ProvidersSettings providers;
  values.SetBool("caching", providers.caching);
  values.SetInt("statusUpdateIntervalSeconds", providers.statusUpdateIntervalSeconds);
  values.SetInt("cacheStaleTimeoutSeconds", providers.cacheStaleTimeoutSeconds);
  values.SetInt(State::kKeyServerThreadsKey, providers.keyServers.threads);
  values.SetInt(State::kKeyServerJobsPerProviderKey, providers.keyServers.jobsPerProvider);
  values.SetInt(State::kKeyServerQueuePerProviderKey, providers.keyServers.queuePerProvider);
}

std::optional<IntBounds> BoundsOf(std::string_view key) {
  for (const BoundedKey& bounded : kBoundedKeys) {
    if (bounded.key == key) {
      return bounded.bounds;
    }
  }
  return std::nullopt;
}

int64_t BoundedSetting(const Quorex::Service::ConfigValues& values, const char* key,
                       int64_t fallback) {
  int64_t value = fallback;
  values.GetInt(key, &value);
  const std::optional<IntBounds> bounds = BoundsOf(key);
  if (bounds && !Within(*bounds, value)) {
    Log_Level(kLogFailure, "Invalid %s %lld, using %lld\n", key, static_cast<long long>(value),
              static_cast<long long>(fallback));
    return fallback;
  }
  return value;
}

std::vector<std::string> CheckConfigFile(const std::string& path) {
  Quorex::Service::Config config;
  Quorex::Service::SetPlatformDefaults(config.Values());
  SetStartupDefaults(config);
  std::vector<std::string> unknownKeys;
  try {
    Quorex::Service::LoadConfigFile(config, path, &unknownKeys);
  } catch (const std::runtime_error& e) {
    return {e.what()};
  }
  std::vector<std::string> problems;
  for (const std::string& key : unknownKeys) {
    problems.push_back(key + ": unknown key (ignored by the daemon)");
  }
  CheckBounds(config.Values(), problems);
  CheckFirewall(config.Values(), problems);
  return problems;
}

}  // namespace Zyld
