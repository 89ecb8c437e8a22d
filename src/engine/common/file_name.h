#pragma once
// File names made from names of any length, within the file system's limit
// for one name component.
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/os/files.h"

namespace engine {

inline constexpr std::size_t kFileNameLimit = os::kFileNameLimit;

// prefix + name + suffix, unchanged when it fits in limit bytes. A longer one
// keeps prefix and suffix whole and puts in the place of name its start, cut
// at a character boundary, then "-" and 16 hex digits of a hash of the whole
// name, filling limit. The same name always gives the same file name, and two
// names meet only when both their starts and the hashes of their whole texts
// do.
std::string fit_file_name(std::string_view prefix, std::string_view name, std::string_view suffix,
                          std::size_t limit = kFileNameLimit);

// prefix + name + separator + 16 hex digits of a hash of whole + suffix, with
// name cut at a character boundary where the whole would pass limit bytes.
// fit_file_name's separator is "-"; another one gives names that never meet
// those.
std::string marked_file_name(std::string_view prefix, std::string_view name, std::string_view whole,
                             std::string_view suffix, char separator = '-', std::size_t limit = kFileNameLimit);

// A file name as Windows and macOS compare names, without regard to letter
// case: two names with the same key are one file there. The names compared
// here are ASCII apart from CJK ideographs, which have no case.
std::string case_blind_key(std::string_view file_name);

}  // namespace engine
