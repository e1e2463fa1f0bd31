// Host clocks.
#pragma once

#include <cstdint>

// Monotonic time in nanoseconds from an arbitrary origin.
uint64_t HarClock_SystemTimerNS();
// Wall-clock time in microseconds since the Unix epoch.
uint64_t HarClock_GetTimeOfDay();
