// Zyld::Kms::KmsCache: what the last status probe of a provider learnt, read by the key
// operations and written only by the status refresh. It starts invalid and becomes valid at the
// first Store; each Store replaces the whole record at once. The lock is held only while a record
// is swapped in or a reader runs, always through a scoped guard, so an exception thrown by a
// reader cannot leave it held. Readers copy what they need and neither call the key-server
// library nor take another lock. The master key is a Har::Secret: a replaced or destroyed record
// wipes it.
#pragma once

#include "kms/key_state.h"
#include "kms/kms.h"

#include <harlibs/secure.h>
#include <harlockpp/harlockpp.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Zyld::Kms {

// The rank of every cache lock (taken after every other lock of the daemon).
constexpr uint32_t kKmsCacheLockRank = 0xFEFFFFFF;

// The outcome of one status probe.
struct ProbeRecord {
  Har::Secret masterKey;  // empty: not found, or found destroyed
  KeyState keyState = KeyState::Unknown;
  KmsStatus status;
  std::vector<std::string> remoteServerCertificates;  // per server; empty when not fetched
};

class KmsCache {
 public:
  KmsCache() : lock_("kmsCache", kKmsCacheLockRank) {}
  KmsCache(const KmsCache&) = delete;
  KmsCache& operator=(const KmsCache&) = delete;

  // Replaces the record and marks the cache valid; the former record is released (and its key
  // wiped) after the lock is.
  void Store(ProbeRecord record) {
    {
      Har::WriteGuard guard(lock_);
      std::swap(record_, record);
      valid_ = true;
    }
  }

  // Runs read(const ProbeRecord&) under the read lock when the cache is valid; false otherwise.
  template <typename Reader>
  bool Read(Reader&& read) const {
    Har::ReadGuard guard(lock_);
    if (!valid_) {
      return false;
    }
    read(static_cast<const ProbeRecord&>(record_));
    return true;
  }

 private:
  mutable Har::RWLock lock_;
  ProbeRecord record_;
  bool valid_ = false;
};

}  // namespace Zyld::Kms
