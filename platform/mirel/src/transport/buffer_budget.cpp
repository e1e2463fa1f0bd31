#include "buffer_budget.h"

namespace Mirel::Transport::PicoHttp {

bool BufferBudget::Charge::Set(size_t bytes) {
  if (bytes > bytes_ && !budget_.TryTake(bytes - bytes_)) return false;
  if (bytes < bytes_) budget_.Release(bytes_ - bytes);
  bytes_ = bytes;
  return true;
}

void BufferBudget::Charge::Force(size_t bytes) {
  if (bytes > bytes_) budget_.Take(bytes - bytes_);
  if (bytes < bytes_) budget_.Release(bytes_ - bytes);
  bytes_ = bytes;
}

bool BufferBudget::TryTake(size_t bytes) {
  size_t used = used_.load(std::memory_order_relaxed);
  do {
    if (bytes > limit_ || used > limit_ - bytes) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
  return true;
}

}  // namespace Mirel::Transport::PicoHttp
