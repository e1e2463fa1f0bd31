// One run of a periodic task chain: each run does its work and then schedules its successor.
// RunThenSchedule schedules the successor however the work ends, so that one failure never ends
// the chain for good; an exception of the work is logged at level 2 (with the chain's name) and
// goes no further.
#pragma once

#include <harlibs/log.h>

#include <exception>

namespace Zyld::State {

template <typename Work, typename ScheduleNext>
void RunThenSchedule(const char* chain, Work&& work, ScheduleNext&& scheduleNext) {
  try {
    work();
  } catch (const std::exception& e) {
    Log_Level(kLogFailure, "%s failed: %s\n", chain, e.what());
  } catch (...) {
    Log_Level(kLogFailure, "%s failed\n", chain);
  }
  scheduleNext();
}

}  // namespace Zyld::State
