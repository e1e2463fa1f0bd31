// The wipes the process makes (Har::Cleanse), recorded while a WipeRecorder lives (one at a time).
#pragma once

#include <harlibs/secure.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace TestSupport {

struct Wipe {
  const void* data;
  size_t size;
  bool zero;  // every byte was zero afterwards
};

class WipeRecorder {
 public:
  WipeRecorder() {
    Take();
    Har::SetWipeObserver(&Observe);
  }
  ~WipeRecorder() { Har::SetWipeObserver(nullptr); }
  WipeRecorder(const WipeRecorder&) = delete;
  WipeRecorder& operator=(const WipeRecorder&) = delete;

  // The wipes since the last Take (or the start), which are then forgotten.
  std::vector<Wipe> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(wipes_, {});
  }
  // True when a wipe since the last Take matches.
  template <typename Match>
  bool Saw(Match match) const {
    std::lock_guard lock(mutex_);
    return std::any_of(wipes_.begin(), wipes_.end(), match);
  }

 private:
  static void Observe(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    const bool zero = std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; });
    std::lock_guard lock(mutex_);
    wipes_.push_back({data, size, zero});
  }

  static inline std::mutex mutex_;
  static inline std::vector<Wipe> wipes_;
};

}  // namespace TestSupport
