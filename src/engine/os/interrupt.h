#pragma once
// Every blocking wait of the core is cut into slices of at most kSlice; between
// slices it asks its Interrupt whether the wait must end now. The shell answers
// from Python's signal flag, so Ctrl+C reaches the user within one slice.
#include <chrono>
#include <functional>

namespace engine::os {

using Interrupt = std::function<bool()>;

inline constexpr std::chrono::milliseconds kSlice{50};

// Thrown when an Interrupt asked a wait to end. Deliberately not a
// std::exception: no guard for ordinary errors may swallow it.
struct Interrupted {};

// Asks the interrupt (when one is given) and throws Interrupted when it says so.
inline void check(const Interrupt& interrupt) {
  if (interrupt && interrupt()) throw Interrupted{};
}

// Blocks for the given number of seconds (fractions allowed) in slices.
void sleep(double seconds, const Interrupt& interrupt);

}  // namespace engine::os
