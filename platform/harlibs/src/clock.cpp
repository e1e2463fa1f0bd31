// Host clocks.
#include <harlibs/clock.h>

#include <ctime>

namespace {

uint64_t Read(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

uint64_t HarClock_SystemTimerNS() { return Read(CLOCK_MONOTONIC); }

uint64_t HarClock_GetTimeOfDay() { return Read(CLOCK_REALTIME) / 1000ULL; }
