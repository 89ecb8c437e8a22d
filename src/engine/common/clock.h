#pragma once
#include <string>

namespace engine {

// The current local time in a strftime format: "%Y-%m-%d %H:%M:%S" in state
// files, notices and report sessions, "%H:%M:%S" for a round.
std::string local_time(const char* format);

}  // namespace engine
