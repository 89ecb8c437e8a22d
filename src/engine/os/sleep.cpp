#include "engine/os/interrupt.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace engine::os {

void sleep(double seconds, const Interrupt& interrupt) {
  using clock = std::chrono::steady_clock;
  // NaN waits nothing; an endless wait (an interval of Infinity) is capped at
  // about thirty years rather than overflowing the clock.
  const double bounded = std::isnan(seconds) ? 0.0 : std::clamp(seconds, 0.0, 1e9);
  const auto deadline =
      clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(bounded));
  check(interrupt);
  for (auto now = clock::now(); now < deadline; now = clock::now()) {
    std::this_thread::sleep_for(std::min<clock::duration>(deadline - now, kSlice));
    check(interrupt);
  }
}

}  // namespace engine::os
