// Owning wrappers of the host locks.
#include <harlockpp/harlockpp.h>

#include <harlibs/log.h>

namespace Har {

RWLock::RWLock(const char* name, uint32_t rank) : lock_(HarLock_CreateRWLock(name, rank)) {
  VERIFY(lock_ != nullptr);
}

RWLock::~RWLock() { HarLock_DestroyRWLock(lock_); }

ExclLock::ExclLock(const char* name, uint32_t rank) : lock_(HarLock_CreateExclLock(name, rank)) {
  VERIFY(lock_ != nullptr);
}

ExclLock::~ExclLock() { HarLock_DestroyExclLock(lock_); }

}  // namespace Har
