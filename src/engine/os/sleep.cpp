#include "engine/os/interrupt.h"

#include <algorithm>
#include <thread>

namespace engine::os {

void sleep(double seconds, const Interrupt& interrupt) {
  using clock = std::chrono::steady_clock;
  const auto deadline =
      clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(std::max(0.0, seconds)));
  check(interrupt);
  for (auto now = clock::now(); now < deadline; now = clock::now()) {
    std::this_thread::sleep_for(std::min<clock::duration>(deadline - now, kSlice));
    check(interrupt);
  }
}

}  // namespace engine::os
