// Containers that wipe their storage when it is released (key material, credentials, messages
// that carry them): the host library's wiping allocator, so reallocation wipes the old block too.
#ifndef QLKMIPSIMPLE_SECURE_BUFFER_H
#define QLKMIPSIMPLE_SECURE_BUFFER_H

#include <harlibs/secure.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Qlkmip {

using Har::WipingAllocator;
using SecureBytes = Har::SecureBytes;

// Short strings live inside the object (no allocation); the destructor wipes those as well.
class SecureString {
 public:
  SecureString() = default;
  explicit SecureString(std::string_view text) : value_(text.begin(), text.end()) {}
  SecureString(const SecureString&) = default;
  SecureString& operator=(const SecureString&) = default;
  ~SecureString() { Har::Cleanse(value_); }
  const Har::SecureString& str() const { return value_; }
  const char* data() const { return value_.data(); }
  std::size_t size() const { return value_.size(); }
  bool empty() const { return value_.empty(); }

 private:
  Har::SecureString value_;
};

}  // namespace Qlkmip

#endif
