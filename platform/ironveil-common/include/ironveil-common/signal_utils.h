// Termination signals: SIGTERM and SIGINT run a callback once, on a thread of its own; SIGHUP
// runs another callback on that thread, once per signal.
//
// SignalsInit installs handlers that only write the signal number to a pipe; a dedicated thread
// reads the pipe and runs the exit callback for the first termination signal (later ones are
// consumed and ignored) and the hang-up callback for every SIGHUP before it. SIGHUP is handled
// only when a hang-up callback is given; otherwise its disposition is left as it is. Because real
// handlers are installed, it does not matter which thread the kernel delivers the signal to, nor
// when other threads were started. SignalsExit restores the previous handlers and ends the thread
// without running the callback. It may be called from inside the callback (the exit path does so):
// the thread then finishes on its own once the callback returns. Only one installation exists at a
// time: SignalsInit fails while one is active. Both functions are thread-safe.
#pragma once

#include <functional>

namespace Brask::Common::SignalUtils {

bool SignalsInit(std::function<void()> onExit, std::function<void()> onHangUp = nullptr);
void SignalsExit();

}  // namespace Brask::Common::SignalUtils
