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

// Output of a console program as UTF-8, decoded from console_code_page().
// Nothing on systems without code pages. Throws DecodeError on bytes that are
// not valid in the code page.
std::optional<std::string> decode_console_output(std::string_view bytes);

#ifdef _WIN32
// The code page console programs write in: that of this process's console
// (GetConsoleOutputCP), or the OEM code page without a console.
unsigned console_code_page();

// Bytes in the given code page as UTF-8, strictly: DecodeError on bytes that
// are not valid in it.
std::string decode_code_page(std::string_view bytes, unsigned code_page);
#endif

}  // namespace engine::os
