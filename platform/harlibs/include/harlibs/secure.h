// Containers for secrets: memory is overwritten (OPENSSL_cleanse) before it is released.
// SecureString may keep short texts inline (small-string optimisation), where the allocator does
// not see them: wipe explicitly with Har::Cleanse(s.data(), s.size()) before it goes away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Har {

// Overwrites len bytes at p; never optimised away.
void Cleanse(void* p, size_t len);

template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) noexcept {
    Cleanse(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

using SecureBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;
using SecureString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

// Wipes a string's current contents in place (its characters, inline or not).
inline void Cleanse(SecureString& s) { Cleanse(s.data(), s.size()); }
inline void Cleanse(std::string& s) { Cleanse(s.data(), s.size()); }

}  // namespace Har
