// Polling for tests: a condition awaited within a generous bound that only catches a hang.
#pragma once

#include <chrono>
#include <thread>

namespace TestSupport {

// True once pred holds (polled every step); false when the bound passes first.
template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds bound = std::chrono::seconds(10),
                std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
  for (const auto deadline = std::chrono::steady_clock::now() + bound; !pred();) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace TestSupport
