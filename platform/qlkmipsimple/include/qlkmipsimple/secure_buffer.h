// Containers that wipe their storage when it is released (key material, credentials, messages
// that carry them). Reallocation wipes the old block too, because every block goes back
// through the allocator.
#ifndef QLKMIPSIMPLE_SECURE_BUFFER_H
#define QLKMIPSIMPLE_SECURE_BUFFER_H

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Qlkmip {

template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    OPENSSL_cleanse(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

using SecureBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

// Short strings live inside the object (no allocation); the destructor wipes those as well.
class SecureString {
 public:
  SecureString() = default;
  explicit SecureString(std::string_view text) : value_(text.begin(), text.end()) {}
  SecureString(const SecureString&) = default;
  SecureString& operator=(const SecureString&) = default;
  ~SecureString() { OPENSSL_cleanse(value_.data(), value_.size()); }
  const std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>& str() const {
    return value_;
  }
  const char* data() const { return value_.data(); }
  std::size_t size() const { return value_.size(); }
  bool empty() const { return value_.empty(); }

 private:
  std::basic_string<char, std::char_traits<char>, WipingAllocator<char>> value_;
};

}  // namespace Qlkmip

#endif
