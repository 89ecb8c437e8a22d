#pragma once
// The per-target up/down state machine and the naming of state files.
#include <cstddef>
#include <string>
#include <string_view>

namespace engine {

inline constexpr std::string_view kUp = "UP";
inline constexpr std::string_view kDown = "DOWN";

// What one check outcome does to a target, given its stored status.
enum class Transition {
  Recovered,    // stored "DOWN", success: recovery notice, then UP
  StaysUp,      // any other stored value, success: UP, no notice
  WentDown,     // stored "UP", failure: DOWN with the time stamp, down notice
  AlreadyDown,  // any other stored value, failure: nothing changes
};

// The stored status is compared by exact text: "down" or "Up" are neither.
Transition decide(std::string_view stored_status, bool success);

// A name reduced to ASCII letters, digits, "_" and CJK unified ideographs
// (U+4E00..U+9FFF); every other code point becomes one "_", then underscores
// are stripped from both ends. A lone surrogate (as Python's "surrogatepass"
// writes it) is one code point like any other. Throws std::invalid_argument on
// text that is not UTF-8.
std::string sanitize_name(std::string_view utf8);

// "custom_" + sanitize_name(name) + "_state.json"; a name too long for the
// file system is shortened by fit_file_name. A kept name never holds "-", so a
// shortened file name is never that of another, shorter name.
std::string custom_state_file(std::string_view name);

// The state file of a target whose custom_state_file another target of the
// run already has (their names differ only in characters a file name drops,
// or in letter case): the same name with "~" and a hash of the whole name, so
// it stays the same from run to run.
std::string own_custom_state_file(std::string_view name);

}  // namespace engine
