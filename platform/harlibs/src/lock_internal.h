// Representation of the host locks (opaque to callers).
#pragma once

#include <harlibs/log.h>

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

struct HarRWLock {
  std::shared_mutex mutex;
  std::string name;
  uint32_t rank = 0;
};

struct HarExclLock {
  std::mutex mutex;
  std::string name;
  uint32_t rank = 0;
};
