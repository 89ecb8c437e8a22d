#pragma once
// Every name the system hands to the file system is UTF-8 text; the platform
// takes its own form of it.
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace engine::os {

// A stock Windows takes a path only when it is shorter than this many UTF-16
// units (MAX_PATH, the end of the text included), unless long paths are
// switched on for the machine.
inline constexpr std::size_t kWindowsPathLimit = 260;

// A UTF-8 text as the platform's path. On Windows UTF-16, and a path whose
// full form would reach kWindowsPathLimit is given in the extended-length
// form (\\?\C:\..., \\?\UNC\server\share\...), which the limit does not bind,
// so a long file name works in any working directory; a shorter path stays
// exactly as written, so device names and relative paths keep their meaning.
// Elsewhere the bytes themselves.
std::filesystem::path native_path(std::string_view utf8);

// native_path as UTF-8 text, for a path that the system gets from another
// library, as Python's os.path.exists and open hand it over unchanged: the
// text itself, or on Windows the extended-length form of a long path.
std::string native_path_text(std::string_view utf8);

}  // namespace engine::os
