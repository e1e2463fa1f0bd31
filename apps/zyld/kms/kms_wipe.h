// Wiping of key material in the key-server code, with an observation point for tests.
//
// Every buffer that holds master-key, data-key or clear key-text bytes is watched by a WipeGuard
// for the scope that owns it: Wipe() (or the destructor, whichever comes first) overwrites the
// buffer's bytes and reports it. Tests install an observer to see each wipe while the buffer is
// still alive (its bytes can be checked for zeros) and read LiveGuards() to show that no guard
// was left unwiped after an operation, on success and failure paths alike.
#pragma once

#include <harlibs/secure.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Zyld::Kms::WipeAudit {

// Called after each wipe with what was wiped ("master key", "data key", "key text",
// "library key") and the buffer's bytes (now zero). Null: nobody observes.
using Observer = void (*)(const char* what, const uint8_t* data, size_t size);
void SetObserver(Observer observer);
void Report(const char* what, const void* data, size_t size);
// Guards constructed and not yet wiped, process-wide.
int64_t LiveGuards();
void AddLive(int64_t delta);

}  // namespace Zyld::Kms::WipeAudit

namespace Zyld::Kms {

// Wipes a contiguous container (data()/size()) at the latest when the scope ends.
template <typename Buffer>
class WipeGuard {
 public:
  WipeGuard(const char* what, Buffer& buffer) : what_(what), buffer_(&buffer) {
    WipeAudit::AddLive(1);
  }
  ~WipeGuard() { Wipe(); }
  WipeGuard(const WipeGuard&) = delete;
  WipeGuard& operator=(const WipeGuard&) = delete;

  // Overwrites the bytes with zeros and empties the buffer; later calls do nothing.
  void Wipe() {
    if (buffer_ == nullptr) {
      return;
    }
    Har::Cleanse(buffer_->data(), buffer_->size());
    WipeAudit::Report(what_, buffer_->data(), buffer_->size());
    buffer_->clear();
    buffer_ = nullptr;
    WipeAudit::AddLive(-1);
  }

 private:
  const char* what_;
  Buffer* buffer_;
};

}  // namespace Zyld::Kms
