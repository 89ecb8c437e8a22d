#include "engine/os/native_path.h"

namespace engine::os {

std::filesystem::path native_path(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string native_path_text(std::string_view utf8) { return std::string(utf8); }

}  // namespace engine::os
