// Scoped wrappers of the host locks. RWLock and ExclLock own a host lock for their lifetime
// (creation failure ends the process through VERIFY); the guards hold a lock for their scope.
// None of these are copyable or movable.
#pragma once

#include <harlibs/lock.h>

#include <cstdint>

namespace Har {

class RWLock {
 public:
  RWLock(const char* name, uint32_t rank);
  ~RWLock();
  RWLock(const RWLock&) = delete;
  RWLock& operator=(const RWLock&) = delete;

  void AcquireRead() { HarLock_AcquireForRead(lock_); }
  void AcquireWrite() { HarLock_AcquireForWrite(lock_); }
  void Release() { HarLock_ReleaseRWLock(lock_); }
  HarRWLock* Get() const { return lock_; }

 private:
  HarRWLock* lock_;
};

class ReadGuard {
 public:
  explicit ReadGuard(HarRWLock* lock) : lock_(lock) { HarLock_AcquireForRead(lock_); }
  explicit ReadGuard(RWLock& lock) : ReadGuard(lock.Get()) {}
  ~ReadGuard() { HarLock_ReleaseRWLock(lock_); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

 private:
  HarRWLock* lock_;
};

class WriteGuard {
 public:
  explicit WriteGuard(HarRWLock* lock) : lock_(lock) { HarLock_AcquireForWrite(lock_); }
  explicit WriteGuard(RWLock& lock) : WriteGuard(lock.Get()) {}
  ~WriteGuard() { HarLock_ReleaseRWLock(lock_); }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

 private:
  HarRWLock* lock_;
};

class ExclLock {
 public:
  ExclLock(const char* name, uint32_t rank);
  ~ExclLock();
  ExclLock(const ExclLock&) = delete;
  ExclLock& operator=(const ExclLock&) = delete;

  void Acquire() { HarLock_AcquireExclLock(lock_); }
  void Release() { HarLock_ReleaseExclLock(lock_); }
  HarExclLock* Get() const { return lock_; }

 private:
  HarExclLock* lock_;
};

class ExclGuard {
 public:
  explicit ExclGuard(HarExclLock* lock) : lock_(lock) { HarLock_AcquireExclLock(lock_); }
  explicit ExclGuard(ExclLock& lock) : ExclGuard(lock.Get()) {}
  ~ExclGuard() { HarLock_ReleaseExclLock(lock_); }
  ExclGuard(const ExclGuard&) = delete;
  ExclGuard& operator=(const ExclGuard&) = delete;

 private:
  HarExclLock* lock_;
};

}  // namespace Har
