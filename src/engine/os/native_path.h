#pragma once
// Every name the system hands to the file system is UTF-8 text; the platform
// takes its own form of it.
#include <filesystem>
#include <string_view>

namespace engine::os {

// A UTF-8 text as the platform's path (UTF-16 on Windows, the bytes
// themselves elsewhere).
std::filesystem::path native_path(std::string_view utf8);

}  // namespace engine::os
