// User-level locks of the host. A reader-writer lock (over std::shared_mutex) and an exclusive
// lock (over std::mutex); each keeps a name and a rank for diagnostics. Create returns nullptr
// on failure (null or empty name). Locks are not recursive. Release of a reader-writer lock
// releases whichever mode the calling thread holds.
#pragma once

#include <cstdint>

struct HarRWLock;
struct HarExclLock;

HarRWLock* HarLock_CreateRWLock(const char* name, uint32_t rank);
void HarLock_DestroyRWLock(HarRWLock* lock);
void HarLock_AcquireForRead(HarRWLock* lock);
void HarLock_AcquireForWrite(HarRWLock* lock);
void HarLock_ReleaseRWLock(HarRWLock* lock);

HarExclLock* HarLock_CreateExclLock(const char* name, uint32_t rank);
void HarLock_DestroyExclLock(HarExclLock* lock);
void HarLock_AcquireExclLock(HarExclLock* lock);
void HarLock_ReleaseExclLock(HarExclLock* lock);

// Diagnostics: the name and rank given at creation.
const char* HarLock_RWLockName(const HarRWLock* lock);
uint32_t HarLock_RWLockRank(const HarRWLock* lock);
const char* HarLock_ExclLockName(const HarExclLock* lock);
uint32_t HarLock_ExclLockRank(const HarExclLock* lock);
