// Host user-level locks over std::shared_mutex and std::mutex.
#include <harlibs/lock.h>

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "lock_internal.h"

namespace {

// Mode each thread holds a reader-writer lock in, so that Release knows which to drop. A thread
// holds few locks at once; a small vector is enough.
enum class Mode { kRead, kWrite };

struct Held {
  const HarRWLock* lock;
  Mode mode;
};

thread_local std::vector<Held> tHeld;

void PushHeld(const HarRWLock* lock, Mode mode) { tHeld.push_back({lock, mode}); }

bool PopHeld(const HarRWLock* lock, Mode* mode) {
  for (auto it = tHeld.rbegin(); it != tHeld.rend(); ++it) {
    if (it->lock == lock) {
      *mode = it->mode;
      tHeld.erase(std::next(it).base());
      return true;
    }
  }
  return false;
}

bool ValidName(const char* name) { return name != nullptr && name[0] != '\0'; }

}  // namespace

HarRWLock* HarLock_CreateRWLock(const char* name, uint32_t rank) {
  if (!ValidName(name)) {
    return nullptr;
  }
  auto lock = std::make_unique<HarRWLock>();
  lock->name = name;
  lock->rank = rank;
  return lock.release();
}

void HarLock_DestroyRWLock(HarRWLock* lock) { std::unique_ptr<HarRWLock> owned(lock); }

void HarLock_AcquireForRead(HarRWLock* lock) {
  lock->mutex.lock_shared();
  PushHeld(lock, Mode::kRead);
}

void HarLock_AcquireForWrite(HarRWLock* lock) {
  lock->mutex.lock();
  PushHeld(lock, Mode::kWrite);
}

void HarLock_ReleaseRWLock(HarRWLock* lock) {
  Mode mode = Mode::kRead;
  if (!PopHeld(lock, &mode)) {
    Panic("Lock %s (rank %u) released by a thread that does not hold it\n", lock->name.c_str(),
          lock->rank);
  }
  if (mode == Mode::kWrite) {
    lock->mutex.unlock();
  } else {
    lock->mutex.unlock_shared();
  }
}

HarExclLock* HarLock_CreateExclLock(const char* name, uint32_t rank) {
  if (!ValidName(name)) {
    return nullptr;
  }
  auto lock = std::make_unique<HarExclLock>();
  lock->name = name;
  lock->rank = rank;
  return lock.release();
}

void HarLock_DestroyExclLock(HarExclLock* lock) { std::unique_ptr<HarExclLock> owned(lock); }

void HarLock_AcquireExclLock(HarExclLock* lock) { lock->mutex.lock(); }

void HarLock_ReleaseExclLock(HarExclLock* lock) { lock->mutex.unlock(); }

const char* HarLock_RWLockName(const HarRWLock* lock) { return lock->name.c_str(); }
uint32_t HarLock_RWLockRank(const HarRWLock* lock) { return lock->rank; }
const char* HarLock_ExclLockName(const HarExclLock* lock) { return lock->name.c_str(); }
uint32_t HarLock_ExclLockRank(const HarExclLock* lock) { return lock->rank; }
