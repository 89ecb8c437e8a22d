#include <windows.h>

#include "engine/os/console_text.h"
#include "engine/os/text_win32.h"

namespace engine::os {

unsigned console_code_page() {
  const UINT code_page = ::GetConsoleOutputCP();
  return code_page != 0 ? code_page : ::GetOEMCP();
}

std::string decode_code_page(std::string_view bytes, unsigned code_page) {
  if (bytes.empty()) return std::string();
  const int size = static_cast<int>(bytes.size());
  // Strict, as Python decodes a child's output; a few code pages refuse the flag.
  DWORD flags = MB_ERR_INVALID_CHARS;
  int n = ::MultiByteToWideChar(code_page, flags, bytes.data(), size, nullptr, 0);
  if (n == 0 && ::GetLastError() == ERROR_INVALID_FLAGS) {
    flags = 0;
    n = ::MultiByteToWideChar(code_page, flags, bytes.data(), size, nullptr, 0);
  }
  if (n == 0) {
    throw DecodeError("'cp" + std::to_string(code_page) + "' codec can't decode the output: " + last_error_text());
  }
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(code_page, flags, bytes.data(), size, wide.data(), n);
  return narrow(wide);
}

std::optional<std::string> decode_console_output(std::string_view bytes) {
  return decode_code_page(bytes, console_code_page());
}

}  // namespace engine::os
