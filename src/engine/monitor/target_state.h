#pragma once
// The per-target up/down state machine and the naming of state files.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// A target's own state file, for when its custom_state_file is another
// target's (their names differ only in characters a file name drops, or in
// letter case): the same name with "~" and a hash of the whole name, so it
// stays the same from run to run.
std::string own_custom_state_file(std::string_view name);

// The member in which a plain state file records the name of its target:
// every name that sanitises (or, where letter case does not count, folds) to
// the same text shares that file name, so the file itself says whose it is.
inline constexpr std::string_view kOwnerMember = "name";

// Which of its two state files a checked user-defined target keeps its state in.
enum class StateFile { Plain, Own };

// What a run finds of one checked target's files as it starts.
struct StateFileFinding {
  std::string name;
  std::string plain_key;                   // case_blind_key of its custom_state_file
  bool own_exists = false;                 // its own_custom_state_file is there
  std::optional<std::string> plain_owner;  // the name its plain file records, if it records one
};

// The files of a run's checked targets, given in settings order. A target
// keeps the file it has used before, whatever other targets are added,
// removed, switched off or reordered, and never reads another's state:
// 1. its own file, where that is there;
// 2. its plain file, where that records its name;
// 3. its plain file, where that records no name (it is new, or was written
//    before names were recorded) and no earlier target has that file;
// 4. otherwise its own file.
// Files that records settle (1, 2) go first, so that a target added ahead of
// a clashing one never takes the other's file.
std::vector<StateFile> choose_state_files(const std::vector<StateFileFinding>& targets);

}  // namespace engine
