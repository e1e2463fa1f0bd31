// The input bytes buffered by all connections of one server, against a cap. Each connection holds
// a Charge for the storage of its buffers: growing the charge fails (and changes nothing) when the
// total would pass the cap, shrinking always succeeds, and destroying it gives everything back.
// Force takes bytes even beyond the cap: for the fixed read buffer each connection needs, which
// the connection cap bounds.
// Thread-safe; the budget must outlive its charges.
#pragma once

#include <atomic>
#include <cstddef>

namespace Mirel::Transport::PicoHttp {

class BufferBudget {
 public:
  explicit BufferBudget(size_t limit) : limit_(limit) {}
  BufferBudget(const BufferBudget&) = delete;
  BufferBudget& operator=(const BufferBudget&) = delete;

  size_t Used() const { return used_.load(std::memory_order_relaxed); }

  class Charge {
   public:
    explicit Charge(BufferBudget& budget) : budget_(budget) {}
    ~Charge() { budget_.Release(bytes_); }
    Charge(const Charge&) = delete;
    Charge& operator=(const Charge&) = delete;

    // Makes the charge `bytes`; false when that would pass the cap.
    bool Set(size_t bytes);
    void Force(size_t bytes);
    size_t Bytes() const { return bytes_; }

   private:
    BufferBudget& budget_;
    size_t bytes_ = 0;
  };

 private:
  bool TryTake(size_t bytes);
  void Take(size_t bytes) { used_.fetch_add(bytes, std::memory_order_relaxed); }
  void Release(size_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }

  const size_t limit_;
  std::atomic<size_t> used_{0};
};

}  // namespace Mirel::Transport::PicoHttp
