// Wiping of secrets.
#include <harlibs/secure.h>

#include <openssl/crypto.h>

#include <string.h>  // explicit_bzero

#include <atomic>
#include <cstring>

namespace Har {

namespace {

std::atomic<WipeObserver> gObserver{nullptr};

}  // namespace

void Cleanse(void* p, size_t len) {
  if (p == nullptr || len == 0) {
    return;
  }
  // glibc's explicit_bzero is memset at full vector width behind a barrier the compiler
  // cannot remove; OPENSSL_cleanse stores eight bytes at a time, which shows on every call.
  explicit_bzero(p, len);
  if (WipeObserver observer = gObserver.load(std::memory_order_acquire)) {
    observer(p, len);
  }
}

void SetWipeObserver(WipeObserver observer) {
  gObserver.store(observer, std::memory_order_release);
}

void Secret::resize(size_t size) {
  if (size < size_) {
    Cleanse(storage_.data() + size, size_ - size);
  }
  storage_.resize(size + 1, '\0');
  storage_[size] = '\0';
  size_ = size;
}

void Secret::append(const void* data, size_t size) {
  if (size == 0) {
    return;
  }
  storage_.resize(size_ + size + 1);
  std::memcpy(storage_.data() + size_, data, size);
  size_ += size;
  storage_[size_] = '\0';
}

void Secret::Wipe() {
  Cleanse(storage_.data(), storage_.size());
  storage_.clear();
  size_ = 0;
}

bool Secret::operator==(const Secret& other) const {
  return size_ == other.size_ && CRYPTO_memcmp(c_str(), other.c_str(), size_) == 0;
}

}  // namespace Har
