// Readiness and stopping notices to the service manager: one datagram ("READY=1", "STOPPING=1")
// to the unix socket named by $NOTIFY_SOCKET. A name starting with '@' is in the abstract
// namespace. Without the variable there is nothing to do.
#pragma once

#include <string>
#include <string_view>

namespace Zyld {

inline constexpr const char* kNotifySocketVariable = "NOTIFY_SOCKET";
inline constexpr std::string_view kNotifyReady = "READY=1";
inline constexpr std::string_view kNotifyStopping = "STOPPING=1";

// Sends state to the socket; 0, or the errno value (EINVAL for a name that is empty, too long
// for a socket address, or neither a path nor abstract).
int NotifyServiceAt(const std::string& socketName, std::string_view state);
// Sends state to $NOTIFY_SOCKET when it is set and not empty (0 otherwise); a failure is logged.
int NotifyService(std::string_view state);

}  // namespace Zyld
