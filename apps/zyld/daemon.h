// Start-up and exit of the daemon. RunDaemon performs the whole start-up on the calling (main)
// thread, blocks in the application's run loop and never returns: every way out goes through
// ExitDaemon, which logs the exit status, removes the signal handlers, stops the endpoint when one
// is given, closes the firewall, shuts TLS down and ends the process (0 after a signal or a run
// loop that returns, 1 after a failure).
#pragma once

#include "config_check.h"
#include "mirel/stoppable_endpoint.h"

#include <quorex/quorex.h>

#include <memory>
#include <string>

namespace Zyld {

inline constexpr const char* kAppName = "zyld";
inline constexpr const char* kAppVersion = "8.0.0";

// The named logger "zyldLogger", a child of the default logger, created on first use.
std::shared_ptr<Quorex::Service::Logger> ZyldLogger();

[[noreturn]] void ExitDaemon(int status, ZylApi::StoppableEndpoint* endpoint);
// Reopens the host log file and the audit file (after rotation moved them aside) and logs it.
void ReopenLogFiles();
// Installs the signal callbacks: termination exits with status 0 through ExitDaemon; SIGHUP
// runs ReopenLogFiles.
bool InitSignals(ZylApi::StoppableEndpoint* endpoint);

[[noreturn]] void RunDaemon();

}  // namespace Zyld
