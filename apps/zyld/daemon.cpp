#include "daemon.h"

#include "config_check.h"
#include "configstore/provider_config.h"
#include "include/logger.h"
#include "mirel/endpoint.h"
#include "mirel/message_resolver.h"
#include "mirel/api_provider.h"
#include "service_notify.h"
#include "state/firewall.h"
#include "state/providers.h"
#include "state/stats.h"

#include <configstore/configstore.h>
#include <corvexctl/corvexctl.h>
#include <harlibs/audit.h>
#include <harlibs/dirs.h>
#include <harlibs/feature.h>
#include <harlibs/log.h>
#include <harlibs/ssl.h>
#include <ironveil-common/firewall_utils.h>
#include <ironveil-common/quorex_mirel.h>
#include <ironveil-common/signal_utils.h>
#include <quorex/system.h>
#include <zyld/config_file.h>

#include <boost/asio/io_context.hpp>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iostream>

#ifndef ZYLD_BUILD_NUMBER
#define ZYLD_BUILD_NUMBER 0
#endif

namespace Zyld {

namespace {

using Brask::Common::QuorexMirel::ErrorsTracker;
using Brask::Common::QuorexMirel::TrafficTracker;

// The objects start-up creates and holds for the life of the process. The endpoint is declared
// after the I/O context it runs on, so it goes first.
struct DaemonObjects {
  std::shared_ptr<TrafficTracker> trafficTracker;
  std::shared_ptr<ErrorsTracker> errorsTracker;
  std::shared_ptr<Quorex::Service::Logger> zyldLogger;
  std::shared_ptr<ZylApi::MirelLoggerWrapper> logBridge;
  std::shared_ptr<const Mirel::L10n::Localizer> localizer;
  Mirel::ApiProviderPtr apiProvider;
  std::unique_ptr<boost::asio::io_context> io;
  std::unique_ptr<ZylApi::Endpoint> endpoint;
};

// Start-up, before the platform is set up: registers the defaults, names the program and sets the
// service library up from the configuration file.
void InitQuorex() {
  std::shared_ptr<Quorex::Service::Config> scratch;
  Quorex::Service::CreateScratchConfig(scratch);
  SetStartupDefaults(*scratch);
  Quorex::Service::SetAppInfo(kAppName, kAppVersion, ZYLD_BUILD_NUMBER);
  const std::string path = ConfigFilePath();
  try {
    Quorex::Service::InitApp(scratch, path);
  } catch (const std::exception& e) {
    std::cerr << "Initializing quorex failed: " << e.what() << std::endl;
  }
  Log_Level(kLogInfo, "Starting %s %s (build %d) with configuration %s\n", kAppName, kAppVersion,
            ZYLD_BUILD_NUMBER, path.c_str());
}

// Opens the audit file the configuration names, creating its directory owner-only; false (logged)
// when it cannot be opened: a daemon whose calls leave no records does not serve.
bool OpenAuditFile(const Quorex::Service::ConfigValues& values) {
  std::string path = ZylApi::kDefaultAuditPath;
  values.GetString("audit/path", &path);
  if (path.empty()) {
    VlrAudit_Configure(path);
    Log_Level(kLogNotable, "Audit records are off (audit/path is empty)\n");
    return true;
  }
  std::string dir;
  int err = Har::CreateParentDirectories(path, Har::kPrivateDirMode, &dir);
  if (err == 0) {
    err = VlrAudit_Open(path);
  }
  if (err != 0) {
    Log_Level(kLogFailure, "Cannot open audit file %s: %s. Exiting.\n", path.c_str(),
              strerror(err));
    return false;
  }
  return true;
}

// Points the store, the audit file and the firewall at what the configuration in effect names.
// False (logged) when the audit file cannot be opened or the firewall backend is unknown: the
// daemon never runs without its records or the rules it was asked for.
bool ConfigurePlatform() {
  const Quorex::Service::ConfigValues& values = Quorex::Service::GetApp().GetConfig().Values();
  std::string storePath = OvikConfigStore::kDefaultDbPath;
  values.GetString("configStore/path", &storePath);
  OvikConfigStore::ConfigStore::Configure(storePath);
  if (!OpenAuditFile(values)) {
    return false;
  }
  std::string backend = Brask::Common::FirewallUtils::kDefaultBackend;
  values.GetString("firewall/backend", &backend);
  if (!Brask::Common::FirewallUtils::Configure(backend).ok()) {
    Log_Level(kLogFailure, "Unknown firewall backend '%s'. Exiting.\n", backend.c_str());
    return false;
  }
  return true;
}

void RegisterWithHost() {
  std::shared_ptr<HostCtl::Host::SystemInfo> info = HostCtl::Host::GetSystemInfo();
  info->LogProcess(getpid(), 0);
}

// The endpoint's TCP port: "endpoint/port" when it is a valid port, else the default.
uint32_t EndpointPort() {
  return static_cast<uint32_t>(BoundedSetting(Quorex::Service::GetApp().GetConfig().Values(),
                                              "endpoint/port", ZylApi::kDefaultPort));
}

// A positive integer setting of the endpoint, else (logged when present) `fallback`.
int64_t EndpointSetting(const char* key, int64_t fallback) {
  return BoundedSetting(Quorex::Service::GetApp().GetConfig().Values(), key, fallback);
}

// The endpoint's limits from the configuration; the connection cap also leaves room for the
// daemon's other descriptors under the open-file limit, which is first raised to its hard limit.
ZylApi::EndpointLimits EndpointLimits() {
  const ZylApi::EndpointLimits defaults;
  ZylApi::EndpointLimits limits;
  auto configured = static_cast<size_t>(
      EndpointSetting("endpoint/maxConnections", static_cast<int64_t>(defaults.maxConnections)));
  limits.keepAliveTimeout = std::chrono::seconds(
      EndpointSetting("endpoint/keepAliveTimeoutSeconds", defaults.keepAliveTimeout.count()));
  limits.bodyTimeout = std::chrono::seconds(
      EndpointSetting("endpoint/bodyTimeoutSeconds", defaults.bodyTimeout.count()));
  limits.maxBufferedBytes = static_cast<size_t>(EndpointSetting(
      "endpoint/maxBufferedBytes", static_cast<int64_t>(defaults.maxBufferedBytes)));
  uint64_t descriptors = ZylApi::RaiseDescriptorLimit();
  limits.maxConnections = ZylApi::ConnectionCapFor(configured, descriptors);
  Log_Level(kLogInfo,
            "HTTP endpoint: at most %zu connections (configured %zu, open-file limit %llu)\n",
            limits.maxConnections, configured, static_cast<unsigned long long>(descriptors));
  return limits;
}

// Start-up, once the firewall is open: localizer, API provider, I/O context and endpoint.
void CreateEndpoint(DaemonObjects& objects) {
  objects.localizer = ZylApi::MakeLocalizer();
  objects.apiProvider = ZylApi::CreateApiProvider(objects.localizer, objects.logBridge,
                                                  objects.trafficTracker, objects.errorsTracker);
  objects.io = std::make_unique<boost::asio::io_context>();
  objects.endpoint = std::make_unique<ZylApi::Endpoint>(
      EndpointPort(), objects.io.get(), objects.apiProvider, objects.localizer, objects.logBridge,
      nullptr, EndpointLimits());
}

// Start-up from the platform set-up to the serving endpoint, then the run loop; returns the status
// of the run loop.
int StartAndRun(DaemonObjects& objects) {
  if (!ConfigurePlatform()) {
    return 1;
  }
  objects.trafficTracker = std::make_shared<TrafficTracker>(Quorex::Service::Logger::Default());
  objects.errorsTracker = std::make_shared<ErrorsTracker>(Quorex::Service::Logger::Default());
  RegisterWithHost();
  objects.zyldLogger = ZyldLogger();
  objects.logBridge = std::make_shared<ZylApi::MirelLoggerWrapper>(&Log_Level);
  ProviderConfig::RestoreConfiguration();
  State::OpenFirewall();
  CreateEndpoint(objects);
  State::Providers::Instance().Init();
  Stats::SetUpKeyStats();
  if (!objects.endpoint->Start()) {
    Log_Level(kLogFailure, "HTTP endpoint failed to start. Exiting.\n");
    objects.endpoint.reset();  // not stopped: it never ran
    objects.io.reset();
    return 1;
  }
  if (!InitSignals(objects.endpoint.get())) {
    Log_Level(kLogFailure, "Failed to install signal handlers. Exiting.\n");
    return 1;
  }
  Log_Level(kLogInfo, "Start-up complete\n");
  NotifyService(kNotifyReady);
  Quorex::Service::GetApp().Run();
  return 0;
}

// Shutdown, first: after the run loop returned or the signal handlers failed, stops serving and
// releases what served.
void ReleaseServingObjects(DaemonObjects& objects) {
  if (objects.trafficTracker) {
    objects.trafficTracker->Stop();
  }
  if (objects.endpoint) {
    objects.endpoint->Stop();
  }
  // Waiting key-server jobs fail; running ones finish (within their server's time-out).
  State::Providers::Instance().KeyServers().Stop();
  objects.endpoint.reset();
  objects.io.reset();
  objects.localizer.reset();
  objects.apiProvider.reset();
  objects.logBridge.reset();
}

// Shutdown, once serving has ended: stops the trackers' summary lines.
void StopTrackers(DaemonObjects& objects) {
  if (objects.errorsTracker) {
    objects.errorsTracker->Stop();
  }
  if (objects.trafficTracker) {
    objects.trafficTracker->Stop();
  }
}

}  // namespace

std::shared_ptr<Quorex::Service::Logger> ZyldLogger() {
  static const std::shared_ptr<Quorex::Service::Logger> logger =
      Quorex::Service::Logger::Default()->CreateLogger("zyldLogger");
  return logger;
}

void ExitDaemon(int status, ZylApi::StoppableEndpoint* endpoint) {
  Log_Level(kLogNotable, "Exiting with status %d\n", status);
  NotifyService(kNotifyStopping);
  Brask::Common::SignalUtils::SignalsExit();
  if (endpoint != nullptr) {
    endpoint->Stop();
  }
  // A configuration change in flight finishes first; none starts after the firewall is closed.
  Har::WriteGuard config(ProviderConfig::configLock);
  State::CloseFirewall();
  SSL_Exit();
  Quorex::System::QuickExit(status);
}

void ReopenLogFiles() {
  Log_Reopen();
  VlrAudit_Reopen();
  Log_Level(kLogInfo, "SIGHUP: reopened the log file and the audit file\n");
}

bool InitSignals(ZylApi::StoppableEndpoint* endpoint) {
  return Brask::Common::SignalUtils::SignalsInit([endpoint] { ExitDaemon(0, endpoint); },
                                                 ReopenLogFiles);
}

void RunDaemon() {
  FeatureState_Init();
  SSL_Init(nullptr, nullptr, nullptr);
  InitQuorex();
  DaemonObjects objects;
  int status = 0;
  try {
    status = StartAndRun(objects);
    ReleaseServingObjects(objects);
  } catch (const std::exception& e) {
    Log_Level(kLogFailure, "Exiting with error: %s\n", e.what());
    status = 1;
  }
  StopTrackers(objects);
  ExitDaemon(status, nullptr);
}

}  // namespace Zyld
