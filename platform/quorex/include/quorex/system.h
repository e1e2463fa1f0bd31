// Process control of the service library.
#pragma once

namespace Quorex::System {

// Flushes the host log and standard streams and ends the process at once with status (no
// static destructors, no atexit handlers).
[[noreturn]] void QuickExit(int status);

}  // namespace Quorex::System
