#include "engine/os/native_path.h"

#include <string>

namespace engine::os {

std::filesystem::path native_path(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace engine::os
