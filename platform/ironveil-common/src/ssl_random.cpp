// Random bytes for keys and IVs, drawn from a small per-thread reserve of the OpenSSL generator's
// output. Each request to the generator costs a lock-free but not cheap walk through its
// per-thread DRBG (fork check, reseed check, CTR update); one draw of kReserve bytes serves many
// small requests instead.
//
// Every byte is handed out at most once and wiped from the reserve as it is handed out; the rest
// is wiped when the thread ends. A forked child discards the reserve it inherited (only the
// forking thread exists there), so parent and child never hand out the same bytes.
#include <ironveil-common/ssl_utils.h>

#include <harlibs/secure.h>

#include <openssl/rand.h>

#include <pthread.h>

#include <cstring>
#include <limits>

namespace Brask::Common::SslUtils {

namespace {

constexpr size_t kReserve = 512;
// Larger requests go to the generator directly.
constexpr size_t kLargestFromReserve = 64;

// The reserve's bytes live in a Secret, so they are wiped when the thread ends.
class Reserve {
 public:
  bool Take(uint8_t* out, size_t n) {
    if (left_ < n && !Refill()) {
      return false;
    }
    uint8_t* from = bytes_.bytes() + (kReserve - left_);
    std::memcpy(out, from, n);
    Har::Cleanse(from, n);
    left_ -= n;
    return true;
  }

  void Discard() {
    Har::Cleanse(bytes_.data(), bytes_.size());
    left_ = 0;
  }

 private:
  bool Refill() {
    Discard();
    if (RAND_bytes(bytes_.bytes(), static_cast<int>(bytes_.size())) != 1) {
      Discard();
      return false;
    }
    left_ = kReserve;
    return true;
  }

  Har::Secret bytes_{kReserve};
  size_t left_ = 0;  // the unused bytes are the last left_ of bytes_
};

thread_local Reserve tReserve;

void DiscardInChild() { tReserve.Discard(); }

bool RegisterForkHandler() {
  static const bool registered = pthread_atfork(nullptr, nullptr, DiscardInChild) == 0;
  return registered;
}

}  // namespace

bool RandomBytes(uint8_t* out, size_t n) {
  if (n == 0) {
    return true;
  }
  if (n > kLargestFromReserve || !RegisterForkHandler()) {
    return n <= static_cast<size_t>(std::numeric_limits<int>::max()) &&
           RAND_bytes(out, static_cast<int>(n)) == 1;
  }
  return tReserve.Take(out, n);
}

}  // namespace Brask::Common::SslUtils
