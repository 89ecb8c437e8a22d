#include "engine/os/console_text.h"

namespace engine::os {

std::optional<std::string> decode_console_output(std::string_view /*bytes*/) { return std::nullopt; }

}  // namespace engine::os
