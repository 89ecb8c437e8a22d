#pragma once
// The per-target up/down state machine and the naming of state files.
#include <cstddef>
#include <cstdint>
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
// A state file keeps whatever members a person adds, so this one is named as
// no person would name a note of their own.
inline constexpr std::string_view kOwnerMember = "quorvelta_target";
// Where the build before kOwnerMember recorded it, and where a person may
// have written a note of their own. Read, never written.
inline constexpr std::string_view kEarlierOwnerMember = "name";

// Which of its two state files a checked user-defined target keeps its state in.
enum class StateFile { Plain, Own };

// What a run finds of one checked target's files as it starts.
struct StateFileFinding {
  std::string name;
  std::string plain_key;                     // case_blind_key of its custom_state_file
  std::optional<std::string> owner;          // its plain file's kOwnerMember, where that is text
  std::optional<std::string> earlier_owner;  // its plain file's kEarlierOwnerMember, where that is text
  // When each of its files was last saved, where it is there.
  std::optional<std::int64_t> plain_saved, own_saved;
};

// The files of a run's checked targets, given in settings order. A target
// keeps the file it used last, whatever other targets are added, removed,
// switched off or reordered, and never reads another's state. Its file is,
// by the first rule that applies:
// 1. its plain file, where that records its name as owner: a target is never
//    given its own file while its plain file says so;
// 2. its own file, where that was saved last: every check saves its target's
//    file, and earlier builds moved targets between their two files without a
//    record that says so. Saved at the same time counts as last, as two saves
//    of one round can carry one time and the plain one was then another's;
// 3. its own file, where its plain file records another name as owner, or,
//    its own file being there, as earlier_owner (the earlier build kept such
//    a target on its own file);
// 4. its plain file, where that records its name as earlier_owner. Any other
//    earlier_owner may be a person's note, and moves no target off its file;
// 5. its plain file, where no target has it yet by 1 or 4, nor one higher in
//    the list by 5 (compared case-blind, as Windows and macOS compare names):
//    a file that records no one, from before names were recorded or not yet
//    there, goes to the first such target, as it always has;
// 6. its own file.
// Rules 1 to 4 settle a target by its own files alone, before 5, so a
// clashing name added ahead of a target never takes that target's file.
std::vector<StateFile> choose_state_files(const std::vector<StateFileFinding>& targets);

}  // namespace engine
