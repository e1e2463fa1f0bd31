// Owners of the handles of the qlc_* C interface, for C++ callers. Each releases its object
// exactly once with the interface's matching function: a result with qlc_release, a session with
// qlc_disconnect_key_manager, server credentials with qlc_free_credentials. A buffer returned by
// qlc_value_of ("bs" or "%s") is held by a QlcValue, which wipes the bytes it was told about
// through Har::Cleanse (so a wipe observer sees them) and then frees the buffer with qlc_free.
#ifndef QLKMIPSIMPLE_HANDLES_H
#define QLKMIPSIMPLE_HANDLES_H

#include <harlibs/secure.h>
#include <qlkmipsimple.h>

#include <cstddef>
#include <memory>

namespace Qlkmip {

struct QlcResultRelease {
  void operator()(qlc_result* result) const { qlc_release(result); }
};
struct QlcSessionClose {
  void operator()(qlc_session* session) const { qlc_disconnect_key_manager(session); }
};
struct QlcCredentialsFree {
  void operator()(qlc_credentials* credentials) const { qlc_free_credentials(credentials); }
};
using QlcResult = std::unique_ptr<qlc_result, QlcResultRelease>;
using QlcSession = std::unique_ptr<qlc_session, QlcSessionClose>;
using QlcCredentials = std::unique_ptr<qlc_credentials, QlcCredentialsFree>;

// A buffer returned by qlc_value_of: wiped over size() bytes, then freed, once (at Reset(),
// at the next Adopt() or at destruction). Not copyable: it is the buffer's only owner.
class QlcValue {
 public:
  QlcValue() = default;
  // Takes POINTER and the number of its bytes to wipe: the length of a "bs" value, the strlen of
  // a "%s" one.
  QlcValue(void* pointer, size_t size) : pointer_(pointer), size_(size) {}
  ~QlcValue() { Reset(); }
  QlcValue(const QlcValue&) = delete;
  QlcValue& operator=(const QlcValue&) = delete;

  void Adopt(void* pointer, size_t size) {
    Reset();
    pointer_ = pointer;
    size_ = size;
  }
  // The number of bytes to wipe, once known (after pointer_ was set directly).
  void SetSize(size_t size) { size_ = size; }
  void Reset() {
    if (pointer_ != nullptr) {
      Har::Cleanse(pointer_, size_);
      qlc_free(pointer_);
    }
    pointer_ = nullptr;
    size_ = 0;
  }

  const unsigned char* bytes() const { return static_cast<const unsigned char*>(pointer_); }
  const char* text() const { return pointer_ == nullptr ? "" : static_cast<const char*>(pointer_); }
  size_t size() const { return size_; }

  // Public so that a caller may store qlc_value_of's output here directly; prefer Adopt().
  void* pointer_ = nullptr;
  size_t size_ = 0;
};

}  // namespace Qlkmip

#endif
