// Owners of qlkmipsimple handles: a result is released once, a session disconnected once, a
// value read with qlc_value_of wiped (with its length) and freed once.
#pragma once

#include <qlkmipsimple.h>

#include <harlibs/secure.h>

#include <cstddef>
#include <memory>

namespace Zyld::Kms {

struct QlcResultRelease {
  void operator()(qlc_result* r) const { qlc_release(r); }
};
struct QlcSessionClose {
  void operator()(qlc_session* s) const { qlc_disconnect_key_manager(s); }
};
struct QlcCredentialsFree {
  void operator()(qlc_credentials* c) const { qlc_free_credentials(c); }
};
using QlcResult = std::unique_ptr<qlc_result, QlcResultRelease>;
using QlcSession = std::unique_ptr<qlc_session, QlcSessionClose>;
using QlcCredentials = std::unique_ptr<qlc_credentials, QlcCredentialsFree>;

// A buffer returned by qlc_value_of: wiped over `size` bytes, then freed.
class QlcValue {
 public:
  QlcValue() = default;
  ~QlcValue() { Reset(); }
  QlcValue(const QlcValue&) = delete;
  QlcValue& operator=(const QlcValue&) = delete;

  void Reset() {
    if (pointer_ != nullptr) {
      Har::Cleanse(pointer_, size_);
      qlc_free(pointer_);
    }
    pointer_ = nullptr;
    size_ = 0;
  }
  void SetSize(size_t size) { size_ = size; }
  void* pointer_ = nullptr;
  size_t size_ = 0;
};

}  // namespace Zyld::Kms
