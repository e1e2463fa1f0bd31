// Secrets and how they are wiped.
//
// Secret in this daemon: master keys and data keys (as bytes and as Base64 text), KMIP passwords,
// client private keys, bearer tokens, and every buffer that carried one of them (a request or an
// answer body, a connection specification, a TTLV message, a decoded JSON text).
//
// - A secret the code owns lives in Har::Secret. Its bytes are always on the heap, never in an
//   inline small-string buffer, and they are overwritten whenever storage is released: on
//   reallocation, Wipe() and destruction. Keys are wiped when the operation that needed them
//   ends; passwords and private keys when the provider information holding them is released.
// - A buffer the code does not own (a library's output, a parser's string, a connection's request
//   buffer) is watched by a Har::WipeGuard for the scope that uses it, and wiped when that scope
//   ends on every path. A call's request buffer, bearer token and decoded parameters are wiped
//   when the call ends (the parameters' JSON tree lives in wiping storage, see wiping_json.h).
//
// Every wipe goes through Har::Cleanse. Tests observe wipes by installing a WipeObserver; nothing
// is observed unless one is installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Har {

// Overwrites len bytes at p; never optimised away. Reports to the wipe observer, if any.
void Cleanse(void* p, size_t len);

// Called after each wipe with the wiped bytes (now zero). For tests; null: nobody observes.
using WipeObserver = void (*)(const void* data, size_t size);
void SetWipeObserver(WipeObserver observer);

// Standard allocator that wipes each block before releasing it: the storage of Har::Secret.
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

// Owned secret bytes (binary or text). Copies are independent secrets; a moved-from Secret is
// empty. c_str() is terminated for C interfaces; the terminator is not counted in size().
class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string_view text) { append(text); }
  Secret(const void* data, size_t size) { append(data, size); }
  // size zero bytes, to be filled through data().
  explicit Secret(size_t size) { resize(size); }
  Secret(const Secret&) = default;
  Secret& operator=(const Secret&) = default;
  Secret(Secret&& other) noexcept : storage_(std::move(other.storage_)), size_(other.size_) {
    other.size_ = 0;
  }
  Secret& operator=(Secret&& other) noexcept {
    storage_ = std::move(other.storage_);
    size_ = other.size_;
    other.storage_.clear();
    other.size_ = 0;
    return *this;
  }

  char* data() { return size_ == 0 ? nullptr : storage_.data(); }
  const char* data() const { return size_ == 0 ? nullptr : storage_.data(); }
  uint8_t* bytes() { return reinterpret_cast<uint8_t*>(data()); }
  const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(data()); }
  const char* c_str() const { return size_ == 0 ? "" : storage_.data(); }
  std::string_view view() const { return {c_str(), size_}; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  char& operator[](size_t i) { return storage_[i]; }
  char operator[](size_t i) const { return storage_[i]; }

  void reserve(size_t size) { storage_.reserve(size + 1); }
  // Grows with zero bytes or shrinks (the dropped bytes are overwritten).
  void resize(size_t size);
  void append(std::string_view text) { append(text.data(), text.size()); }
  void append(const void* data, size_t size);
  void push_back(char c) { append(&c, 1); }
  void assign(std::string_view text) {
    Wipe();
    append(text);
  }
  // Overwrites the bytes and empties the secret (its storage is kept for reuse).
  void Wipe();

  // Constant-time for equal sizes.
  bool operator==(const Secret& other) const;

 private:
  std::vector<char, WipingAllocator<char>> storage_;  // size_ bytes and a terminator, or nothing
  size_t size_ = 0;
};

// Wipes a buffer the code does not own when the scope ends (or at Wipe(), whichever comes
// first): a container with data(), size() and clear(), or raw memory of a given size.
class WipeGuard {
 public:
  template <typename Buffer>
  explicit WipeGuard(Buffer& buffer) : target_(&buffer), wipe_(&WipeContainer<Buffer>) {}
  WipeGuard(void* data, size_t size) : target_(data), size_(size), wipe_(&WipeRaw) {}
  ~WipeGuard() { Wipe(); }
  WipeGuard(const WipeGuard&) = delete;
  WipeGuard& operator=(const WipeGuard&) = delete;

  void Wipe() noexcept {
    if (target_ != nullptr) {
      wipe_(target_, size_);
      target_ = nullptr;
    }
  }

 private:
  template <typename Buffer>
  static void WipeContainer(void* target, size_t) noexcept {
    Buffer& buffer = *static_cast<Buffer*>(target);
    Cleanse(buffer.data(), buffer.size() * sizeof(*buffer.data()));
    buffer.clear();
  }
  static void WipeRaw(void* target, size_t size) noexcept { Cleanse(target, size); }

  void* target_;
  size_t size_ = 0;
  void (*wipe_)(void*, size_t) noexcept;
};

}  // namespace Har
