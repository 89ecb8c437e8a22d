#pragma once
// The text a console program such as ping writes. Windows console programs
// write in the console's code page (the OEM code page, GBK on Chinese
// systems), not in UTF-8; elsewhere there is no such code page and the caller
// decodes by its own rule.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace engine::os {

// The bytes could not be decoded; the text reads like Python's UnicodeDecodeError.
struct DecodeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Output of a console program as UTF-8, decoded from the code page of this
// process's console (GetConsoleOutputCP), or the OEM code page without a
// console. Nothing on systems without code pages. Throws DecodeError on bytes
// that are not valid in the code page.
std::optional<std::string> decode_console_output(std::string_view bytes);

}  // namespace engine::os
