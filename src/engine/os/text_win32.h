#pragma once
// UTF-8 <-> UTF-16 and the system's error texts, for the Windows side of the OS layer.
#include <string>

namespace engine::os {

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);
// The text of GetLastError() (or of the given code) as Python's OSError words
// it, e.g. "[WinError 5] Access is denied", as UTF-8.
std::string last_error_text(unsigned long code = 0);

}  // namespace engine::os
